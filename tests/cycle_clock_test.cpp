// Correcting the system clock from a good telegram: slew or step, the value
// given to the clock, telegrams from days away, and what is logged.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "calendar/zone.h"
#include "service/status_query.h"
#include "tests/support/fakes.h"
#include "timesvc/sync_cycle.h"
#include "timesvc/tm_srvce.h"

using namespace fakes;

static const char CLOCK_NOT_SET[] = "Nie mozna ustawic zegara systemowego.";
static const time_t UNIX_EPOCH = 2177452800L; // the library's count for 1970-01-01 00:00:00 UTC

static std::string success_line(long difference)
{
    return "Nastapila synchronizacja zegara systemowego. Przesuniecie o  " + std::to_string(difference) +
           " s.";
}

// A good telegram for the system clock plus `difference`, first byte
// arriving 2 s into the cycle.
static void feed_offset_telegram(FakeCycle &f, long difference)
{
    f.feed_bytes(telegram_at(f.system_start + 2 + difference), 2000);
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
        EXPECT_EQ(f.log_times(), std::vector<std::string>{wall_text(f.system_start + 2)});
        EXPECT_TRUE(f.requests().empty()) << "the receiver goes on sending by itself";
    }
}

// The step sets the instant the telegram's date and time name, also for a
// clock days off (started at its last shutdown); the log shows the
// difference, and the state tells the times noted in the clock's new time.
TEST(CycleClock, LargerDifferencesAreStepped)
{
    for (long d : {6L, -6L, 3600L, -7200L, 259200L}) {
        SCOPED_TRACE(std::to_string(d) + " s");
        FakeCycle f;
        state_begin("clock", "", "/dev/term/a", 1, f.system_start);
        start_publishing_state();
        feed_offset_telegram(f, d);

        synchronize_time(LINE_FD, 60);

        ASSERT_EQ(f.steps.size(), 1u);
        EXPECT_EQ(f.steps[0], f.system_start + 2 + d);
        EXPECT_TRUE(f.slews.empty());
        EXPECT_EQ(f.logged(), std::vector<std::string>{success_line(d)});
        EXPECT_TRUE(f.requests().empty());
        service_state s = {};
        ASSERT_EQ(parse_state_file(f.states.back().c_str(), &s), 0);
        EXPECT_EQ(s.start_time, f.system_start + d);
        EXPECT_EQ(s.last_sync_time, f.system_start + 2 + d);
        EXPECT_EQ(status_exit_code(s, f.system_start + 2 + d), QUERY_SYNCHRONISED);
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
        EXPECT_EQ(f.log_times(), std::vector<std::string>{wall_text(f.system_start + 2)});
        EXPECT_TRUE(f.requests().empty());
    }
}

// The correction refreshed when byte 0 arrives makes the stamp, whatever the
// difference: the log shows the system's wall clock.
TEST(CycleClock, StampTakesTheCorrectionOfTheFirstByte)
{
    FakeCycle f;
    f.corrections = {-1800};
    feed_offset_telegram(f, 7);

    synchronize_time(LINE_FD, 60);

    EXPECT_EQ(f.refreshes, 1);
    EXPECT_EQ(f.steps, std::vector<time_t>{f.system_start + 9});
    ASSERT_EQ(f.log.size(), 1u);
    EXPECT_EQ(f.log[0].stamp.seconds(), static_cast<std::uint32_t>(f.system_start + 2) + rwEpoch - 1800u);
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
            f.system_start = last_count_unix - 9; // 06:28:06 UTC
            const time_t arrival = last_count_unix - 9 + first_byte_ms / 1000;
            const time_t receiver = arrival + d;
            f.feed_bytes(telegram_at(receiver), first_byte_ms);

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
