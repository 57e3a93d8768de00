#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <ctime>

#include "calendar/rwtime.h"
#include "calendar/zone.h"
#include "tests/support/utc_time.h"

namespace {

struct Fields {
    int y, mo, d, h, mi, s, isdst;
};

Fields split(std::uint32_t count, const RWZone &zone)
{
    struct tm t = {};
    RWTime(count).extract(&t, zone);
    return {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, t.tm_isdst};
}

void expect_fields(const Fields &f, int y, int mo, int d, int h, int mi, int s, int isdst)
{
    EXPECT_EQ(f.y, y);
    EXPECT_EQ(f.mo, mo);
    EXPECT_EQ(f.d, d);
    EXPECT_EQ(f.h, h);
    EXPECT_EQ(f.mi, mi);
    EXPECT_EQ(f.s, s);
    EXPECT_EQ(f.isdst, isdst);
}

// Five hours west, daylight time by the North American rule list.
const RWZoneSimple &eastern()
{
    static const RWZoneSimple zone(RWZone::West5, RWZone::DstNorthAmerica);
    return zone;
}

} // namespace

TEST(CalendarTime, UnixEpochAndTheCurrentTime)
{
    EXPECT_EQ(RWTime(RWDate(1, 1, 1970), 0, 0, 0, RWZone::utc()).seconds(), 2177452800u);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const time_t before = time(nullptr);
        const RWTime now = RWTime::now();
        const RWTime byDefault;
        if (time(nullptr) != before)
            continue;
        EXPECT_EQ(now.seconds() - rwEpoch, static_cast<std::uint32_t>(before));
        EXPECT_EQ(byDefault, now);
        return;
    }
    ADD_FAILURE() << "clock never held still for a moment";
}

// The GMT split over the whole count range against the C library's own.
TEST(CalendarTime, GmtSplitAgreesWithTheCLibrary)
{
    int failures = 0;
    for (std::uint64_t c = 1; c <= UINT32_MAX && failures < 10; c += 604789u) {
        const auto count = static_cast<std::uint32_t>(c);
        const time_t unix_time = static_cast<time_t>(c) - static_cast<time_t>(rwEpoch);
        struct tm expected = {};
        gmtime_r(&unix_time, &expected);
        struct tm got = {};
        RWTime(count).extract(&got, RWZone::utc());
        const bool same = got.tm_year == expected.tm_year && got.tm_mon == expected.tm_mon &&
                          got.tm_mday == expected.tm_mday && got.tm_hour == expected.tm_hour &&
                          got.tm_min == expected.tm_min && got.tm_sec == expected.tm_sec &&
                          got.tm_wday == expected.tm_wday && got.tm_yday == expected.tm_yday &&
                          got.tm_isdst == 0;
        if (!same) {
            ++failures;
            ADD_FAILURE() << "count " << count;
        }
        const RWTime t(count);
        EXPECT_EQ(t.hourGMT(), static_cast<unsigned>(expected.tm_hour));
        EXPECT_EQ(t.minuteGMT(), static_cast<unsigned>(expected.tm_min));
        EXPECT_EQ(t.second(), static_cast<unsigned>(expected.tm_sec));
    }
}

TEST(CalendarTime, CountWrapsIntoTheInvalidTime)
{
    RWTime last(4294967295u);
    expect_fields(split(last.seconds(), RWZone::utc()), 2037, 2, 6, 6, 28, 15, 0);
    last += 1;
    EXPECT_EQ(last.seconds(), 0u);
    struct tm t = {};
    last.extract(&t, RWZone::utc());
    for (int v :
         {t.tm_sec, t.tm_min, t.tm_hour, t.tm_mday, t.tm_mon, t.tm_year, t.tm_wday, t.tm_yday, t.tm_isdst})
        EXPECT_EQ(v, INT_MIN);
    RWTime early(5u);
    early += -10;
    EXPECT_EQ(early.seconds(), 4294967291u);
    // Impossible fields build the invalid time.
    struct tm bad = {};
    bad.tm_year = 123;
    bad.tm_mon = 1;
    bad.tm_mday = 29;
    EXPECT_EQ(RWTime(&bad, RWZone::utc()).seconds(), 0u);
}

