// Reading the telegram: line results, time-outs, validation and the requests
// sent after each way a cycle can fail.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "calendar/zone.h"
#include "link/rd_wr_rp.h"
#include "tests/support/fakes.h"
#include "timesvc/sync_cycle.h"

using namespace fakes;
using bytes = std::vector<unsigned char>;

static const char NO_TELEGRAM[] = "Nie mozna odczytac zegara Horolan w przewidywanym momencie.";
static const char UNEXPECTED[] = "Nieoczekiwany znak w trakcie odczytu informacji z zegara Horolan.";
static const char PARITY[] = "Blad parzystosci w trakcie odczytu informacji z zegara Horolan.";
static const char SYNC[] = "Blad synchronizacji w trakcie odczytu informacji z zegara Horolan.";
static const char READ_ERROR[] = "Blad w trakcie odczytu informacji z zegara Horolan.";
static const char CHECKSUM[] = "Blad sumy kontrolnej w trakcie odczytu informacji z zegara Horolan.";
static const char UNCERTAIN[] = "Odczytano niepewny czas z zegara Horolan.";

struct line_failure {
    int result;
    const char *text;
    long long elapsed_ms;         // how long the failing read took
    std::vector<unsigned> pauses; // waiting added after it
};

// Three bytes of a telegram arrive, then the line reports a failure: the
// cycle logs it with a fresh stamp and asks for the telegram again.
TEST(CycleRead, LineFailuresAreLoggedAndTheRequestIsSentAgain)
{
    const line_failure cases[] = {
        {SERIAL_UNEXPECTED_CHAR, UNEXPECTED, 5, {}},
        {SERIAL_PARITY_ERROR, PARITY, 5, {}},
        {SERIAL_SYNC_ERROR, SYNC, 5, {}},
        // a failed read call comes back at once: the line's time-out is waited out
        {SERIAL_READ_ERROR, READ_ERROR, 0, {20}},
        {SERIAL_READ_ERROR, READ_ERROR, 4500, {16}},
        {SERIAL_READ_ERROR, READ_ERROR, 20000, {}},
    };
    for (const line_failure &c : cases) {
        SCOPED_TRACE(c.text);
        FakeCycle f;
        f.feed_bytes({0xBB, 12, 0}, 3000);
        f.feed_result(c.result, c.elapsed_ms);

        synchronize_time(LINE_FD, 5);

        EXPECT_EQ(f.logged(), std::vector<std::string>{c.text});
        // the stamp is taken when the failure comes back
        const time_t failed_at = f.system_start + (3002 + c.elapsed_ms) / 1000;
        EXPECT_EQ(f.log_times(), std::vector<std::string>{wall_text(failed_at)});
        EXPECT_EQ(f.requests(), (bytes{0x78, 0x45}));
        EXPECT_EQ(f.pauses, c.pauses);
        EXPECT_EQ(f.request_bytes_at_pause, std::vector<int>(c.pauses.size(), 2))
            << "the request goes out before the wait";
        EXPECT_EQ(f.flushes, std::vector<int>{0});
        EXPECT_TRUE(f.slews.empty());
        EXPECT_TRUE(f.steps.empty());
    }
}

// The cycle gives up at time-out number 3 x interval + 1.
TEST(CycleRead, SilentReceiverIsGivenUpAfterThreeTimeOutsPerMinute)
{
    const struct {
        int interval;
        int reads;
        unsigned char request;
    } cases[] = {{1, 4, 0x41}, {2, 7, 0x42}, {60, 181, 0x7C}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.interval);
        FakeCycle f;

        synchronize_time(LINE_FD, c.interval);

        EXPECT_EQ(f.reads, c.reads);
        EXPECT_EQ(f.refreshes, c.reads) << "hour correction recomputed at every time-out";
        EXPECT_TRUE(f.pauses.empty()) << "real time-outs need no extra waiting";
        EXPECT_EQ(f.logged(), std::vector<std::string>{NO_TELEGRAM});
        EXPECT_EQ(f.requests(), (bytes{0x78, c.request}));
    }
}

