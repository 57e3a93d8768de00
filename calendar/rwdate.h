#ifndef TEMPUS_CALENDAR_RWDATE_H
#define TEMPUS_CALENDAR_RWDATE_H

#include <compare>
#include <cstdint>
#include <ctime>

// Julian day number of 1 January 1901, day 0 of the RWTime count.
inline constexpr std::uint32_t rwJul1901 = 2415386u;

// A calendar date held as one unsigned 32-bit Julian day number; 0 is "no date".
// All arithmetic is unsigned 32-bit and wraps, as callers of this library expect.
class RWDate {
public:
    // Days of each month of a common year, January first.
    static constexpr unsigned char daysInMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    // Days of a common year before the first of each month.
    static constexpr unsigned firstDayOfEachMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

    // The date day.month.year; day number 0 when no such date exists. Years 0..99 mean 19xx.
    constexpr RWDate(unsigned day, unsigned month, unsigned year) : julnum(jday(month, day, year)) {}
    // Year 0: dayOfYear days after 1 January 1901 (may run past a year);
    // any other year: day dayOfYear of that year, 1 = 1 January.
    constexpr RWDate(unsigned dayOfYear, unsigned year)
        : julnum(year == 0 ? rwJul1901 + dayOfYear : jday(12, 31, year - 1) + dayOfYear) {}
    // The date of tm_mday, tm_mon, tm_year; day number 0 when impossible.
    explicit RWDate(const struct tm *fields);

    // Gregorian leap year.
    static constexpr bool leapYear(unsigned year)
    {
        return (year % 4 == 0) && ((year % 100 != 0) || (year % 400 == 0));
    }
    // Whether day exists in month (1..12) of year.
    static constexpr bool dayWithinMonth(unsigned month, unsigned day, unsigned year)
    {
        if (day == 0 || month < 1 || month > 12)
            return false;
        unsigned last = daysInMonth[month - 1];
        if (month == 2 && leapYear(year))
            ++last;
        return day <= last;
    }
    // 366 in a leap year, else 365.
    static constexpr unsigned daysInYear(unsigned year) { return leapYear(year) ? 366u : 365u; }
    // Julian day number of month/day/year (Gregorian), 0 for an impossible date.
    static constexpr std::uint32_t jday(unsigned month, unsigned day, unsigned year);

    // Month, day and year of a non-zero day number; all three 0 for the invalid date.
    void mdy(unsigned &month, unsigned &day, unsigned &year) const;
    // 1 = Monday ... 7 = Sunday.
    unsigned weekDay() const { return julnum % 7u + 1u; }
    // Date fields of this day, time fields 0, tm_isdst -1; every field clobbered for day 0.
    void extract(struct tm *fields) const;
    // Sets all nine fields to the most negative int: "no value".
    static void clobber(struct tm *fields);
    // Today's day number in the system's own local zone.
    static std::uint32_t currentDate();
    // Today in the system's own local zone.
    static RWDate now();

    // The Julian day number.
    constexpr std::uint32_t julian() const { return julnum; }
    constexpr bool isValid() const { return julnum != 0; }

    friend constexpr bool operator==(const RWDate &a, const RWDate &b) { return a.julnum == b.julnum; }
    friend constexpr auto operator<=>(const RWDate &a, const RWDate &b) { return a.julnum <=> b.julnum; }

private:
    std::uint32_t julnum;
};

// ACM Algorithm 199. Ranges below assume year < 2939800 after the two-digit
// adjustment; beyond that 146097 * c leaves 32 bits and the result wraps.
constexpr std::uint32_t RWDate::jday(unsigned month, unsigned day, unsigned year)
{
    if (year <= 99)
        year += 1900;
    if (!dayWithinMonth(month, day, year))
        return 0;
    // Count months from March so the leap day ends the year: month in [0, 11].
    if (month > 2) {
        month -= 3;
    } else {
        month += 9;
        year -= 1; // year >= 100 here, no wrap
    }
    const std::uint32_t c = year / 100;         // [0, 42949672]
    const std::uint32_t ya = year - 100 * c;    // [0, 99]
    // 146097 * c < 2^32 while c < 29398; 1461 * ya <= 144639;
    // 153 * month + 2 <= 1685; day <= 31; the sum stays below 2^32 for those c.
    return (146097u * c) / 4u + (1461u * ya) / 4u + (153u * month + 2u) / 5u + day + 1721119u;
}

#endif
