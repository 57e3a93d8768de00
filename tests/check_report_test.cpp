#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "check/check_measure.h"
#include "check/check_report.h"
#include "check/check_zone.h"
#include "timesvc/ntp_sample.h"

namespace {

// 14:20:34 on Tuesday 8 December 2026, valid; byte 0 read at 14:20:34.014 CET.
check_reading base_reading()
{
    check_reading r = {};
    const unsigned char telegram[] = {0xbb, 14, 20, 34, 26, 12, 8, 2, 0x74, 0xc5};
    std::memcpy(r.telegram, telegram, sizeof telegram);
    r.verdict = TELEGRAM_VALID;
    r.arrival_s = 1796736034;
    r.arrival_ms = 14;
    r.arrival_local.tm_year = 126;
    r.arrival_local.tm_mon = 11;
    r.arrival_local.tm_mday = 8;
    r.arrival_local.tm_hour = 14;
    r.arrival_local.tm_min = 20;
    r.arrival_local.tm_sec = 34;
    r.arrival_local.tm_gmtoff = 3600;
    r.arrival_local.tm_zone = "CET";
    r.measurement = CHECK_MEASURED;
    r.instants = 1;
    r.offset = -0.013427083;
    return r;
}

std::string report(const check_reading &r)
{
    char text[1024];
    EXPECT_LT(format_check_report(&r, text, sizeof text), static_cast<int>(sizeof text));
    return text;
}

TEST(CheckReport, ShowsEveryFieldAndTheDifferenceToTheMillisecond)
{
    EXPECT_EQ(report(base_reading()), "Telegram:        bb 0e 14 22 1a 0c 08 02 74 c5\n"
                                      "Receiver time:   2026-12-08 14:20:34, Tuesday\n"
                                      "Status:          valid\n"
                                      "Byte 0 arrived:  2026-12-08 14:20:34.014 CET (UTC+01:00)\n"
                                      "Difference:      -0.013 s (receiver minus system clock)\n");
}

TEST(CheckReport, EachFieldReadsAsTheReceiverMeantIt)
{
    const struct {
        const char *what;
        void (*change)(check_reading *);
        const char *expected; // a line, or a part of one, of the report
    } cases[] = {
        {"year 69 is 2069", [](check_reading *r) { r->telegram[4] = 69; }, "2069-12-08 14:20:34"},
        {"year 70 is 1970", [](check_reading *r) { r->telegram[4] = 70; }, "1970-12-08 14:20:34"},
        {"no date", [](check_reading *r) { r->telegram[5] = 13; },
         "year 26, month 13, day 8 (no date) 14:20:34"},
        {"Sunday", [](check_reading *r) { r->telegram[7] = 7; }, ", Sunday\n"},
        {"no weekday", [](check_reading *r) { r->telegram[7] = 8; }, ", weekday 8 (none)\n"},
        {"uncertain", [](check_reading *r) { r->telegram[9] = 0xd2; }, "Status:          uncertain\n"},
        {"unknown status", [](check_reading *r) { r->telegram[9] = 0; }, "Status:          unknown (0x00)\n"},
        {"a few microseconds behind", [](check_reading *r) { r->offset = -0.0004; }, "+0.000 s"},
        {"rounded up", [](check_reading *r) { r->offset = 2.7496; }, "+2.750 s"},
        {"an hour behind", [](check_reading *r) { r->offset = -3600.0005; }, "-3600.001 s"},
        {"west of UTC", [](check_reading *r) { r->arrival_local.tm_gmtoff = -12600; }, "CET (UTC-03:30)"},
        {"local mean time", [](check_reading *r) { r->arrival_local.tm_gmtoff = 1172; },
         "CET (UTC+00:19:32)"},
        {"beyond the zone", [](check_reading *r) { r->arrival_local.tm_zone = nullptr; },
         "Byte 0 arrived:  1796736034.014 s after 1970 UTC (beyond the system's zone)\n"},
        {"damaged", [](check_reading *r) { r->measurement = CHECK_DAMAGED; },
         "Difference:      not measured (damaged telegram)\n"},
        {"repeated hour", [](check_reading *r) { r->instants = 2; },
         "Note:            14:20:34 occurs twice (a repeated hour) that day in the system's zone; the "
         "nearest "
         "instant is taken, and tempusd /N hands no sample on for it\n"},
        {"skipped hour", [](check_reading *r) { r->instants = 0; }, "14:20:34 is skipped (a skipped hour)"},
    };
    for (const auto &c : cases) {
        check_reading r = base_reading();
        c.change(&r);
        EXPECT_NE(report(r).find(c.expected), std::string::npos) << c.what << "\n" << report(r);
    }
}

TEST(CheckReport, FaultsAreNamedInWords)
{
    const struct {
        int byte, value, verdict;
        const char *expected;
    } cases[] = {
        {8, 0x75, TELEGRAM_BAD_CHECKSUM,
         "checksum error: byte 8 is 0x75, bytes 1 to 7 sum to 0x74 (modulo 128)"},
        {0, 0xbc, TELEGRAM_UNEXPECTED, "unexpected start byte 0xbc (0xbb expected)"},
        {9, 0x00, TELEGRAM_UNEXPECTED, "unexpected status byte 0x00 (0xc5 or 0xd2 expected)"},
        {1, 25, TELEGRAM_UNEXPECTED, "hour, minute or second out of range (25:20:34)"},
        {6, 32, TELEGRAM_UNEXPECTED, "no such date (year 26, month 12, day 32)"},
        {9, 0xd2, TELEGRAM_UNCERTAIN, "the receiver's time is uncertain (status 0xd2)"},
    };
    for (const auto &c : cases) {
        check_reading r = base_reading();
        r.telegram[c.byte] = static_cast<unsigned char>(c.value);
        char text[200];
        format_telegram_fault(r.telegram, c.verdict, text, sizeof text);
        EXPECT_STREQ(text, c.expected);
    }
}

// The difference is the cycle's: whole seconds to the instant the time of day
// names, plus one character, minus the fraction of the arrival; whatever the zone.
TEST(CheckMeasure, DifferenceIsTheSampleTempusdHandsOn)
{
    const struct timespec arrival = {1796736034, 251000000};
    const time_t ahead = arrival.tv_sec + 3;
    struct tm shown = {};
    ASSERT_NE(localtime_r(&ahead, &shown), nullptr);
    check_reading r = base_reading();
    r.telegram[1] = static_cast<unsigned char>(shown.tm_hour);
    r.telegram[2] = static_cast<unsigned char>(shown.tm_min);
    r.telegram[3] = static_cast<unsigned char>(shown.tm_sec);
    r.telegram[4] = static_cast<unsigned char>(shown.tm_year % 100);
    r.telegram[5] = static_cast<unsigned char>(shown.tm_mon + 1);
    r.telegram[6] = static_cast<unsigned char>(shown.tm_mday);
    r.telegram[8] = static_cast<unsigned char>(telegram_checksum(r.telegram));

    measure_telegram(arrival, &r);
    EXPECT_EQ(r.verdict, TELEGRAM_VALID);
    ASSERT_EQ(r.measurement, CHECK_MEASURED);
    EXPECT_EQ(r.arrival_ms, 251);
    EXPECT_EQ(r.arrival_local.tm_sec, (shown.tm_sec + 57) % 60);
    EXPECT_NEAR(r.offset, 3 - 0.251 + NTP_CHAR_TIME_NS / 1e9, 1e-9);

    r.telegram[8] ^= 1;
    measure_telegram(arrival, &r);
    EXPECT_EQ(r.verdict, TELEGRAM_BAD_CHECKSUM);
    EXPECT_EQ(r.measurement, CHECK_DAMAGED);
}

// tempusd reads the receiver's time in the system's zone: whole hours apart,
// within the slack, mean a receiver on another zone; anything else does not.
TEST(CheckZone, WholeHoursApartAreZonesApart)
{
    const struct {
        double offset;
        int hours;
    } cases[] = {{0.0, 0},      {0.4, 0},    {3600.013, 1}, {3609.0, 1},      {3611.0, 0},
                 {-7199.5, -2}, {1800.0, 0}, {93603.0, 26}, {27 * 3600.0, 0}, {3 * 86400.0 + 2, 0}};
    for (const auto &c : cases)
        EXPECT_EQ(zone_hours_apart(c.offset), c.hours) << c.offset;

    char text[512];
    ASSERT_GT(format_zone_warning(2, "UTC", 0, text, sizeof text), 0);
    EXPECT_EQ(std::string(text),
              "the receiver's time is 2 h ahead of the system clock: it seems to send the time of UTC+02:00 "
              "while this machine's zone is UTC (UTC+00:00); tempusd reads the receiver's time in the "
              "machine's zone, so set the receiver to the machine's zone or the machine's zone to the "
              "receiver's (timedatectl set-timezone), unless the system clock itself is off by whole hours");
    ASSERT_GT(format_zone_warning(-1, "CET", 3600, text, sizeof text), 0);
    EXPECT_NE(std::string(text).find("1 h behind the system clock: it seems to send the time of UTC+00:00 "
                                     "while this machine's zone is CET (UTC+01:00)"),
              std::string::npos)
        << text;
}

} // namespace
