#ifndef TEMPUS_TIMESVC_WALL_CLOCK_H
#define TEMPUS_TIMESVC_WALL_CLOCK_H

#include <ctime>

// The system's wall clock as a plain count of seconds. The C library's own
// counts (tm_gmtoff, timegm) leave out or apply a zone's leap seconds (the
// right/ zones): a wall clock counted from its fields, every day 86400 s
// long, is what the receiver's date and time are compared with.

// Seconds from 1970-01-01 00:00:00 to year-month-day hour:minute:second,
// every day 86400 s long; second 60 is the next minute's second 0.
long long wall_clock_count(long long year, int month, int day, int hour, int minute, int second);

// The system zone's wall clock at `t`, counted from the fields localtime_r
// shows, less `t`: the zone's UTC offset with its leap seconds taken in. 0,
// or -1 when the zone cannot render `t`.
int wall_clock_offset(time_t t, long *offset);

#endif
