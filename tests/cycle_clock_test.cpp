// Correcting the system clock from a good telegram: slew or step, the value
// given to the clock, the fold near midnight, and what is logged.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/cycle_fake.h"
#include "timesvc/clock_diff.h"
#include "timesvc/sync_cycle.h"

using namespace cycle_fake;

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

class CycleClock : public CycleTest {
protected:
    // A good telegram for the service clock plus `difference`, first byte
    // arriving 2 s into the cycle.
    void feed_offset_telegram(long difference)
    {
        RWTime at = fake().base;
        at += 2 + difference;
        struct tm f = {};
        at.extract(&f, RWZone::local());
        feed_bytes(telegram(static_cast<unsigned>(f.tm_hour), static_cast<unsigned>(f.tm_min),
                            static_cast<unsigned>(f.tm_sec)),
                   2000);
    }
};

TEST_F(CycleClock, SmallDifferencesAreSlewed)
{
    for (long d : {5L, -5L, 1L, -3L}) {
        SCOPED_TRACE(d);
        TearDown();
        SetUp();
        feed_offset_telegram(d);

        synchronize_time(line, 60);

        ASSERT_EQ(fake().slews.size(), 1u);
        EXPECT_EQ(fake().slews[0].seconds, d);
        EXPECT_EQ(fake().slews[0].microseconds, 0);
        EXPECT_FALSE(fake().slews[0].old_delta_asked);
        EXPECT_TRUE(fake().steps.empty());
        EXPECT_EQ(logged(), std::vector<std::string>{success_line(d)});
        EXPECT_EQ(log_times(), std::vector<std::string>{stamp_text(today_at(12, 0, 2))});
        EXPECT_TRUE(requests().empty()) << "the receiver goes on sending by itself";
    }
}

// The step sets the true time: the telegram's library time as Unix time with
// the hour correction taken back out; the log shows the difference.
TEST_F(CycleClock, LargerDifferencesAreSteppedWithoutTheHourCorrection)
{
    for (long d : {6L, -6L, 3600L, -7200L}) {
        for (int correction : {-1, 0, 1}) {
            SCOPED_TRACE(std::to_string(d) + " s, correction " + std::to_string(correction));
            TearDown();
            SetUp();
            DST_correction = correction;
            feed_offset_telegram(d);

            synchronize_time(line, 60);

            const long telegram_seconds = static_cast<long>(today_at(12, 0, 2).seconds()) + d;
            ASSERT_EQ(fake().steps.size(), 1u);
            EXPECT_EQ(fake().steps[0], telegram_seconds - UNIX_EPOCH - correction * 3600L);
            EXPECT_TRUE(fake().slews.empty());
            EXPECT_EQ(logged(), std::vector<std::string>{success_line(d)});
            EXPECT_TRUE(requests().empty());
        }
    }
}

TEST_F(CycleClock, NoDifferenceIsSilent)
{
    feed_offset_telegram(0);

    synchronize_time(line, 60);

    EXPECT_TRUE(fake().slews.empty());
    EXPECT_TRUE(fake().steps.empty());
    EXPECT_TRUE(logged().empty());
    EXPECT_TRUE(requests().empty());
}

TEST_F(CycleClock, RefusedCorrectionIsLoggedAndNotRequestedAgain)
{
    for (long d : {4L, 40L}) {
        SCOPED_TRACE(d);
        TearDown();
        SetUp();
        fake().clock_result = -1;
        feed_offset_telegram(d);

        synchronize_time(line, 60);

        EXPECT_EQ(fake().slews.size() + fake().steps.size(), 1u);
        EXPECT_EQ(logged(), std::vector<std::string>{CLOCK_NOT_SET});
        EXPECT_EQ(log_times(), std::vector<std::string>{stamp_text(today_at(12, 0, 2))});
        EXPECT_TRUE(requests().empty());
    }
}

// Near midnight the receiver's time of day belongs to the neighbouring day.
TEST_F(CycleClock, TelegramFromTheOtherSideOfMidnightIsFolded)
{
    // 23:59:58 from the receiver while the system already reads 00:00:01
    fake().base = today_at(0, 0, 1);
    feed_bytes(telegram(23, 59, 58));

    synchronize_time(line, 60);

    ASSERT_EQ(fake().slews.size(), 1u);
    EXPECT_EQ(fake().slews[0].seconds, -3);
    EXPECT_TRUE(fake().steps.empty());
    EXPECT_EQ(logged(), std::vector<std::string>{success_line(-3)});
}

TEST_F(CycleClock, StepAcrossMidnightSetsTheTrueTime)
{
    for (int correction : {-1, 0, 1}) {
        SCOPED_TRACE(correction);
        TearDown();
        SetUp();
        DST_correction = correction;
        // the system still reads 23:59:50, the receiver is past midnight
        fake().base = today_at(23, 59, 50);
        feed_bytes(telegram(0, 0, 2));

        synchronize_time(line, 60);

        ASSERT_EQ(fake().steps.size(), 1u);
        const long reading = static_cast<long>(today_at(23, 59, 50).seconds());
        EXPECT_EQ(fake().steps[0], reading + 12 - UNIX_EPOCH - correction * 3600L);
        EXPECT_EQ(logged(), std::vector<std::string>{success_line(12)});
    }
}
