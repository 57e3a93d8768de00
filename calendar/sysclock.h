#ifndef TEMPUS_CALENDAR_SYSCLOCK_H
#define TEMPUS_CALENDAR_SYSCLOCK_H

#include <ctime>

// The system clock in whole seconds, what time(NULL) means. Linux's time()
// reads a coarse copy that lags each new second by up to a scheduler tick, and
// a receiver sends on the second mark: read from the precise clock instead, or
// the difference to the receiver comes out a second too large.
inline time_t system_clock_seconds()
{
    struct timespec now = {};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0)
        return time(nullptr);
    return now.tv_sec;
}

#endif
