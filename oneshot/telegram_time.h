#ifndef TEMPUS_ONESHOT_TELEGRAM_TIME_H
#define TEMPUS_ONESHOT_TELEGRAM_TIME_H

#include <ctime>

// Date and time fields of one telegram as the receiver sent them: local
// wall-clock time, two-digit year.
struct tikora_telegram_fields {
    unsigned year;
    unsigned month;
    unsigned day;
    unsigned hour;
    unsigned minute;
    unsigned second;
};

// Years since 1900 for a two-digit year (0-69 is 2000-2069, 70-99 is 1970-1999); -1 above 99.
int tikora_years_since_1900(unsigned two_digit_year);

// Fills *out for mktime with daylight saving decided by the host's rule; 0, or -1
// when a field is out of range (month 1-12, day 1-31, hour 0-23, minute 0-59, second 0-60).
int tikora_telegram_to_tm(const tikora_telegram_fields *fields, struct tm *out);

// The system time of the telegram's local wall-clock time; -1 when a field is
// out of range, the day does not exist in its month, or mktime cannot convert it.
time_t tikora_telegram_to_time(const tikora_telegram_fields *fields);

#endif
