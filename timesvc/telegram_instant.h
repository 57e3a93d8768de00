#ifndef TEMPUS_TIMESVC_TELEGRAM_INSTANT_H
#define TEMPUS_TIMESVC_TELEGRAM_INSTANT_H

#include <ctime>

#include "link/dcf_protocol.h"

// Which instant a telegram's date and time name. The receiver sends the local
// wall clock; the system's own zone (the C library's, whatever its offsets,
// daylight rules, leap seconds and their changes) decides which instant that
// is, however far the system clock is from it.

struct telegram_instant {
    long difference; // seconds from the reading (whole seconds) to the instant
    int instants;    // how often the zone shows the telegram's date and time:
                     // 1; 2 in an hour it repeats; 0 in a time it skips
};

// The instant at which the system's zone shows the date and time `when`
// (second 60, a leap second, as second 0 of the next minute), as seconds from
// `reading` (Unix seconds). Of the two instants of a repeated hour the one
// nearer the reading; a time the zone skips is read with each offset the zone
// uses around that date, the nearest again winning (on a tie the earlier). 0,
// or -1 when a field is out of range.
int find_telegram_instant(time_t reading, const dcf_wall_time *when, telegram_instant *out);

#endif
