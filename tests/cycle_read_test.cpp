// Reading the telegram: line results, time-outs, validation and the requests
// sent after each way a cycle can fail.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "link/rd_wr_rp.h"
#include "tests/cycle_fake.h"
#include "timesvc/sync_cycle.h"

using namespace cycle_fake;
using bytes = std::vector<unsigned char>;

static const char NO_TELEGRAM[] = "Nie mozna odczytac zegara Horolan w przewidywanym momencie.";
static const char UNEXPECTED[] = "Nieoczekiwany znak w trakcie odczytu informacji z zegara Horolan.";
static const char PARITY[] = "Blad parzystosci w trakcie odczytu informacji z zegara Horolan.";
static const char SYNC[] = "Blad synchronizacji w trakcie odczytu informacji z zegara Horolan.";
static const char READ_ERROR[] = "Blad w trakcie odczytu informacji z zegara Horolan.";
static const char CHECKSUM[] = "Blad sumy kontrolnej w trakcie odczytu informacji z zegara Horolan.";
static const char UNCERTAIN[] = "Odczytano niepewny czas z zegara Horolan.";

class CycleRead : public CycleTest {};

struct line_failure {
    int result;
    const char *text;
    long long elapsed_ms;         // how long the failing read took
    std::vector<unsigned> pauses; // waiting added after it
};

// Three bytes of a telegram arrive, then the line reports a failure: the
// cycle logs it with a fresh stamp and asks for the telegram again.
TEST_F(CycleRead, LineFailuresAreLoggedAndTheRequestIsSentAgain)
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
        TearDown();
        SetUp();
        feed_bytes({0xBB, 12, 0}, 3000);
        feed_result(c.result, c.elapsed_ms);

        synchronize_time(line, 5);

        EXPECT_EQ(logged(), std::vector<std::string>{c.text});
        RWTime failed_at = fake().base; // the stamp is taken when the failure comes back
        failed_at += static_cast<long>((3002 + c.elapsed_ms) / 1000);
        EXPECT_EQ(log_times(), std::vector<std::string>{stamp_text(failed_at)});
        EXPECT_EQ(requests(), (bytes{0x78, 0x45}));
        EXPECT_EQ(fake().pauses, c.pauses);
        EXPECT_EQ(fake().request_bytes_at_pause, std::vector<int>(c.pauses.size(), 2))
            << "the request goes out before the wait";
        EXPECT_EQ(fake().flushes, std::vector<int>{0});
        EXPECT_TRUE(fake().slews.empty());
        EXPECT_TRUE(fake().steps.empty());
    }
}

// The cycle gives up at time-out number 3 x interval + 1.
TEST_F(CycleRead, SilentReceiverIsGivenUpAfterThreeTimeOutsPerMinute)
{
    const struct {
        int interval;
        int reads;
        unsigned char request;
    } cases[] = {{1, 4, 0x41}, {2, 7, 0x42}, {60, 181, 0x7C}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.interval);
        TearDown();
        SetUp();

        synchronize_time(line, c.interval);

        EXPECT_EQ(fake().reads, c.reads);
        EXPECT_EQ(fake().refreshes, c.reads) << "hour correction recomputed at every time-out";
        EXPECT_TRUE(fake().pauses.empty()) << "real time-outs need no extra waiting";
        EXPECT_EQ(logged(), std::vector<std::string>{NO_TELEGRAM});
        EXPECT_EQ(requests(), (bytes{0x78, c.request}));
    }
}

TEST_F(CycleRead, TimeOutsCountAcrossRestartsOfTheTelegram)
{
    for (int round = 0; round < 4; ++round) {
        feed_result(SERIAL_TIMEOUT, READ_TIMEOUT_MS);
        feed_bytes({0xBB, 12, 0, 5});
    }
    feed_bytes(telegram(12, 0, 0)); // would be good, but comes too late

    synchronize_time(line, 1);

    EXPECT_EQ(logged(), std::vector<std::string>{NO_TELEGRAM});
    EXPECT_EQ(requests(), (bytes{0x78, 0x41}));
}

