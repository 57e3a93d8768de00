#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <ctime>

#include "calendar/rwdate.h"
#include "calendar/rwtime.h"

namespace {

constexpr std::uint32_t kJulianOf1970 = 2440588u;

std::uint32_t julian_by_chrono(int y, unsigned m, unsigned d)
{
    using namespace std::chrono;
    const sys_days days{year_month_day{year{y}, month{m}, day{d}}};
    return static_cast<std::uint32_t>(days.time_since_epoch().count() + kJulianOf1970);
}

void expect_clobbered(const struct tm &t)
{
    for (int v :
         {t.tm_sec, t.tm_min, t.tm_hour, t.tm_mday, t.tm_mon, t.tm_year, t.tm_wday, t.tm_yday, t.tm_isdst})
        EXPECT_EQ(v, INT_MIN);
}

} // namespace

// Every day of the years 100..9999, walked with a running day counter; the standard
// library's civil calendar gives the month lengths and the day number of each first.
TEST(CalendarDate, EveryDayAgreesWithCivilCalendar)
{
    using namespace std::chrono;
    std::uint32_t expected = julian_by_chrono(100, 1, 1);
    unsigned expected_wday = weekday{sys_days{year{100} / January / 1}}.c_encoding();
    int failures = 0;
    for (int y = 100; y <= 9999 && failures < 10; ++y) {
        int yday = 0;
        for (unsigned m = 1; m <= 12; ++m) {
            const auto last =
                static_cast<unsigned>(year_month_day_last{year{y} / month{m} / std::chrono::last}.day());
            if (julian_by_chrono(y, m, 1) != expected) {
                ++failures;
                ADD_FAILURE() << "counter lost at " << y << '-' << m;
            }
            for (unsigned d = 1; d <= last;
                 ++d, ++expected, ++yday, expected_wday = (expected_wday + 1) % 7) {
                const RWDate date(d, m, static_cast<unsigned>(y));
                unsigned mm = 0, dd = 0, yy = 0;
                date.mdy(mm, dd, yy);
                struct tm t = {};
                date.extract(&t);
                const bool ok =
                    date.julian() == expected && mm == m && dd == d && yy == static_cast<unsigned>(y) &&
                    static_cast<unsigned>(t.tm_wday) == expected_wday &&
                    date.weekDay() % 7 == expected_wday && t.tm_yday == yday && t.tm_year == y - 1900 &&
                    t.tm_mon == static_cast<int>(m) - 1 && t.tm_mday == static_cast<int>(d);
                if (!ok && ++failures <= 10)
                    ADD_FAILURE() << y << '-' << m << '-' << d << ": julian " << date.julian() << " expected "
                                  << expected << ", back " << yy << '-' << mm << '-' << dd << ", wday "
                                  << t.tm_wday << ", yday " << t.tm_yday;
            }
        }
        EXPECT_EQ(static_cast<unsigned>(yday), RWDate::daysInYear(static_cast<unsigned>(y)));
    }
}

TEST(CalendarDate, KnownDaysAndFieldsOfTheEpoch)
{
    const RWDate epoch(1, 1, 1970);
    EXPECT_EQ(epoch.julian(), 2440588u);
    EXPECT_EQ(epoch.weekDay(), 4u);
    struct tm t = {};
    t.tm_hour = 5;
    epoch.extract(&t);
    EXPECT_EQ(t.tm_wday, 4);
    EXPECT_EQ(t.tm_yday, 0);
    EXPECT_EQ(t.tm_isdst, -1);
    EXPECT_EQ(t.tm_hour, 0);
    EXPECT_EQ(RWDate(29, 2, 2000).julian(), 2451604u);

    struct tm leap = {};
    RWDate(1, 3, 1972).extract(&leap);
    EXPECT_EQ(leap.tm_yday, 60);
    RWDate(1, 3, 1973).extract(&leap);
    EXPECT_EQ(leap.tm_yday, 59);
}

