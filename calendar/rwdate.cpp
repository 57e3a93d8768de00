#include "calendar/rwdate.h"

#include <climits>

#include "calendar/sysclock.h"

RWDate::RWDate(const struct tm *fields)
    // Unsigned sums: out-of-range fields wrap into impossible dates instead of overflowing.
    : julnum(jday(static_cast<unsigned>(fields->tm_mon) + 1u, static_cast<unsigned>(fields->tm_mday),
                  static_cast<unsigned>(fields->tm_year) + 1900u))
{
}

// Inverse of ACM Algorithm 199. Ranges assume a day number jday can give, below
// 2^30 (years below about 2.9 million); past that 4 * j leaves 32 bits and wraps.
static void acm_mdy(std::uint32_t julnum, unsigned &month, unsigned &day, unsigned &year)
{
    std::uint32_t j = julnum - 1721119u;       // [1, 2^30): days since 29 February of year 0
    std::uint32_t y = (4u * j - 1u) / 146097u; // [0, 29398]: whole centuries
    j = 4u * j - 1u - 146097u * y;             // [0, 146096]: 4 x day within the century, less 1
    std::uint32_t d = j / 4u;                  // [0, 36524]: day within the century
    j = (4u * d + 3u) / 1461u;                 // [0, 99]: year within the century
    d = 4u * d + 3u - 1461u * j;               // [0, 1460]
    d = (d + 4u) / 4u;                         // [1, 366]: day within a March-based year
    std::uint32_t m = (5u * d - 3u) / 153u;    // [0, 11]: month counted from March
    d = (5u * d - 3u - 153u * m + 5u) / 5u;    // [1, 31]
    y = 100u * y + j;                          // [0, 2939899]
    if (m < 10u) {
        m += 3u;
    } else {
        m -= 9u;
        y += 1u;
    }
    month = m;
    day = d;
    year = y;
}

static_assert(RWDate::jday(1, 1, 1901) == rwJul1901 && rwJul1901 + 72684u == RWDate::jday(1, 1, 2100),
              "the cycles run from 1 January 1901 to 31 December 2099");

constinit const RWDate::CycleTable RWDate::cycleDay = [] {
    CycleTable t{};
    unsigned i = 0;
    for (unsigned y = 0; y < 4; ++y) {
        unsigned yday = 0;
        for (unsigned m = 1; m <= 12; ++m) {
            const unsigned days = daysInMonth[m - 1] + (y == 3 && m == 2 ? 1u : 0u); // 1904 is the leap year
            for (unsigned d = 1; d <= days; ++d, ++yday, ++i)
                t.day[i] = y << 18 | yday << 9 | m << 5 | d;
        }
    }
    return t;
}();

// Month, day, year and day of the year (0-based) of a non-zero day number.
static void split_day_number(std::uint32_t julnum, unsigned &month, unsigned &day, unsigned &year,
                             unsigned &yday)
{
    acm_mdy(julnum, month, day, year);
    yday = RWDate::firstDayOfEachMonth[month - 1] + day - 1;
    if (RWDate::leapYear(year) && month > 2)
        ++yday;
}

void RWDate::mdy(unsigned &month, unsigned &day, unsigned &year) const
{
    if (julnum == 0) {
        month = day = year = 0;
        return;
    }
    unsigned yday = 0;
    split_day_number(julnum, month, day, year, yday);
}

void RWDate::extractOutsideCycles(struct tm *fields) const
{
    if (julnum == 0) {
        clobber(fields);
        return;
    }
    unsigned m = 0;
    unsigned d = 0;
    unsigned y = 0;
    unsigned yday = 0;
    split_day_number(julnum, m, d, y, yday);
    // y < 2^22, so the int conversions below cannot overflow.
    fields->tm_year = static_cast<int>(y) - 1900;
    fields->tm_mon = static_cast<int>(m) - 1;
    fields->tm_mday = static_cast<int>(d);
    // weekDay() mod 7, in 64 bits so that the largest day number does not wrap.
    fields->tm_wday = static_cast<int>((static_cast<std::uint64_t>(julnum) + 1u) % 7u);
    fields->tm_yday = static_cast<int>(yday);
    fields->tm_sec = 0;
    fields->tm_min = 0;
    fields->tm_hour = 0;
    fields->tm_isdst = -1;
}

void RWDate::clobber(struct tm *fields)
{
    fields->tm_sec = INT_MIN;
    fields->tm_min = INT_MIN;
    fields->tm_hour = INT_MIN;
    fields->tm_mday = INT_MIN;
    fields->tm_mon = INT_MIN;
    fields->tm_year = INT_MIN;
    fields->tm_wday = INT_MIN;
    fields->tm_yday = INT_MIN;
    fields->tm_isdst = INT_MIN;
}

std::uint32_t RWDate::currentDate()
{
    const time_t clock = system_clock_seconds();
    struct tm fields = {};
    if (localtime_r(&clock, &fields) == nullptr)
        return 0;
    return RWDate(&fields).julian();
}

RWDate RWDate::now()
{
    RWDate today(0u, 0u);
    today.julnum = currentDate();
    return today;
}
