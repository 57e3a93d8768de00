#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <sstream>
#include <string>

#include "calendar/rwtime.h"
#include "calendar/zone.h"
#include "tests/support/child.h"
#include "tests/support/utc_time.h"

namespace {

struct tm fields_of(int y, int mo, int d, int h, int mi)
{
    struct tm t = {};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_wday = static_cast<int>(
        RWDate(static_cast<unsigned>(d), static_cast<unsigned>(mo), static_cast<unsigned>(y)).weekDay() % 7);
    return t;
}

// Runs body in a forked child, where the time-zone environment and the cached
// local zone may be changed freely; returns what the child reported ("" = all well).
std::string run_in_zone_child(const char *tz, const std::function<std::string()> &body)
{
    const tproc::ChildRun run = tproc::run_in_child("", [tz, &body] {
        setenv("TZ", tz, 1);
        tzset();
        RWZone::local(nullptr); // forget a zone the parent may have built
        RWZone::standard(nullptr);
        fputs(body().c_str(), stdout);
        return 0;
    });
    if (!run.exited || run.exit_code != 0)
        return run.out + "child ended abnormally";
    return run.out;
}

// Compares extract in zone with localtime_r at instants from..to; lists the first mismatches.
std::string compare_with_localtime(const RWZone &zone, std::uint32_t from, std::uint32_t to,
                                   std::uint32_t step)
{
    std::ostringstream out;
    int failures = 0;
    for (std::uint64_t c = from; c < to && failures < 5; c += step) {
        const auto count = static_cast<std::uint32_t>(c);
        const time_t unix_time = static_cast<time_t>(c) - static_cast<time_t>(rwEpoch);
        struct tm want = {};
        localtime_r(&unix_time, &want);
        struct tm got = {};
        RWTime(count).extract(&got, zone);
        if (got.tm_year != want.tm_year || got.tm_mon != want.tm_mon || got.tm_mday != want.tm_mday ||
            got.tm_hour != want.tm_hour || got.tm_min != want.tm_min || got.tm_sec != want.tm_sec ||
            got.tm_wday != want.tm_wday || got.tm_yday != want.tm_yday || got.tm_isdst != want.tm_isdst ||
            RWTime(count).isDST(zone) != (want.tm_isdst > 0)) {
            ++failures;
            out << "unix " << unix_time << ": hour " << got.tm_hour << " vs " << want.tm_hour << ", isdst "
                << got.tm_isdst << " vs " << want.tm_isdst << '\n';
        }
    }
    return out.str();
}

// Begins on the first Sunday of October, ends on the first Sunday of April at 03:00.
const RWDaylightRule southern = {nullptr, 0, 1, {9, 0, 0, 120}, {3, 0, 0, 180}};

} // namespace

TEST(CalendarZone, ZonesFromTheBuiltInTables)
{
    struct Case {
        RWZone::StdZone zone;
        RWZone::DstRule rule;
        long stdOffset, altOffset;
        const char *stdName, *altName;
    };
    for (const Case &c : {Case{RWZone::West5, RWZone::DstNorthAmerica, 18000, 14400, "EST", "EDT"},
                          Case{RWZone::West5, RWZone::DstNone, 18000, 18000, "EST", "EST"},
                          Case{RWZone::East12, RWZone::DstNorthAmerica, -43200, -46800, "GMT+12", "GMT+11"},
                          Case{RWZone::Greenwich, RWZone::DstWesternEurope, 0, -3600, "GMT", "WET DST"},
                          Case{RWZone::West1, RWZone::DstNorthAmerica, 3600, 0, "GMT-1", "GMT-2"}}) {
        const RWZoneSimple z(c.zone, c.rule);
        EXPECT_EQ(z.timeZoneOffset(), c.stdOffset) << c.stdName;
        EXPECT_EQ(z.altZoneOffset(), c.altOffset) << c.stdName;
        EXPECT_EQ(z.timeZoneName(), c.stdName);
        EXPECT_EQ(z.altZoneName(), c.altName);
        EXPECT_EQ(z.daylightObserved(), c.rule != RWZone::DstNone);
    }
    EXPECT_EQ(RWZone::dstRule(RWZone::DstNone), nullptr);
    EXPECT_EQ(RWZone::dstRule(RWZone::DstNorthAmerica), &usRuleLate);
    EXPECT_EQ(RWZone::dstRule(RWZone::DstWesternEurope), &euRuleLate);

    const RWZone &gmt = RWZone::utc();
    EXPECT_EQ(gmt.timeZoneOffset(), 0);
    EXPECT_EQ(gmt.altZoneOffset(), 0);
    EXPECT_EQ(gmt.timeZoneName(), "GMT");
    EXPECT_EQ(gmt.altZoneName(), "GMT");
    const struct tm summer = fields_of(1998, 7, 1, 12, 0);
    EXPECT_FALSE(gmt.isDaylight(&summer));
}