TEST(CalendarDate, TwoDigitYearsMeanTheNineteenHundreds)
{
    EXPECT_EQ(RWDate(1, 1, 70), RWDate(1, 1, 1970));
    EXPECT_EQ(RWDate(1, 1, 1).julian(), rwJul1901);
    EXPECT_EQ(RWDate(31, 12, 99), RWDate(31, 12, 1999));
    EXPECT_EQ(RWDate(1, 1, 0), RWDate(1, 1, 1900));
    EXPECT_EQ(RWDate(1, 1, 100).julian(), julian_by_chrono(100, 1, 1));
    // The leap test applies to the adjusted year: 1900 has no 29 February, 2000 has.
    EXPECT_EQ(RWDate(29, 2, 0).julian(), 0u);
}

TEST(CalendarDate, ImpossibleDatesAreZero)
{
    struct Case {
        unsigned d, m, y;
    };
    for (const Case c : {Case{29, 2, 1900}, Case{0, 1, 1970}, Case{1, 13, 1970}, Case{1, 0, 1970},
                         Case{32, 1, 1970}, Case{31, 4, 2024}, Case{30, 2, 2024}, Case{29, 2, 2023}}) {
        EXPECT_EQ(RWDate(c.d, c.m, c.y).julian(), 0u) << c.d << '.' << c.m << '.' << c.y;
        EXPECT_FALSE(RWDate::dayWithinMonth(c.m, c.d, c.y < 100 ? c.y + 1900 : c.y));
    }
    EXPECT_EQ(RWDate::daysInYear(2000), 366u);
    EXPECT_EQ(RWDate::daysInYear(2100), 365u);

    struct tm t = {};
    RWDate(0, 1, 1970).extract(&t);
    expect_clobbered(t);
    unsigned m = 9, d = 9, y = 9;
    RWDate(0, 1, 1970).mdy(m, d, y);
    EXPECT_EQ(m + d + y, 0u);
}

TEST(CalendarDate, DayOfYearConstructor)
{
    EXPECT_EQ(RWDate(0u, 0u).julian(), 2415386u);
    EXPECT_EQ(RWDate(49709u, 0u), RWDate(5, 2, 2037));
    EXPECT_EQ(RWDate(365u, 0u), RWDate(1, 1, 1902)); // year 0 runs past one year
    EXPECT_EQ(RWDate(1u, 2024u), RWDate(1, 1, 2024));
    EXPECT_EQ(RWDate(366u, 2024u), RWDate(31, 12, 2024));
    EXPECT_EQ(RWDate(60u, 1999u), RWDate(1, 3, 1999));
    EXPECT_EQ(refDate.julian(), 2415386u);
    EXPECT_EQ(maxDate, RWDate(5, 2, 2037));
    EXPECT_TRUE(RWTime::assertDate(refDate));
    EXPECT_TRUE(RWTime::assertDate(maxDate));
    EXPECT_FALSE(RWTime::assertDate(RWDate(31, 12, 1900)));
    EXPECT_FALSE(RWTime::assertDate(RWDate(6, 2, 2037)));
}

TEST(CalendarDate, FromFieldsAndToday)
{
    struct tm t = {};
    t.tm_year = 124;
    t.tm_mon = 1;
    t.tm_mday = 29;
    EXPECT_EQ(RWDate(&t), RWDate(29, 2, 2024));
    t.tm_mon = 12;
    EXPECT_EQ(RWDate(&t).julian(), 0u);
    struct tm clobbered = {};
    RWDate::clobber(&clobbered);
    expect_clobbered(clobbered);
    EXPECT_EQ(RWDate(&clobbered).julian(), 0u);

    // Retried in case the day changes between the two readings.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const time_t before = time(nullptr);
        const RWDate today = RWDate::now();
        if (time(nullptr) != before)
            continue;
        struct tm local = {};
        localtime_r(&before, &local);
        EXPECT_EQ(today, RWDate(&local));
        return;
    }
    ADD_FAILURE() << "today never settled";
}
