#ifndef TEMPUS_TESTS_SUPPORT_UTC_TIME_H
#define TEMPUS_TESTS_SUPPORT_UTC_TIME_H

#include <cstdint>
#include <ctime>

#include "calendar/rwtime.h"

// The Unix time of a calendar date and time in UTC, for expected clock values.
inline time_t utc_time(int year, int month, int day, int hour, int minute, int second)
{
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return timegm(&t);
}

// The library's count of the same instant, worked out without the library.
inline std::uint32_t utc_count(int year, int month, int day, int hour, int minute, int second)
{
    return static_cast<std::uint32_t>(
        static_cast<long long>(utc_time(year, month, day, hour, minute, second)) +
        static_cast<long long>(rwEpoch));
}

#endif