// One year of each band of the North American list, and the western European rule.
TEST(CalendarZone, RuleBandsBeginAndEnd)
{
    struct Case {
        int year;
        unsigned beginMonth, beginDay, endMonth, endDay;
        RWZone::DstRule rule;
    };
    const Case cases[] = {
        {1998, 4, 5, 10, 25, RWZone::DstNorthAmerica},  {1987, 4, 5, 10, 25, RWZone::DstNorthAmerica},
        {1986, 4, 27, 10, 26, RWZone::DstNorthAmerica}, {1976, 4, 25, 10, 31, RWZone::DstNorthAmerica},
        {1975, 2, 23, 10, 26, RWZone::DstNorthAmerica}, {1974, 1, 6, 10, 27, RWZone::DstNorthAmerica},
        {1973, 4, 1, 10, 28, RWZone::DstNorthAmerica},  {1967, 4, 2, 10, 29, RWZone::DstNorthAmerica},
        {1966, 4, 24, 10, 30, RWZone::DstNorthAmerica}, {1950, 4, 30, 10, 29, RWZone::DstNorthAmerica},
        {1998, 3, 29, 9, 27, RWZone::DstWesternEurope},
    };
    for (const Case &c : cases) {
        const RWZoneSimple zone(RWZone::West5, c.rule);
        // Begins when the daylight clock reads 02:00, ends when the standard clock does.
        EXPECT_EQ(RWTime::beginDST(static_cast<unsigned>(c.year), zone).seconds(),
                  utc_count(c.year, c.beginMonth, c.beginDay, 6, 0, 0))
            << c.year;
        EXPECT_EQ(RWTime::endDST(static_cast<unsigned>(c.year), zone).seconds(),
                  utc_count(c.year, c.endMonth, c.endDay, 7, 0, 0))
            << c.year;
    }

    const RWZoneSimple eastern(RWZone::West5, RWZone::DstNorthAmerica);
    struct tm t = {};
    t.tm_year = 98;
    eastern.getBeginDaylight(&t);
    EXPECT_EQ(t.tm_year, 98);
    EXPECT_EQ(t.tm_mon, 3);
    EXPECT_EQ(t.tm_mday, 5);
    EXPECT_EQ(t.tm_hour, 2);
    EXPECT_EQ(t.tm_min, 0);
    EXPECT_EQ(t.tm_sec, 0);
    EXPECT_EQ(t.tm_wday, 0);
    EXPECT_EQ(t.tm_isdst, -1);
    eastern.getEndDaylight(&t);
    EXPECT_EQ(t.tm_mon, 9);
    EXPECT_EQ(t.tm_mday, 25);
}

TEST(CalendarZone, NoRuleMeansNoDaylightTime)
{
    const RWZoneSimple plain(RWZone::West5, RWZone::DstNone);
    struct tm t = {};
    t.tm_year = 98;
    plain.getBeginDaylight(&t);
    EXPECT_EQ(t.tm_year, INT_MIN);
    EXPECT_EQ(t.tm_mday, INT_MIN);
    EXPECT_EQ(RWTime::beginDST(1998, plain).seconds(), 0u);
    EXPECT_EQ(RWTime::endDST(1998, plain).seconds(), 0u);

    // A list whose only rule starts in 1990 knows nothing of 1980.
    const RWDaylightRule recent = {nullptr, 1990, 1, {3, 0, 0, 120}, {9, 4, 0, 120}};
    const RWZoneSimple late(RWZone::West5, &recent);
    const struct tm summer80 = fields_of(1980, 7, 1, 12, 0);
    const struct tm summer90 = fields_of(1990, 7, 1, 12, 0);
    EXPECT_FALSE(late.isDaylight(&summer80));
    EXPECT_TRUE(late.isDaylight(&summer90));
    EXPECT_EQ(RWTime::beginDST(1980, late).seconds(), 0u);
}

TEST(CalendarZone, BoundaryDaysAndMinutes)
{
    const RWDaylightBoundary firstSundayOfApril = {3, 0, 0, 120};
    struct Case {
        int y, mo, d, h, mi;
        bool before;
    };
    for (const Case &c :
         {Case{1998, 4, 5, 1, 59, true}, Case{1998, 4, 5, 2, 0, false}, Case{1998, 3, 31, 23, 59, true},
          Case{1998, 5, 1, 0, 0, false}, Case{1998, 4, 4, 12, 0, true}, Case{1998, 4, 6, 0, 0, false}}) {
        const struct tm t = fields_of(c.y, c.mo, c.d, c.h, c.mi);
        EXPECT_EQ(firstSundayOfApril.after(&t), c.before) << c.mo << '-' << c.d << ' ' << c.h << ':' << c.mi;
    }

    struct DayCase {
        RWDaylightBoundary boundary;
        int y, mo, mday;
    };
    for (const DayCase &c : {DayCase{{9, 4, 0, 120}, 1998, 10, 25}, DayCase{{3, 0, 0, 120}, 1998, 4, 5},
                             DayCase{{1, 4, 0, 120}, 1976, 2, 29}, DayCase{{1, 4, 0, 120}, 1975, 2, 23},
                             DayCase{{2, 1, 0, 120}, 2026, 3, 8}, DayCase{{2, 3, 6, 120}, 2026, 3, 28},
                             DayCase{{5, -1, 15, 90}, 2026, 6, 15}}) {
        // Any day of the month serves as the starting point.
        for (int from : {1, 17, 28}) {
            struct tm t = fields_of(c.y, c.mo, from, 0, 0);
            c.boundary.date(&t);
            EXPECT_EQ(t.tm_mday, c.mday) << c.y << '-' << c.mo << " from " << from;
            EXPECT_EQ(t.tm_hour * 60 + t.tm_min, c.boundary.minute);
        }
    }
}

