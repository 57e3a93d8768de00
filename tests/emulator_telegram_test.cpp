#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "emulator/telegram.h"

namespace {

using horolan::ClockFields;
using horolan::FaultPlan;
using horolan::TelegramFaults;

const ClockFields kNoon{12, 30, 0, 96, 7, 15, 1};

std::vector<unsigned char> wire_of(const ClockFields &c, const TelegramFaults &f)
{
    unsigned char out[horolan::WIRE_MAX_BYTES];
    const int n = horolan::encode_telegram(c, f, out);
    return {out, out + n};
}

TEST(EmulatorTelegram, CleanTelegramCarriesFieldsChecksumAndValidStatus)
{
    const std::vector<unsigned char> expected{0xBB, 12, 30, 0, 96, 7, 15, 1, 33, 0xC5};
    EXPECT_EQ(wire_of(kNoon, TelegramFaults{}), expected);
}

TEST(EmulatorTelegram, ChecksumKeepsLowSevenBitsOfTheSum)
{
    struct Case {
        std::vector<unsigned char> t;
        unsigned char sum;
    } cases[] = {
        {{0xBB, 12, 30, 0, 96, 7, 15, 1, 0, 0xC5}, 33},
        {{0xBB, 100, 28, 0, 0, 0, 0, 0, 0, 0xC5}, 0},  // 128
        {{0xBB, 255, 0, 0, 0, 0, 0, 0, 0, 0xC5}, 127}, // 255
        {{0xBB, 255, 255, 255, 255, 255, 255, 255, 0, 0xC5}, (7 * 255) % 128},
    };
    for (const Case &c : cases)
        EXPECT_EQ(horolan::telegram_sum(c.t.data()), c.sum);
}

TEST(EmulatorTelegram, EachFaultChangesOnlyWhatItNames)
{
    const auto fault = [](void (*set)(TelegramFaults &)) {
        TelegramFaults f;
        set(f);
        return f;
    };
    struct Case {
        const char *name;
        TelegramFaults faults;
        std::vector<unsigned char> wire;
    } cases[] = {
        {"uncertain",
         fault([](TelegramFaults &f) { f.uncertain = true; }),
         {0xBB, 12, 30, 0, 96, 7, 15, 1, 33, 0xD2}},
        {"bad checksum",
         fault([](TelegramFaults &f) { f.bad_checksum = true; }),
         {0xBB, 12, 30, 0, 96, 7, 15, 1, 34, 0xC5}},
        {"bad start",
         fault([](TelegramFaults &f) { f.bad_start = true; }),
         {0xBC, 12, 30, 0, 96, 7, 15, 1, 33, 0xC5}},
        {"start byte",
         fault([](TelegramFaults &f) { f.start_byte = 0xBA; }),
         {0xBA, 12, 30, 0, 96, 7, 15, 1, 33, 0xC5}},
        {"bad status",
         fault([](TelegramFaults &f) { f.bad_status = true; }),
         {0xBB, 12, 30, 0, 96, 7, 15, 1, 33, 0x00}},
        {"bad fields",
         fault([](TelegramFaults &f) { f.bad_fields = true; }),
         {0xBB, 25, 61, 62, 96, 13, 32, 8, (25 + 61 + 62 + 96 + 13 + 32 + 8) % 128, 0xC5}},
        {"ff byte",
         fault([](TelegramFaults &f) { f.ff_byte = true; }),
         {0xBB, 12, 30, 0, 96, 7, 15, 0xFF, (12 + 30 + 96 + 7 + 15 + 255) % 128, 0xC5}},
        {"short",
         fault([](TelegramFaults &f) { f.short_write = true; }),
         {0xBB, 12, 30, 0, 96, 7, 15, 1, 33}},
        {"parity error",
         fault([](TelegramFaults &f) { f.parity_error = true; }),
         {0xFF, 0x00, 0xBB, 12, 30, 0, 96, 7, 15, 1, 33, 0xC5}},
        {"break",
         fault([](TelegramFaults &f) { f.line_break = true; }),
         {0xFF, 0x00, 0x00, 12, 30, 0, 96, 7, 15, 1, 33, 0xC5}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(wire_of(kNoon, c.faults), c.wire) << c.name;
}

TEST(EmulatorTelegram, CountedFaultsHitOnlyTheLeadingTelegrams)
{
    FaultPlan plan;
    plan.uncertain = 2;
    plan.bad_checksum = 1;
    plan.ff_byte = true;
    plan.start_byte = 0xBA;
    const TelegramFaults first = horolan::faults_for_telegram(plan, 0);
    const TelegramFaults second = horolan::faults_for_telegram(plan, 1);
    const TelegramFaults third = horolan::faults_for_telegram(plan, 2);
    EXPECT_TRUE(first.uncertain && first.bad_checksum);
    EXPECT_TRUE(second.uncertain && !second.bad_checksum);
    EXPECT_FALSE(third.uncertain || third.bad_checksum);
    EXPECT_TRUE(third.ff_byte);
    EXPECT_EQ(third.start_byte, 0xBA);
}

class EmulatorClockFields : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *tz = std::getenv("TZ");
        had_tz_ = tz != nullptr;
        if (had_tz_)
            saved_tz_ = tz;
    }
    void TearDown() override
    {
        if (had_tz_)
            setenv("TZ", saved_tz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    static void use_zone(const char *tz)
    {
        setenv("TZ", tz, 1);
        tzset();
    }

private:
    bool had_tz_ = false;
    std::string saved_tz_;
};

TEST_F(EmulatorClockFields, LocalWallClockWithTwoDigitYearAndMondayFirstWeekday)
{
    struct Case {
        const char *tz;
        long long unix_seconds;
        ClockFields expected;
    } cases[] = {
        // Mon 15 Jul 1996 12:30:00 UTC
        {"UTC0", 837433800, {12, 30, 0, 96, 7, 15, 1}},
        // the same instant in central European summer time
        {"CET-1CEST,M3.5.0,M10.5.0/3", 837433800, {14, 30, 0, 96, 7, 15, 1}},
        // Sun 31 Dec 2000 23:59:59 UTC: weekday 7, year 0 the next second
        {"UTC0", 978307199, {23, 59, 59, 0, 12, 31, 7}},
        {"UTC0", 978307200, {0, 0, 0, 1, 1, 1, 1}},
    };
    for (const Case &c : cases) {
        use_zone(c.tz);
        ClockFields f{};
        ASSERT_TRUE(horolan::clock_fields_at(c.unix_seconds, &f));
        EXPECT_EQ(f.hour, c.expected.hour) << c.tz << " " << c.unix_seconds;
        EXPECT_EQ(f.minute, c.expected.minute);
        EXPECT_EQ(f.second, c.expected.second);
        EXPECT_EQ(f.year, c.expected.year);
        EXPECT_EQ(f.month, c.expected.month);
        EXPECT_EQ(f.day, c.expected.day);
        EXPECT_EQ(f.weekday, c.expected.weekday);
    }
}

} // namespace