// A time-out in the middle of a telegram drops what was read; the next byte
// is byte 0 again and the reading stamp is taken when it arrives.
TEST_F(CycleRead, TelegramRestartsAtItsFirstByteAfterATimeOut)
{
    feed_bytes({0xBB, 11, 59, 0});
    feed_result(SERIAL_TIMEOUT, READ_TIMEOUT_MS);
    feed_bytes(telegram(12, 0, 27), 7000); // first byte 27 s after the cycle began

    synchronize_time(line, 1);

    EXPECT_TRUE(logged().empty()) << "difference 0: nothing to log";
    EXPECT_TRUE(requests().empty());
    EXPECT_TRUE(fake().slews.empty());
    EXPECT_TRUE(fake().steps.empty());
    EXPECT_EQ(fake().refreshes, 1);
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
TEST_F(CycleRead, RejectedTelegramsAreLoggedWithTheReadingStamp)
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
        TearDown();
        SetUp();
        bytes t = telegram(12, 0, 3);
        if (c.value < 0)
            t[8] = static_cast<unsigned char>((t[8] + 1) % 128);
        else
            t[static_cast<size_t>(c.offset)] = static_cast<unsigned char>(c.value);
        if (c.fix_checksum)
            t = telegram(t[1], t[2], t[3]);
        if (c.value == 0xD2 && c.offset == 9)
            t[8] = static_cast<unsigned char>((t[8] + 1) % 128);
        // first byte after 3 s, the rest 1 s apart: a fresh stamp would be 12:00:12
        fake().script.clear();
        for (size_t i = 0; i < t.size(); ++i)
            fake().script.push_back({SERIAL_OK, t[i], i == 0 ? 3000 : 1000});

        synchronize_time(line, 3);

        EXPECT_EQ(logged(), std::vector<std::string>{c.text});
        EXPECT_EQ(log_times(), std::vector<std::string>{stamp_text(today_at(12, 0, 3))});
        EXPECT_EQ(requests(), (bytes{0x78, 0x43}));
        EXPECT_TRUE(fake().pauses.empty());
        EXPECT_TRUE(fake().slews.empty());
        EXPECT_TRUE(fake().steps.empty());
    }
}

TEST_F(CycleRead, UncertainTimeWaitsOneIntervalThenRequests)
{
    feed_bytes(telegram(12, 0, 0, 0xD2));

    synchronize_time(line, 7);

    EXPECT_EQ(logged(), std::vector<std::string>{UNCERTAIN});
    EXPECT_EQ(fake().pauses, std::vector<unsigned>{420});
    EXPECT_EQ(fake().request_bytes_at_pause, std::vector<int>{0}) << "request only after the wait";
    EXPECT_EQ(requests(), (bytes{0x78, 0x47}));
    EXPECT_TRUE(fake().slews.empty());
    EXPECT_TRUE(fake().steps.empty());
}

// A hung-up line answers every read at once with no byte. Each such empty
// read is stretched to the line's 20 s, so the cycle lasts as long as with a
// silent receiver and logs once.
TEST_F(CycleRead, DeadLineWaitsOutEachReadTimeOut)
{
    const struct {
        long long elapsed_ms;
        unsigned pause;
    } cases[] = {{0, 20}, {500, 20}, {999, 20}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.elapsed_ms);
        TearDown();
        SetUp();
        for (int i = 0; i < 10; ++i)
            feed_result(SERIAL_TIMEOUT, c.elapsed_ms);

        synchronize_time(line, 1);

        EXPECT_EQ(fake().reads, 4);
        EXPECT_EQ(fake().pauses, std::vector<unsigned>(4, c.pause));
        EXPECT_GE(fake().now_ms, 4 * READ_TIMEOUT_MS);
        EXPECT_EQ(logged(), std::vector<std::string>{NO_TELEGRAM});
        EXPECT_EQ(requests(), (bytes{0x78, 0x41}));
    }
}