TEST(CalendarZone, SouthernRuleSpansTheNewYear)
{
    const RWZoneSimple sydney(&southern, -36000, "AEST", -39600, "AEDT");
    EXPECT_TRUE(sydney.daylightObserved());
    for (int mo : {1, 2, 3, 11, 12}) {
        const struct tm t = fields_of(2026, mo, 15, 12, 0);
        EXPECT_TRUE(sydney.isDaylight(&t)) << mo;
    }
    for (int mo : {5, 6, 7, 8, 9}) {
        const struct tm t = fields_of(2026, mo, 15, 12, 0);
        EXPECT_FALSE(sydney.isDaylight(&t)) << mo;
    }
    // Against the C library with the same rule written for it (both change at the same instants).
    EXPECT_EQ(run_in_zone_child("AEST-10AEDT,M10.1.0/1,M4.1.0/3",
                                [] {
                                    const RWZoneSimple zone(&southern, -36000, "AEST", -39600, "AEDT");
                                    return compare_with_localtime(zone, utc_count(2020, 1, 1, 0, 0, 0),
                                                                  utc_count(2030, 1, 1, 0, 0, 0), 613u);
                                }),
              "");
}

// The local zone takes offsets and names from the C library, and the North
// American rule whenever the system has any daylight time.
TEST(CalendarZone, LocalZoneWithDaylightTime)
{
    const std::string report = run_in_zone_child("CET-1CEST,M3.5.0,M10.5.0/3", [] {
        std::ostringstream out;
        const RWZone &local = RWZone::local();
        if (&local != &RWZone::local())
            out << "local zone not cached\n";
        if (local.timeZoneOffset() != -3600 || local.altZoneOffset() != -7200 || !local.daylightObserved())
            out << "offsets " << local.timeZoneOffset() << ' ' << local.altZoneOffset() << '\n';
        if (local.timeZoneName() != "CET" || local.altZoneName() != "CEST")
            out << "names " << local.timeZoneName() << ' ' << local.altZoneName() << '\n';
        // The week in which the system is already in summer time but the library is not.
        const RWTime lateMarch(utc_count(1998, 3, 30, 12, 0, 0));
        const time_t unix_time = static_cast<time_t>(lateMarch.seconds() - rwEpoch);
        struct tm sys = {};
        localtime_r(&unix_time, &sys);
        if (lateMarch.isDST(local) || sys.tm_isdst != 1)
            out << "late March: library " << lateMarch.isDST(local) << " system " << sys.tm_isdst << '\n';
        if (RWTime::beginDST(1998, local).seconds() != utc_count(1998, 4, 5, 0, 0, 0))
            out << "begin " << RWTime::beginDST(1998, local).seconds() << '\n';
        const RWZone &standard = RWZone::standard();
        if (standard.timeZoneOffset() != -3600 || standard.altZoneOffset() != -3600 ||
            standard.daylightObserved() || standard.timeZoneName() != "CET" ||
            standard.altZoneName() != "CET")
            out << "standard zone\n";
        return out.str();
    });
    EXPECT_EQ(report, "");
}

TEST(CalendarZone, LocalZoneWithoutDaylightTime)
{
    const std::string report = run_in_zone_child("JST-9", [] {
        std::ostringstream out;
        const RWZone &local = RWZone::local();
        if (local.daylightObserved() || local.timeZoneOffset() != -32400 || local.altZoneOffset() != -36000 ||
            local.timeZoneName() != "JST")
            out << "zone " << local.timeZoneOffset() << ' ' << local.altZoneOffset() << '\n';
        out << compare_with_localtime(local, utc_count(1990, 1, 1, 0, 0, 0), utc_count(2037, 1, 1, 0, 0, 0),
                                      86413u);
        return out.str();
    });
    EXPECT_EQ(report, "");
}

// Where the system's rule is the library's own, the two split every instant alike.
TEST(CalendarZone, LocalZoneAgreesWithLocaltime)
{
    EXPECT_EQ(run_in_zone_child("EST5EDT,M4.1.0/1,M10.5.0",
                                [] {
                                    return compare_with_localtime(
                                        RWZone::local(), utc_count(1987, 1, 1, 0, 0, 0), 4294967295u, 1201u);
                                }),
              "");
}