TEST(CalendarTime, FixedZoneWithoutDaylightTime)
{
    const RWZoneSimple cet(-3600, "CET");
    expect_fields(split(2177452800u, cet), 1970, 1, 1, 1, 0, 0, 0);
    const RWTime july(utc_count(2024, 7, 1, 12, 0, 0));
    EXPECT_FALSE(july.isDST(cet));
    EXPECT_EQ(july.hour(cet), 13u);
}

// Spring forward: the wall-clock hour from 01:00 never appears; 01:30 and 02:30 name one instant.
TEST(CalendarTime, DaylightTimeBegins)
{
    const std::uint32_t lastStandard = utc_count(1998, 4, 5, 5, 59, 59);
    expect_fields(split(lastStandard, eastern()), 1998, 4, 5, 0, 59, 59, 0);
    expect_fields(split(lastStandard + 1, eastern()), 1998, 4, 5, 2, 0, 0, 1);
    EXPECT_FALSE(RWTime(lastStandard).isDST(eastern()));
    EXPECT_TRUE(RWTime(lastStandard + 1).isDST(eastern()));

    const RWDate day(5, 4, 1998);
    const std::uint32_t half_past_one = RWTime::buildFrom(day, 1, 30, 0, eastern());
    EXPECT_EQ(half_past_one, RWTime::buildFrom(day, 2, 30, 0, eastern()));
    expect_fields(split(half_past_one, eastern()), 1998, 4, 5, 2, 30, 0, 1);
    EXPECT_EQ(RWTime(day, 0, 30, 0, eastern()).seconds(), utc_count(1998, 4, 5, 5, 30, 0));
}

// Fall back: the wall-clock hour from 01:00 occurs twice, daylight first.
TEST(CalendarTime, DaylightTimeEnds)
{
    const std::uint32_t lastDaylight = utc_count(1998, 10, 25, 5, 59, 59);
    expect_fields(split(lastDaylight, eastern()), 1998, 10, 25, 1, 59, 59, 1);
    expect_fields(split(lastDaylight + 1, eastern()), 1998, 10, 25, 1, 0, 0, 0);
    expect_fields(split(lastDaylight - 3599, eastern()), 1998, 10, 25, 1, 0, 0, 1);

    const RWDate day(25, 10, 1998);
    EXPECT_EQ(RWTime::buildFrom(day, 1, 30, 0, eastern()), utc_count(1998, 10, 25, 5, 30, 0));
    EXPECT_EQ(RWTime::buildFrom(day, 2, 30, 0, eastern()), utc_count(1998, 10, 25, 7, 30, 0));
}

// isDST and extract's flag agree at every instant, the repeated hour included,
// and a split rebuilt in the same zone gives the instant back outside that hour.
TEST(CalendarTime, IsDstMatchesExtractAndRoundTrips)
{
    const std::uint32_t from = utc_count(1986, 1, 1, 0, 0, 0);
    const std::uint32_t to = utc_count(1999, 1, 1, 0, 0, 0);
    int failures = 0;
    for (std::uint32_t c = from; c < to && failures < 10; c += 900u) {
        struct tm t = {};
        const RWTime instant(c);
        instant.extract(&t, eastern());
        const bool repeated = t.tm_isdst == 0 && RWTime(c - 3600u).isDST(eastern()) && t.tm_hour == 1;
        if ((t.tm_isdst == 1) != instant.isDST(eastern()) ||
            (!repeated && RWTime(&t, eastern()).seconds() != c)) {
            ++failures;
            ADD_FAILURE() << "count " << c;
        }
    }
}
