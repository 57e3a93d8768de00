#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <ctime>
#include <string>

#include "calendar/rwtime.h"
#include "calendar/zone.h"

namespace {

// A zone that remembers the fields it was last asked about and answers by the day of
// the year, so that both offsets are taken on neighbouring days.
class ProbeZone : public RWZone {
public:
    long timeZoneOffset() const override { return 7200; }
    long altZoneOffset() const override { return 3600; }
    bool daylightObserved() const override { return true; }
    std::string timeZoneName() const override { return "PROBE"; }
    std::string altZoneName() const override { return "PROBE DST"; }
    bool isDaylight(const struct tm *fields) const override
    {
        asked = *fields;
        return fields->tm_yday % 2 == 1;
    }
    void getBeginDaylight(struct tm *fields) const override { RWDate::clobber(fields); }
    void getEndDaylight(struct tm *fields) const override { RWDate::clobber(fields); }

    mutable struct tm asked = {};
};

} // namespace

// Every day of 1800..2199, inside and outside the years where the day number splits
// by the four-year cycle: the zone is handed the date's complete fields with the
// wall-clock time, and its answer picks the offset.
TEST(CalendarBuild, ZoneSeesTheWholeWallClockReading)
{
    using namespace std::chrono;
    const ProbeZone zone;
    const sys_days first = sys_days{year{1800} / January / 1};
    const sys_days end = sys_days{year{2200} / January / 1};
    const sys_days epoch = sys_days{year{1901} / January / 1};
    int failures = 0;
    unsigned i = 0;
    for (sys_days day = first; day < end && failures < 10; day += days{1}, ++i) {
        const year_month_day ymd{day};
        const auto y = static_cast<unsigned>(static_cast<int>(ymd.year()));
        const auto mo = static_cast<unsigned>(ymd.month());
        const auto d = static_cast<unsigned>(ymd.day());
        const unsigned h = i % 24, mi = i % 60, s = (i / 7) % 60;
        const auto yday = static_cast<int>((day - sys_days{ymd.year() / January / 1}).count());
        const bool daylight = yday % 2 == 1;

        zone.asked = {};
        const std::uint32_t count = RWTime::buildFrom(RWDate(d, mo, y), h, mi, s, zone);
        const auto since1901 = static_cast<std::uint32_t>((day - epoch).count());
        const std::uint32_t expected =
            since1901 * 86400u + h * 3600u + mi * 60u + s + (daylight ? 3600u : 7200u);
        const struct tm &t = zone.asked;
        const bool ok = count == expected && t.tm_year == static_cast<int>(y) - 1900 &&
                        t.tm_mon == static_cast<int>(mo) - 1 && t.tm_mday == static_cast<int>(d) &&
                        t.tm_wday == static_cast<int>(weekday{day}.c_encoding()) && t.tm_yday == yday &&
                        t.tm_hour == static_cast<int>(h) && t.tm_min == static_cast<int>(mi) &&
                        t.tm_sec == static_cast<int>(s) && t.tm_isdst == -1;
        if (!ok && ++failures <= 10)
            ADD_FAILURE() << y << '-' << mo << '-' << d << ' ' << h << ':' << mi << ':' << s << ": count "
                          << count << " expected " << expected << ", asked " << t.tm_year << '/' << t.tm_mon
                          << '/' << t.tm_mday << " wday " << t.tm_wday << " yday " << t.tm_yday;
    }
}

// The invalid date hands the zone clobbered date fields, the time as given.
TEST(CalendarBuild, InvalidDateIsAskedWithClobberedFields)
{
    const ProbeZone zone;
    const std::uint32_t count = RWTime::buildFrom(RWDate(30, 2, 2000), 1, 2, 3, zone);
    const struct tm &t = zone.asked;
    for (int v : {t.tm_mday, t.tm_mon, t.tm_year, t.tm_wday, t.tm_yday, t.tm_isdst})
        EXPECT_EQ(v, INT_MIN);
    EXPECT_EQ(t.tm_hour, 1);
    EXPECT_EQ(t.tm_min, 2);
    EXPECT_EQ(t.tm_sec, 3);
    // Day number 0 lies far before 1901: the count wraps like any other arithmetic.
    EXPECT_EQ(count, (0u - rwJul1901) * 86400u + 3723u + 7200u);
}
