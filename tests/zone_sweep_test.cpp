// Every zone of the machine's tz database and its right/ twin (leap seconds),
// every day of 2026 and 2040 (in the Pacific also of 1993, 1994 and 2011, when
// Kwajalein, Kanton, Kiritimati, Apia and Fakaofo skipped a whole day) and
// the hours around each of their changes of offset: a receiver that agrees
// with the system clock, or is some seconds (a slew), minutes (a step), days
// or years ahead or behind. The difference the cycle takes, the count of
// instants /N goes by, ex_tikora's conversion and the log stamps are each
// checked against the truth worked out here from the zone's offsets and changes.

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "calendar/zone.h"
#include "link/dcf_protocol.h"
#include "oneshot/telegram_time.h"
#include "tests/support/child.h"
#include "tests/support/proc.h"
#include "timesvc/telegram_instant.h"
#include "timesvc/tm_srvce.h"

namespace {

constexpr char ZONE_DIR[] = "/usr/share/zoneinfo";
constexpr long DAY = 86400;
constexpr long YEARS = 7L * 365 * DAY + 18029;
// Receivers ahead (+) and behind (-): in step, a slew's worth, a step's worth,
// days (a board that starts at its last shutdown), years (a dead battery).
// Around a change of offset all of them; on the days one half in turn.
constexpr long AROUND_A_CHANGE[] = {0, 3, -3, 700, -700, 3 * DAY + 17, -YEARS};
constexpr long ON_A_DAY[2][4] = {{0, 3, -700, YEARS}, {0, -3, 700, -3 * DAY - 17}};

struct change {
    time_t at;   // first second of the new offset
    long before; // offsets, seconds east
    long after;
};

// Every zone of the tz database, by the names its own source list gives
// (the links to them are other names of the same zones), and its right/ twin.
std::vector<std::string> all_zones()
{
    std::vector<std::string> zones;
    std::istringstream list(tproc::read_file(std::string(ZONE_DIR) + "/tzdata.zi"));
    for (std::string line; std::getline(list, line);)
        if (line.rfind("Z ", 0) == 0)
            for (const char *family : {"/", "/right/"})
                zones.push_back(ZONE_DIR + std::string(family) + line.substr(2, line.find(' ', 2) - 2));
    return zones;
}

long offset_at(time_t t)
{
    struct tm fields = {};
    localtime_r(&t, &fields);
    return fields.tm_gmtoff;
}

// The zone's changes of offset in `year`, to the second.
std::vector<change> changes_in(int year)
{
    struct tm start = {};
    start.tm_year = year - 1900;
    start.tm_mday = 1;
    const time_t from = timegm(&start) - DAY;
    std::vector<change> found;
    for (time_t t = from; t < from + 368 * DAY; t += 3 * 3600) {
        const long a = offset_at(t);
        if (offset_at(t + 3 * 3600) == a)
            continue;
        time_t lo = t; // offset a at lo, another at hi
        time_t hi = t + 3 * 3600;
        while (hi - lo > 1) {
            const time_t mid = lo + (hi - lo) / 2;
            (offset_at(mid) == a ? lo : hi) = mid;
        }
        found.push_back({hi, a, offset_at(hi)});
    }
    return found;
}

// The instants at which the zone shows the wall clock `wall` (seconds as timegm
// counts them) of `receiver`: it, and the other pass of a repeated hour.
std::vector<time_t> passes_of(time_t receiver, long long wall, const std::vector<change> &changes)
{
    std::vector<time_t> passes = {receiver};
    for (const change &c : changes)
        if (c.after < c.before && wall >= c.at + c.after && wall < c.at + c.before)
            passes.push_back(
                static_cast<time_t>(receiver == wall - c.before ? wall - c.after : wall - c.before));
    return passes;
}

// The library's rendering of a log stamp shows the system's wall clock,
// except in the library's own skipped hour, which nothing renders.
bool stamp_is_wall_clock(time_t when, const struct tm &wall)
{
    RWTime stamp(static_cast<std::uint32_t>(when) + rwEpoch);
    stamp += correction_at(when);
    struct tm shown = {};
    stamp.extract(&shown, RWZone::local());
    if (shown.tm_year == wall.tm_year && shown.tm_mon == wall.tm_mon && shown.tm_mday == wall.tm_mday &&
        shown.tm_hour == wall.tm_hour && shown.tm_min == wall.tm_min && shown.tm_sec == wall.tm_sec)
        return true;
    const RWZone &library = RWZone::local();
    for (long west : {library.timeZoneOffset(), library.altZoneOffset()}) {
        RWTime t(RWDate(&wall), static_cast<unsigned>(wall.tm_hour), static_cast<unsigned>(wall.tm_min),
                 static_cast<unsigned>(wall.tm_sec), RWZone::utc());
        t += west;
        t.extract(&shown, library);
        if (shown.tm_hour == wall.tm_hour && shown.tm_mday == wall.tm_mday)
            return false; // a count renders it: the stamp should have been that one
    }
    return true;
}

// One reading `reading` and a receiver `ahead` seconds off; a line per fault.
void check(const std::string &zone, time_t reading, long ahead, const std::vector<change> &changes,
           std::vector<std::string> &faults)
{
    const time_t receiver = reading + ahead;
    struct tm wall = {};
    localtime_r(&receiver, &wall);
    const std::vector<time_t> passes =
        passes_of(receiver, static_cast<long long>(receiver) + wall.tm_gmtoff, changes);
    const int expected_instants = static_cast<int>(passes.size());
    time_t truth = receiver; // of a repeated hour the pass nearest the reading, the earlier on a tie
    for (const time_t t : passes)
        if (std::make_pair(std::llabs(t - reading), t) < std::make_pair(std::llabs(truth - reading), truth))
            truth = t;
    char what[160];
    snprintf(what, sizeof what, "%s: reading %lld, receiver %+ld s (%02d:%02d:%02d): ", zone.c_str() + 20,
             static_cast<long long>(reading), ahead, wall.tm_hour, wall.tm_min, wall.tm_sec);

    const int year = telegram_full_year(wall.tm_year % 100);
    const dcf_wall_time when = {year, wall.tm_mon + 1, wall.tm_mday, wall.tm_hour, wall.tm_min, wall.tm_sec};
    telegram_instant found = {};
    if (find_telegram_instant(reading, &when, &found) != 0)
        faults.push_back(std::string(what) + "no instant");
    else if (found.difference != truth - reading || found.instants != expected_instants)
        faults.push_back(std::string(what) + "difference " + std::to_string(found.difference) +
                         ", instants " + std::to_string(found.instants) + " (expected " +
                         std::to_string(expected_instants) + ")");

    const tikora_telegram_fields fields = {
        static_cast<unsigned>(wall.tm_year % 100), static_cast<unsigned>(wall.tm_mon + 1),
        static_cast<unsigned>(wall.tm_mday),       static_cast<unsigned>(wall.tm_hour),
        static_cast<unsigned>(wall.tm_min),        static_cast<unsigned>(wall.tm_sec)};
    const time_t set = tikora_telegram_to_time(&fields);
    // In a repeated hour the telegram cannot say which pass it means.
    if (set != receiver && (expected_instants != 2 || set < receiver - 7200 || set > receiver + 7200))
        faults.push_back(std::string(what) + "ex_tikora sets " + std::to_string(set));

    if (ahead == 0 && !stamp_is_wall_clock(reading, wall))
        faults.push_back(std::string(what) + "log stamp");
}

// Checks every zone of `zones` in this process; the faults, one per line.
std::string sweep(const std::vector<std::string> &zones)
{
    std::vector<std::string> faults;
    for (const std::string &zone : zones) {
        setenv("TZ", zone.c_str(), 1);
        tzset();
        delete RWZone::local(nullptr); // the library's local zone, made again for this zone
        for (int year : {2026, 2040, 1993, 1994, 2011}) {
            if (year < 2026 && zone.find("/Pacific/") == std::string::npos)
                continue;
            const std::vector<change> changes = changes_in(year);
            struct tm first = {};
            first.tm_year = year - 1900;
            first.tm_mday = 1;
            first.tm_isdst = -1;
            const time_t start = mktime(&first);
            for (long day = 0; day < 365; ++day) {
                // A different time of day each day, so midnight and every hour come round.
                const time_t receiver = start + day * DAY + (day * 7919) % DAY;
                for (long ahead : ON_A_DAY[day % 2])
                    check(zone, receiver - ahead, ahead, changes, faults);
            }
            for (const change &c : changes)
                for (long step = -24; step <= 24; ++step)
                    for (long ahead : AROUND_A_CHANGE)
                        check(zone, c.at + step * 300 + (step % 2) - ahead, ahead, changes, faults);
        }
    }
    std::string report;
    for (size_t i = 0; i < faults.size() && i < 30; ++i)
        report += faults[i] + "\n";
    if (faults.size() > 30)
        report += "... " + std::to_string(faults.size()) + " in all\n";
    return report;
}

TEST(ZoneSweep, EveryZoneGivesTheTrueInstantStampAndSetting)
{
    // ex_tikora keeps its own two-digit window; tempusd's is the same.
    for (int year = 0; year < 256; ++year)
        EXPECT_EQ(telegram_full_year(year), year < 100 ? tikora_years_since_1900(year) + 1900 : -1);
    const std::vector<std::string> zones = all_zones();
    ASSERT_GT(zones.size(), 600u) << "the tz database's zones and their right/ twins";
    // Two children, one per core, each with half of the zones and its own TZ.
    std::vector<std::string> halves[2];
    for (size_t i = 0; i < zones.size(); ++i)
        halves[i % 2].push_back(zones[i]);
    const std::vector<tproc::ChildRun> runs = tproc::run_in_children(2, [&halves](int n) {
        const std::string faults = sweep(halves[n]);
        fputs(faults.c_str(), stdout);
        return faults.empty() ? 0 : 1;
    });
    for (const tproc::ChildRun &run : runs) {
        EXPECT_TRUE(run.exited);
        EXPECT_EQ(run.exit_code, 0) << run.out;
    }
}

} // namespace
