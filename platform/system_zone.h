#ifndef TEMPUS_PLATFORM_SYSTEM_ZONE_H
#define TEMPUS_PLATFORM_SYSTEM_ZONE_H

// The C library reads the system's zone once and keeps it: a new zone
// (timedatectl set-timezone) or new rules for it (a tzdata upgrade replacing
// the zone file) would reach a long-running process only at its restart.

// Makes the C library read the system's zone again when its file (TZ's, or
// /etc/localtime without TZ) is no longer the one read last; 1 when it did, 0
// when nothing changed. Costs a stat.
int follow_system_zone();

#endif