TEST(CycleRead, TimeOutsCountAcrossRestartsOfTheTelegram)
{
    FakeCycle f;
    for (int round = 0; round < 4; ++round) {
        f.feed_result(SERIAL_TIMEOUT, READ_TIMEOUT_MS);
        f.feed_bytes({0xBB, 12, 0, 5});
    }
    f.feed_bytes(telegram(12, 0, 0)); // would be good, but comes too late

    synchronize_time(LINE_FD, 1);

    EXPECT_EQ(f.logged(), std::vector<std::string>{NO_TELEGRAM});
    EXPECT_EQ(f.requests(), (bytes{0x78, 0x41}));
}

// A time-out in the middle of a telegram drops what was read; the next byte
// is byte 0 again and the reading stamp is taken when it arrives. The hour
// correction is brought up to date at the time-out and at each first byte.
TEST(CycleRead, TelegramRestartsAtItsFirstByteAfterATimeOut)
{
    FakeCycle f;
    f.feed_bytes({0xBB, 11, 59, 0});
    f.feed_result(SERIAL_TIMEOUT, READ_TIMEOUT_MS);
    f.feed_bytes(telegram(12, 0, 27), 7000); // first byte 27 s after the cycle began

    synchronize_time(LINE_FD, 1);

    EXPECT_TRUE(f.logged().empty()) << "difference 0: nothing to log";
    EXPECT_TRUE(f.requests().empty());
    EXPECT_TRUE(f.slews.empty());
    EXPECT_TRUE(f.steps.empty());
    EXPECT_EQ(f.refreshes, 3);
}

struct damaged_telegram {
    const char *what;
    int offset;
    int value;
    bool fix_checksum;
    const char *text;
};

// Every rejection is logged with the stamp of the telegram's first byte and
// the request is sent again.
TEST(CycleRead, RejectedTelegramsAreLoggedWithTheReadingStamp)
{
    const damaged_telegram cases[] = {
        {"start byte 0xBA", 0, 0xBA, false, UNEXPECTED},
        {"status 0x00", 9, 0x00, false, UNEXPECTED},
        {"bad checksum", 8, -1, false, CHECKSUM},
        {"uncertain with a bad checksum", 9, 0xD2, false, CHECKSUM},
        {"hour 24", 1, 24, true, UNEXPECTED},
        {"minute 60", 2, 60, true, UNEXPECTED},
        {"second 61", 3, 61, true, UNEXPECTED},
    };
    for (const damaged_telegram &c : cases) {
        SCOPED_TRACE(c.what);
        FakeCycle f;
        bytes t = telegram(12, 0, 3);
        if (c.value < 0)
            t[8] = static_cast<unsigned char>((t[8] + 1) % 128);
        else
            t[static_cast<size_t>(c.offset)] = static_cast<unsigned char>(c.value);
        if (c.fix_checksum)
            t = with_checksum(t);
        if (c.value == 0xD2 && c.offset == 9)
            t[8] = static_cast<unsigned char>((t[8] + 1) % 128);
        // first byte after 3 s, the rest 1 s apart: a fresh stamp would be 12:00:12
        f.script.clear();
        for (size_t i = 0; i < t.size(); ++i)
            f.script.push_back({SERIAL_OK, t[i], i == 0 ? 3000 : 1000});

        synchronize_time(LINE_FD, 3);

        EXPECT_EQ(f.logged(), std::vector<std::string>{c.text});
        EXPECT_EQ(f.log_times(), std::vector<std::string>{wall_text(f.system_start + 3)});
        EXPECT_EQ(f.requests(), (bytes{0x78, 0x43}));
        EXPECT_TRUE(f.pauses.empty());
        EXPECT_TRUE(f.slews.empty());
        EXPECT_TRUE(f.steps.empty());
    }
}

TEST(CycleRead, UncertainTimeWaitsOneIntervalThenRequests)
{
    FakeCycle f;
    f.feed_bytes(telegram(12, 0, 0, 0xD2));

    synchronize_time(LINE_FD, 7);

    EXPECT_EQ(f.logged(), std::vector<std::string>{UNCERTAIN});
    EXPECT_EQ(f.pauses, std::vector<unsigned>{420});
    EXPECT_EQ(f.request_bytes_at_pause, std::vector<int>{0}) << "request only after the wait";
    EXPECT_EQ(f.requests(), (bytes{0x78, 0x47}));
    EXPECT_TRUE(f.slews.empty());
    EXPECT_TRUE(f.steps.empty());
}
