// Correcting the system clock from a good telegram: slew or step, the value
// given to the clock, the fold near midnight, and what is logged.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "calendar/zone.h"
#include "tests/support/fakes.h"
#include "timesvc/clock_diff.h"
#include "timesvc/sync_cycle.h"
#include "timesvc/tm_srvce.h"

using namespace fakes;

static const char CLOCK_NOT_SET[] = "Nie mozna ustawic zegara systemowego.";
static const long UNIX_EPOCH = 2177452800L; // the library's count for 1970-01-01 00:00:00 UTC

static std::string success_line(long difference)
{
    return "Nastapila synchronizacja zegara systemowego. Przesuniecie o  " + std::to_string(difference) +
           " s.";
}

TEST(CycleDifference, FoldsBeyondHalfADay)
{
    const struct {
        long raw, folded;
    } cases[] = {
        {0, 0},          {43200, 43200}, {-43200, -43200}, {43201, -43199},
        {-43201, 43199}, {86397, -3},    {-86397, 3},      {-86393, 7},
    };
    for (const auto &c : cases)
        EXPECT_EQ(fold_day_difference(c.raw), c.folded) << c.raw;
}

// A good telegram for the service clock plus `difference`, first byte
// arriving 2 s into the cycle.
static void feed_offset_telegram(FakeCycle &f, long difference)
{
    RWTime at = f.base;
    at += 2 + difference;
    struct tm fields = {};
    at.extract(&fields, RWZone::local());
    f.feed_bytes(telegram(static_cast<unsigned>(fields.tm_hour), static_cast<unsigned>(fields.tm_min),
                          static_cast<unsigned>(fields.tm_sec)),
                 2000);
}

TEST(CycleClock, SmallDifferencesAreSlewed)
{
    for (long d : {5L, -5L, 1L, -3L}) {
        SCOPED_TRACE(d);
        FakeCycle f;
        feed_offset_telegram(f, d);

        synchronize_time(LINE_FD, 60);

        ASSERT_EQ(f.slews.size(), 1u);
        EXPECT_EQ(f.slews[0].seconds, d);
        EXPECT_EQ(f.slews[0].microseconds, 0);
        EXPECT_FALSE(f.slews[0].old_delta_asked);
        EXPECT_TRUE(f.steps.empty());
        EXPECT_EQ(f.logged(), std::vector<std::string>{success_line(d)});
        EXPECT_EQ(f.log_times(), std::vector<std::string>{stamp_text(today_at(12, 0, 2))});
        EXPECT_TRUE(f.requests().empty()) << "the receiver goes on sending by itself";
    }
}

// The step sets the true time: the telegram's library time as Unix time with
// the hour correction taken back out; the log shows the difference.
TEST(CycleClock, LargerDifferencesAreSteppedWithoutTheHourCorrection)
{
    for (long d : {6L, -6L, 3600L, -7200L}) {
        for (int correction : {-1, 0, 1}) {
            SCOPED_TRACE(std::to_string(d) + " s, correction " + std::to_string(correction));
            FakeCycle f;
            DST_correction = correction;
            feed_offset_telegram(f, d);

            synchronize_time(LINE_FD, 60);

            const long telegram_seconds = static_cast<long>(today_at(12, 0, 2).seconds()) + d;
            ASSERT_EQ(f.steps.size(), 1u);
            EXPECT_EQ(f.steps[0], telegram_seconds - UNIX_EPOCH - correction * 3600L);
            EXPECT_TRUE(f.slews.empty());
            EXPECT_EQ(f.logged(), std::vector<std::string>{success_line(d)});
            EXPECT_TRUE(f.requests().empty());
        }
    }
}

TEST(CycleClock, NoDifferenceIsSilent)
{
    FakeCycle f;
    feed_offset_telegram(f, 0);

    synchronize_time(LINE_FD, 60);

    EXPECT_TRUE(f.slews.empty());
    EXPECT_TRUE(f.steps.empty());
    EXPECT_TRUE(f.logged().empty());
    EXPECT_TRUE(f.requests().empty());
}

