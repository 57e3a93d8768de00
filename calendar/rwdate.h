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
    static constexpr unsigned firstDayOfEachMonth[12] = {0,   31,  59,  90,  120, 151,
                                                         181, 212, 243, 273, 304, 334};

    // The date day.month.year; day number 0 when no such date exists. Years 0..99 mean 19xx.
    constexpr RWDate(unsigned day, unsigned month, unsigned year) : julnum(jday(month, day, year)) {}
    // Year 0: dayOfYear days after 1 January 1901 (may run past a year);
    // any other year: day dayOfYear of that year, 1 = 1 January.
    constexpr RWDate(unsigned dayOfYear, unsigned year)
        : julnum(year == 0 ? rwJul1901 + dayOfYear : jday(12, 31, year - 1) + dayOfYear)
    {
    }
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
    inline void extract(struct tm *fields) const;
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
    // Days of each month in a common year (row 0) and a leap year (row 1).
    static constexpr unsigned char monthLength[2][12] = {{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
                                                         {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}};
    // Between 1901 and 2099 every fourth year is a leap year and no other, so there the
    // calendar is a plain cycle of 1461 days from 1 January 1901: a day number splits
    // with one division and one look-up. Every RWTime count's date lies in that range.
    static constexpr std::uint32_t kFirstCycleDay = 2415386u; // 1 January 1901
    static constexpr std::uint32_t kCycleDays = 72684u;       // to 31 December 2099
    // Day of the month (bits 0..4), month 1..12 (5..8), day of the year 0..365 (9..17)
    // and year of the cycle 0..3 (18..19) of each day of a cycle, 1901 to 1904.
    struct CycleTable {
        std::uint32_t day[1461];
    };
    static const CycleTable cycleDay;
    // Whether the day number lies in 1901..2099, where cycleDay applies.
    static constexpr bool inCycles(std::uint32_t j) { return j - kFirstCycleDay < kCycleDays; }
    // extract for day numbers outside 1901..2099.
    void extractOutsideCycles(struct tm *fields) const;

    std::uint32_t julnum;
};

// ACM Algorithm 199. Ranges below assume year < 2939800 after the two-digit
// adjustment; beyond that 146097 * c leaves 32 bits and the result wraps.
constexpr std::uint32_t RWDate::jday(unsigned month, unsigned day, unsigned year)
{
    if (year <= 99)
        year += 1900;
    if (year - 1901u < 199u && month - 1u < 12u) {
        // 1901..2099 have a leap year every fourth year and no other: a shorter chain of
        // steps than the century arithmetic, for the dates RWTime is built from. The
        // month's length is looked up, not branched on: February is too rare to predict.
        const std::uint32_t y = year - 1901u;                // [0, 198]
        const std::uint32_t leap = (y & 3u) == 3u ? 1u : 0u; // [0, 1]
        if (day - 1u >= monthLength[leap][month - 1])        // also day 0
            return 0;
        const std::uint32_t leapDay = leap & (month > 2 ? 1u : 0u); // [0, 1]
        // At most rwJul1901 + 72683, 31 December 2099: no wrap.
        return rwJul1901 + 365u * y + y / 4u + firstDayOfEachMonth[month - 1] + leapDay + day - 1u;
    }
    if (!dayWithinMonth(month, day, year))
        return 0;
    // Count months from March so the leap day ends the year: month in [0, 11].
    if (month > 2) {
        month -= 3;
    } else {
        month += 9;
        year -= 1; // year >= 100 here, no wrap
    }
    const std::uint32_t c = year / 100;      // [0, 42949672]
    const std::uint32_t ya = year - 100 * c; // [0, 99]
    // 146097 * c < 2^32 while c < 29398; 1461 * ya <= 144639;
    // 153 * month + 2 <= 1685; day <= 31; the sum stays below 2^32 for those c.
    return (146097u * c) / 4u + (1461u * ya) / 4u + (153u * month + 2u) / 5u + day + 1721119u;
}

inline void RWDate::extract(struct tm *fields) const
{
    if (!inCycles(julnum)) {
        extractOutsideCycles(fields);
        return;
    }
    // A division and a look-up, no branch: the RWTime constructor puts these fields to
    // the zone's rule on every call, with dates in no particular order.
    const std::uint32_t n = julnum - kFirstCycleDay; // [0, 72683]: days since 1 January 1901
    const std::uint32_t cycle = n / 1461u;           // [0, 49]
    const std::uint32_t day = cycleDay.day[n - 1461u * cycle];
    fields->tm_year = static_cast<int>(1u + 4u * cycle + (day >> 18)); // [1, 199]: years since 1900
    fields->tm_mon = static_cast<int>(((day >> 5) & 15u) - 1u);        // [0, 11]
    fields->tm_mday = static_cast<int>(day & 31u);                     // [1, 31]
    // 1 January 1901 was a Tuesday. (n + 2) / 7 as a multiplication by 2^24 / 7, rounded
    // up: exact while n + 2 < 2^24 / 6, far beyond the cycles' 72685.
    const auto weeks = static_cast<std::uint32_t>((std::uint64_t{n} + 2u) * 2396746u >> 24); // [0, 10383]
    fields->tm_wday = static_cast<int>(n + 2u - 7u * weeks);                                 // [0, 6]
    fields->tm_yday = static_cast<int>((day >> 9) & 511u);                                   // [0, 365]
    fields->tm_sec = 0;
    fields->tm_min = 0;
    fields->tm_hour = 0;
    fields->tm_isdst = -1;
}

#endif
