#ifndef TEMPUS_TIMESVC_NTP_FEED_H
#define TEMPUS_TIMESVC_NTP_FEED_H

// The other way of working (option /N): the cycle leaves the clock alone and
// hands each valid telegram, stamped to the nanosecond, to an NTP daemon,
// which disciplines the clock and serves the time to the network.

#include <cstddef>
#include <ctime>

#include "calendar/rwtime.h"
#include "timesvc/ntp_sample.h"

constexpr int NTP_TARGET_NONE = 0;
constexpr int NTP_TARGET_SHM = 1;  // the NTP shared-memory segment of a unit
constexpr int NTP_TARGET_SOCK = 2; // chrony's SOCK reference-clock socket

// Longest socket path /N takes, so that every message naming it fits a message buffer.
constexpr int NTP_SOCK_PATH_MAX = 64;

// Where samples go.
struct ntp_target {
    int kind;                         // NTP_TARGET_*
    int unit;                         // SHM: 0..255
    char path[NTP_SOCK_PATH_MAX + 1]; // SOCK: absolute path
};

// What /N named: the shared-memory unit ("2") or the socket's path; "" for none.
void ntp_target_text(const ntp_target *target, char *text, std::size_t size);

// Makes the cycles hand their samples to `target` from now on; an SHM segment
// is attached (created if absent) here, once. 0, or -1 when it cannot be.
int start_ntp_feed(const ntp_target *target);

// True once start_ntp_feed has chosen a daemon: the clock is then never set.
bool ntp_feed_active();

// Delivers one sample to the chosen daemon, never waiting; 0, or -1 when it
// did not get there (no socket, refused, full).
int deliver_ntp_sample(const ntp_sample *sample);

// A valid telegram whose byte 0 arrived at `arrival` names an instant
// `difference` whole seconds from it (as the step would use it), a date and
// time that the system's zone shows `instants` times: its sample goes to the
// daemon, and the log tells what the administrator should know, stamped with
// `stamp`. A time that the zone repeats or skips names no single instant and
// makes no sample.
void feed_ntp(const struct timespec &arrival, long difference, int instants, RWTime stamp);

#endif
