// The background process correcting the clock from the emulated receiver:
// steps and slews as the interposer records them, and the hour correction in
// the week in which the system's daylight rule and the calendar's disagree.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "tests/support/e2e_tempusd.h"

namespace {

class E2ETempusdSync : public tempusd_e2e::Fixture {};

// Seconds of the first "clock_settime <sec> 0" record; -1 when there is none.
long long first_step(const std::vector<std::string> &lines)
{
    for (const std::string &line : lines) {
        long long sec = 0;
        long long nsec = -1;
        if (std::sscanf(line.c_str(), "clock_settime %lld %lld", &sec, &nsec) == 2 && nsec == 0) {
            return sec;
        }
    }
    return -1;
}

bool has_line(const std::vector<std::string> &lines, const std::string &wanted)
{
    for (const std::string &line : lines) {
        if (line == wanted) {
            return true;
        }
    }
    return false;
}

TEST_F(E2ETempusdSync, ReceiverAheadBySevenSecondsIsStepped)
{
    ASSERT_TRUE(start_emulator({"--offset", "7", "--minute-ms", "200"}));
    long long before = time(nullptr);

    ASSERT_EQ(tempusd({"/T1"}).exit_code, 0);

    ASSERT_TRUE(wait_log_message("Nastapila synchronizacja zegara systemowego. Przesuniecie o  7 s.", 5000))
        << log_text();
    long long after = time(nullptr);
    long long stepped_to = first_step(clock_lines());
    EXPECT_GE(stepped_to, before + 7 - 1) << clock_record();
    EXPECT_LE(stepped_to, after + 7 + 1) << clock_record();
}

TEST_F(E2ETempusdSync, ReceiverBehindByThreeSecondsIsSlewed)
{
    ASSERT_TRUE(start_emulator({"--offset", "-3", "--minute-ms", "200"}));

    ASSERT_EQ(tempusd({"/T1"}).exit_code, 0);

    ASSERT_TRUE(wait_log_message("Nastapila synchronizacja zegara systemowego. Przesuniecie o  -3 s.", 5000))
        << log_text();
    EXPECT_TRUE(has_line(clock_lines(), "adjtime -3 0")) << clock_record();
    EXPECT_EQ(first_step(clock_lines()), -1) << "a small difference must not step the clock";
}

TEST_F(E2ETempusdSync, RefusedClockIsReportedNotClaimedAsSynchronised)
{
    extra_env = {"TEMPUS_SHIM_CLOCK_FAIL=1"};
    ASSERT_TRUE(start_emulator({"--offset", "7", "--minute-ms", "200"}));

    ASSERT_EQ(tempusd({"/T1"}).exit_code, 0);

    ASSERT_TRUE(wait_log_message("Nie mozna ustawic zegara systemowego.", 5000)) << log_text();
    EXPECT_EQ(log_text().find("Nastapila synchronizacja"), std::string::npos) << log_text();
    EXPECT_GT(first_step(clock_lines()), 0) << "the step was attempted";
}

// Days from today to the Tuesday after the next last Sunday of March: a day on
// which Central Europe already keeps summer time.
int days_to_late_march()
{
    time_t now = time(nullptr);
    struct tm today = {};
    gmtime_r(&now, &today);
    today.tm_hour = 0;
    today.tm_min = 0;
    today.tm_sec = 0;
    time_t today_midnight = timegm(&today);
    for (int year = today.tm_year;; year++) {
        struct tm march31 = {};
        march31.tm_year = year;
        march31.tm_mon = 2;
        march31.tm_mday = 31;
        time_t t = timegm(&march31);
        gmtime_r(&t, &march31);
        time_t tuesday = t - static_cast<time_t>(march31.tm_wday) * 86400 + 2 * 86400;
        if (tuesday > today_midnight) {
            return static_cast<int>((tuesday - today_midnight) / 86400);
        }
    }
}

// "dd/mm/yyyy hh:mm:ss" as a count of seconds (zone-free, for differences).
long long stamp_seconds(const std::string &text)
{
    struct tm f = {};
    if (std::sscanf(text.c_str(), "%d/%d/%d %d:%d:%d", &f.tm_mday, &f.tm_mon, &f.tm_year, &f.tm_hour,
                    &f.tm_min, &f.tm_sec) != 6) {
        return -1;
    }
    f.tm_mon -= 1;
    f.tm_year -= 1900;
    return timegm(&f);
}

TEST_F(E2ETempusdSync, LateMarchStampsAndStepsFollowTheSystemRules)
{
    const int days = days_to_late_march();
    faketime = "+"; // built in steps: g++ 12 at -O3 warns falsely (-Wrestrict) on one expression
    faketime += std::to_string(days);
    faketime += "d";
    extra_env = {"FAKETIME_DONT_FAKE_MONOTONIC=1", "TZ=Europe/Warsaw"};
    ASSERT_TRUE(start_emulator({"--offset", "7", "--minute-ms", "200"},
                               {std::string("LD_PRELOAD=") + tproc::kFaketimeLib, "FAKETIME=" + faketime,
                                "FAKETIME_DONT_FAKE_MONOTONIC=1", "TZ=Europe/Warsaw"}));
    const long long shift = static_cast<long long>(days) * 86400;
    long long before = time(nullptr) + shift;

    ASSERT_EQ(tempusd({"/T1"}).exit_code, 0);

    ASSERT_TRUE(wait_log_message("Nastapila synchronizacja zegara systemowego. Przesuniecie o  7 s.", 5000))
        << log_text();
    long long after = time(nullptr) + shift;

    // The system's own idea of the wall clock on the faked day.
    tproc::Spawn date;
    date.argv = {"/bin/date", "+%d/%m/%Y %H:%M:%S"};
    date.faketime = faketime;
    date.env = {"FAKETIME_DONT_FAKE_MONOTONIC=1", "TZ=Europe/Warsaw"};
    tproc::Result wall = tproc::run(date);
    ASSERT_EQ(wall.exit_code, 0) << wall.err;
    long long wall_now = stamp_seconds(wall.out);
    ASSERT_GT(wall_now, 0) << wall.out;

    std::vector<std::string> lines = log_lines();
    ASSERT_FALSE(lines.empty());
    for (const std::string &line : lines) {
        if (line.empty()) {
            continue;
        }
        long long stamp = stamp_seconds(line.substr(1));
        EXPECT_LE(std::llabs(wall_now - stamp), 10) << line << " vs system wall clock " << wall.out;
    }

    long long stepped_to = first_step(clock_lines());
    EXPECT_GE(stepped_to, before + 7 - 1) << clock_record();
    EXPECT_LE(stepped_to, after + 7 + 1) << clock_record();
}

} // namespace
