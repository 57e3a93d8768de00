#include "oneshot/telegram_time.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "tests/support/utc_time.h"

namespace {

TEST(TikoraTelegramYear, TwoDigitsSpanNineteenSeventyToTwentySixtyNine)
{
    const struct {
        unsigned byte;
        int years_since_1900;
    } cases[] = {{0, 100}, {26, 126}, {69, 169}, {70, 70}, {96, 96}, {99, 99}, {100, -1}, {255, -1}};
    for (const auto &c : cases) {
        EXPECT_EQ(tikora_years_since_1900(c.byte), c.years_since_1900) << c.byte;
    }
}

constexpr tikora_telegram_fields kNoon = {26, 7, 15, 12, 30, 0};

TEST(TikoraTelegramFields, RangesAreChecked)
{
    const struct {
        const char *what;
        tikora_telegram_fields fields;
        int result;
    } cases[] = {
        {"ordinary", kNoon, 0},
        {"month 0", {26, 0, 15, 12, 30, 0}, -1},
        {"month 12", {26, 12, 15, 12, 30, 0}, 0},
        {"month 13", {26, 13, 15, 12, 30, 0}, -1},
        {"day 0", {26, 7, 0, 12, 30, 0}, -1},
        {"day 31", {26, 7, 31, 12, 30, 0}, 0},
        {"day 32", {26, 7, 32, 12, 30, 0}, -1},
        {"hour 23", {26, 7, 15, 23, 30, 0}, 0},
        {"hour 24", {26, 7, 15, 24, 30, 0}, -1},
        {"minute 60", {26, 7, 15, 12, 60, 0}, -1},
        {"second 60", {26, 7, 15, 12, 30, 60}, 0},
        {"second 61", {26, 7, 15, 12, 30, 61}, -1},
        {"year 100", {100, 7, 15, 12, 30, 0}, -1},
    };
    for (const auto &c : cases) {
        struct tm out = {};
        EXPECT_EQ(tikora_telegram_to_tm(&c.fields, &out), c.result) << c.what;
    }
    struct tm out = {};
    ASSERT_EQ(tikora_telegram_to_tm(&kNoon, &out), 0);
    EXPECT_EQ(out.tm_year, 126);
    EXPECT_EQ(out.tm_mon, 6);
    EXPECT_EQ(out.tm_mday, 15);
    EXPECT_EQ(out.tm_isdst, -1);
}

// Runs a test in a chosen time zone and puts the process's zone back afterwards.
class TikoraTelegramZone : public ::testing::Test {
protected:
    void SetUp() override { saved_tz = getenv("TZ") != nullptr ? getenv("TZ") : ""; }
    void TearDown() override
    {
        saved_tz.empty() ? unsetenv("TZ") : setenv("TZ", saved_tz.c_str(), 1);
        tzset();
    }
    static void use_zone(const char *zone)
    {
        setenv("TZ", zone, 1);
        tzset();
    }

    std::string saved_tz;
};

TEST_F(TikoraTelegramZone, WallClockFollowsTheHostsSummerAndWinter)
{
    use_zone("Europe/Warsaw");
    const tikora_telegram_fields winter = {26, 1, 15, 12, 30, 0};
    EXPECT_EQ(tikora_telegram_to_time(&winter), utc_time(2026, 1, 15, 11, 30, 0));
    const tikora_telegram_fields summer = {26, 7, 15, 12, 30, 0};
    EXPECT_EQ(tikora_telegram_to_time(&summer), utc_time(2026, 7, 15, 10, 30, 0));
    const tikora_telegram_fields last_century = {96, 7, 15, 12, 30, 0};
    EXPECT_EQ(tikora_telegram_to_time(&last_century), utc_time(1996, 7, 15, 10, 30, 0));
    // First hour of summer time, and the last one before it.
    const tikora_telegram_fields after_switch = {26, 3, 29, 3, 0, 0};
    EXPECT_EQ(tikora_telegram_to_time(&after_switch), utc_time(2026, 3, 29, 1, 0, 0));
    const tikora_telegram_fields before_switch = {26, 3, 29, 1, 59, 59};
    EXPECT_EQ(tikora_telegram_to_time(&before_switch), utc_time(2026, 3, 29, 0, 59, 59));
}

TEST_F(TikoraTelegramZone, DaysBeyondTheMonthAreRefused)
{
    use_zone("UTC");
    const tikora_telegram_fields feb30 = {26, 2, 30, 12, 0, 0};
    EXPECT_EQ(tikora_telegram_to_time(&feb30), -1);
    const tikora_telegram_fields feb29_leap = {24, 2, 29, 12, 0, 0};
    EXPECT_EQ(tikora_telegram_to_time(&feb29_leap), utc_time(2024, 2, 29, 12, 0, 0));
    const tikora_telegram_fields out_of_range = {26, 13, 1, 0, 0, 0};
    EXPECT_EQ(tikora_telegram_to_time(&out_of_range), -1);
}

TEST_F(TikoraTelegramZone, LeapSecondIsTheNextYearsFirstSecond)
{
    use_zone("UTC");
    const tikora_telegram_fields leap = {16, 12, 31, 23, 59, 60};
    EXPECT_EQ(tikora_telegram_to_time(&leap), utc_time(2017, 1, 1, 0, 0, 0));
}

} // namespace
