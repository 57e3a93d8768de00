#include "oneshot/telegram_time.h"

int tikora_years_since_1900(unsigned two_digit_year)
{
    constexpr int FIRST_YEAR_OF_1900S = 70;
    constexpr unsigned LAST_TWO_DIGIT_YEAR = 99;
    if (two_digit_year > LAST_TWO_DIGIT_YEAR) {
        return -1;
    }
    int year = static_cast<int>(two_digit_year);
    return year < FIRST_YEAR_OF_1900S ? year + 100 : year;
}

static bool fields_in_range(const tikora_telegram_fields *fields)
{
    return fields->month >= 1 && fields->month <= 12 && fields->day >= 1 && fields->day <= 31 &&
           fields->hour <= 23 && fields->minute <= 59 && fields->second <= 60;
}

int tikora_telegram_to_tm(const tikora_telegram_fields *fields, struct tm *out)
{
    int years = tikora_years_since_1900(fields->year);
    if (years < 0 || !fields_in_range(fields)) {
        return -1;
    }
    struct tm broken = {};
    broken.tm_sec = static_cast<int>(fields->second);
    broken.tm_min = static_cast<int>(fields->minute);
    broken.tm_hour = static_cast<int>(fields->hour);
    broken.tm_mday = static_cast<int>(fields->day);
    broken.tm_mon = static_cast<int>(fields->month) - 1;
    broken.tm_year = years;
    // The receiver sends wall-clock time, summer or winter; the host's rule decides which.
    broken.tm_isdst = -1;
    *out = broken;
    return 0;
}

time_t tikora_telegram_to_time(const tikora_telegram_fields *fields)
{
    struct tm broken = {};
    if (tikora_telegram_to_tm(fields, &broken) != 0) {
        return -1;
    }
    const int day = broken.tm_mday;
    const int month = broken.tm_mon;
    const int year = broken.tm_year;
    // A leap second is converted as second 59 plus one, so that 23:59:60 is
    // not taken for a day that rolled over.
    const int leap = broken.tm_sec == 60 ? 1 : 0;
    broken.tm_sec -= leap;
    time_t when = mktime(&broken);
    if (when == static_cast<time_t>(-1)) {
        return -1;
    }
    // mktime rolls 30 February over into March; such a date is a damaged telegram.
    if (broken.tm_mday != day || broken.tm_mon != month || broken.tm_year != year) {
        return -1;
    }
    return when + leap;
}