TEST(CycleClock, RefusedCorrectionIsLoggedAndNotRequestedAgain)
{
    for (long d : {4L, 40L}) {
        SCOPED_TRACE(d);
        FakeCycle f;
        f.clock_result = -1;
        feed_offset_telegram(f, d);

        synchronize_time(LINE_FD, 60);

        EXPECT_EQ(f.slews.size() + f.steps.size(), 1u);
        EXPECT_EQ(f.logged(), std::vector<std::string>{CLOCK_NOT_SET});
        EXPECT_EQ(f.log_times(), std::vector<std::string>{stamp_text(today_at(12, 0, 2))});
        EXPECT_TRUE(f.requests().empty());
    }
}

// Near midnight the receiver's time of day belongs to the neighbouring day.
TEST(CycleClock, TelegramFromTheOtherSideOfMidnightIsFolded)
{
    FakeCycle f;
    // 23:59:58 from the receiver while the system already reads 00:00:01
    f.base = today_at(0, 0, 1);
    f.feed_bytes(telegram(23, 59, 58));

    synchronize_time(LINE_FD, 60);

    ASSERT_EQ(f.slews.size(), 1u);
    EXPECT_EQ(f.slews[0].seconds, -3);
    EXPECT_TRUE(f.steps.empty());
    EXPECT_EQ(f.logged(), std::vector<std::string>{success_line(-3)});
}

TEST(CycleClock, StepAcrossMidnightSetsTheTrueTime)
{
    for (int correction : {-1, 0, 1}) {
        SCOPED_TRACE(correction);
        FakeCycle f;
        DST_correction = correction;
        // the system still reads 23:59:50, the receiver is past midnight
        f.base = today_at(23, 59, 50);
        f.feed_bytes(telegram(0, 0, 2));

        synchronize_time(LINE_FD, 60);

        ASSERT_EQ(f.steps.size(), 1u);
        const long reading = static_cast<long>(today_at(23, 59, 50).seconds());
        EXPECT_EQ(f.steps[0], reading + 12 - UNIX_EPOCH - correction * 3600L);
        EXPECT_EQ(f.logged(), std::vector<std::string>{success_line(12)});
    }
}

// The library's count wraps on 6 February 2037 06:28:16 UTC; a telegram read
// across the wrap and after it is still corrected by its true difference,
// and a step sets the true, 64-bit time.
TEST(CycleClock, DifferenceAndStepHoldAcrossThe2037Wrap)
{
    const time_t last_count_unix = static_cast<time_t>(UINT32_MAX) - UNIX_EPOCH; // 06:28:15 UTC
    for (long d : {-3L, 10L}) {
        for (long long first_byte_ms : {8000LL, 3600000LL}) { // across the wrap, an hour after it
            SCOPED_TRACE(std::to_string(d) + " s, byte 0 after " + std::to_string(first_byte_ms) + " ms");
            FakeCycle f;
            f.base = RWTime(UINT32_MAX - 9u); // 06:28:06 UTC
            const time_t arrival = last_count_unix - 9 + first_byte_ms / 1000;
            const time_t receiver = arrival + d;
            // In early February the library's daylight rule and the system's agree.
            struct tm fields = {};
            localtime_r(&receiver, &fields);
            f.feed_bytes(telegram(static_cast<unsigned>(fields.tm_hour), static_cast<unsigned>(fields.tm_min),
                                  static_cast<unsigned>(fields.tm_sec)),
                         first_byte_ms);

            synchronize_time(LINE_FD, 60);

            EXPECT_EQ(f.logged(), std::vector<std::string>{success_line(d)});
            if (d == -3) {
                ASSERT_EQ(f.slews.size(), 1u);
                EXPECT_EQ(f.slews[0].seconds, -3);
            } else {
                ASSERT_EQ(f.steps.size(), 1u);
                EXPECT_EQ(f.steps[0], receiver);
            }
        }
    }
}
