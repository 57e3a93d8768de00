#ifndef TEMPUS_TIMESVC_TELEGRAM_INSTANT_H
#define TEMPUS_TIMESVC_TELEGRAM_INSTANT_H

#include <ctime>

// Which instant a telegram's wall-clock time of day names. The receiver sends
// hour, minute and second of the local time; the system's own zone (the C
// library's, whatever its offsets, daylight rules and their changes) decides
// which instant that is near the moment the telegram was read.

struct telegram_instant {
    long difference; // seconds from the reading (whole seconds) to the instant
    int instants;    // how often the wall-clock time occurs on the instant's local
                     // day: 1; 2 in an hour the zone repeats; 0 in one it skips
};

// The instant nearest `reading` (Unix seconds) at which the system's zone
// shows hour:minute:second (second 60, a leap second, as second 0 of the next
// minute) on the reading's local date or the day before or after, as seconds
// from the reading. A time the zone skips is read with each offset the zone
// uses around then, the nearest again winning. 0, or -1 when the zone cannot
// render the reading or the fields are out of range.
int find_telegram_instant(time_t reading, int hour, int minute, int second, telegram_instant *out);

#endif
