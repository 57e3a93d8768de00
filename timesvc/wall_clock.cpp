#include "timesvc/wall_clock.h"

// Days from 1970-01-01 to year-month-day in the proleptic Gregorian calendar,
// counted from a March-based year so that the leap day ends it.
static long long days_from_civil(long long year, unsigned month, unsigned day)
{
    year -= month <= 2 ? 1 : 0;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const auto year_of_era = static_cast<unsigned>(year - era * 400);                           // [0, 399]
    const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1; // [0, 365]
    const unsigned day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year; // [0, 146096]
    return era * 146097 + static_cast<long long>(day_of_era) - 719468;
}

long long wall_clock_count(long long year, int month, int day, int hour, int minute, int second)
{
    const long long days = days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    return days * 86400 + hour * 3600LL + minute * 60LL + second;
}

int wall_clock_offset(time_t t, long *offset)
{
    struct tm fields = {};
    if (localtime_r(&t, &fields) == nullptr)
        return -1;
    const long long wall = wall_clock_count(fields.tm_year + 1900LL, fields.tm_mon + 1, fields.tm_mday,
                                            fields.tm_hour, fields.tm_min, fields.tm_sec);
    *offset = static_cast<long>(wall - static_cast<long long>(t));
    return 0;
}
