// The line under the cycle: its settings put back every cycle, a dead line
// closed and opened again by its name, and a receiver that streams garbage
// slowed down to a few log lines a minute.

#include <fcntl.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "link/rd_wr_rp.h"
#include "tests/support/fakes.h"
#include "timesvc/line_watch.h"
#include "timesvc/sync_cycle.h"

using namespace fakes;
using bytes = std::vector<unsigned char>;
using texts = std::vector<std::string>;

static const char LOST[] = "Utracono polaczenie z zegarem Horolan.";
static const char BACK[] = "Przywrocono polaczenie z zegarem Horolan.";
static const char READ_ERROR[] = "Blad w trakcie odczytu informacji z zegara Horolan.";
static const char UNEXPECTED[] = "Nieoczekiwany znak w trakcie odczytu informacji z zegara Horolan.";
static const char PARITY[] = "Blad parzystosci w trakcie odczytu informacji z zegara Horolan.";
static const char CHECKSUM[] = "Blad sumy kontrolnej w trakcie odczytu informacji z zegara Horolan.";

// A hung-up line answers every read at once, empty or failing. Each such read
// is stretched to the line's 20 s; once that has lasted a whole time-out, the
// line is closed and opened again by its name every 20 s until it is back.
TEST(CycleLine, DeadLineIsClosedAndOpenedAgainByItsName)
{
    const struct {
        const char *what;
        int result;           // what every read answers
        long long elapsed_ms; // how long it takes
        std::vector<int> opens;
        int cycles;
        texts log;
        std::vector<unsigned> pauses;
    } cases[] = {
        {"empty reads at once", SERIAL_TIMEOUT, 0, {}, 1, {LOST, BACK}, {20, 20}},
        {"empty reads within a second", SERIAL_TIMEOUT, 999, {}, 1, {LOST, BACK}, {20, 20}},
        {"failing reads", SERIAL_READ_ERROR, 0, {}, 2, {READ_ERROR, LOST, BACK}, {20, 20}},
        {"adapter back on the third try", SERIAL_TIMEOUT, 0, {-1, -1}, 1, {LOST, BACK}, {20, 20, 20, 20}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        FakeCycle f;
        for (int i = 0; i < 4; ++i)
            f.feed_result(c.result, c.elapsed_ms);
        f.open_results = c.opens;
        f.open_results.push_back(LINE_FD + 1);

        for (int i = 0; i < c.cycles; ++i)
            synchronize_time(watched_line(), 1);

        EXPECT_EQ(f.logged(), c.log);
        EXPECT_EQ(f.pauses, c.pauses);
        EXPECT_EQ(f.reads, 2);
        EXPECT_EQ(f.closed, std::vector<int>{LINE_FD});
        EXPECT_EQ(f.opened_path, "/dev/term/a");
        EXPECT_EQ(f.opened_flags, O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_EQ(watched_line(), LINE_FD + 1) << "the cycles go on on the new descriptor";
        const bytes request = {0x78, 0x41};
        EXPECT_EQ(f.requests(), c.cycles == 1 ? request : (bytes{0x78, 0x41, 0x78, 0x41}));
    }
}

// A line that opens again but cannot be configured is closed and tried later.
TEST(CycleLine, ReopenedLineMustTakeItsSettings)
{
    FakeCycle f;
    f.feed_result(SERIAL_TIMEOUT, 0);
    f.feed_result(SERIAL_TIMEOUT, 0);
    f.configure_results = {0, -1}; // the cycle's settings, then the first line opened again
    f.open_results = {LINE_FD + 1, LINE_FD + 2};

    synchronize_time(LINE_FD, 1);

    EXPECT_EQ(f.closed, (std::vector<int>{LINE_FD, LINE_FD + 1}));
    EXPECT_EQ(watched_line(), LINE_FD + 2);
    EXPECT_EQ(f.logged(), (texts{LOST, BACK}));
}

// Another program (a tool run by root on the same port) may have changed the
// line since the last cycle: the settings are put back before every cycle,
// and a line that no longer takes them is treated as a dead one.
TEST(CycleLine, SettingsArePutBackBeforeEveryCycle)
{
    FakeCycle f;
    f.feed_bytes(telegram(12, 0, 0));
    f.configure_results = {0, -1, -1};

    synchronize_time(LINE_FD, 1);
    EXPECT_EQ(f.configures, 1);
    EXPECT_EQ(f.reads, 10);

    synchronize_time(LINE_FD, 1);
    EXPECT_EQ(f.reads, 10) << "no read on a line without its settings";
    EXPECT_EQ(f.pauses, std::vector<unsigned>{20});
    EXPECT_TRUE(f.logged().empty());

    synchronize_time(LINE_FD, 1);
    EXPECT_EQ(f.logged(), (texts{LOST, BACK}));
}

// A receiver that streams garbage fails every cycle at once: each such
// failure waits out the rest of the line's time-out, three lines a minute.
TEST(CycleLine, FailuresWithinASecondWaitOutTheTimeOut)
{
    const struct {
        const char *what;
        bytes line;
        int result;
        const char *text;
    } cases[] = {
        {"0x55 streamed", bytes(10, 0x55), SERIAL_OK, UNEXPECTED},
        {"bad checksum at once", {0xBB, 12, 0, 0, 26, 12, 7, 1, 0, 0xC5}, SERIAL_OK, CHECKSUM},
        {"parity errors", {}, SERIAL_PARITY_ERROR, PARITY},
        {"unexpected marks", {}, SERIAL_UNEXPECTED_CHAR, UNEXPECTED},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        FakeCycle f;
        f.feed_bytes(c.line, 1);
        if (c.result != SERIAL_OK)
            f.feed_result(c.result, 1);

        synchronize_time(LINE_FD, 5);

        EXPECT_EQ(f.logged(), texts{c.text});
        EXPECT_EQ(f.requests(), (bytes{0x78, 0x45}));
        EXPECT_EQ(f.pauses, std::vector<unsigned>{20});
        EXPECT_EQ(f.request_bytes_at_pause, std::vector<int>{2}) << "the request goes out before the wait";
    }
}

// Whatever the line does without end, the cycle blocks between its turns (a
// read's time-out or a pause): under a real-time policy a loop that did not
// would stall its processor. Ten minutes of a failing line take a few cycles
// a minute and cost the fake clock, which only blocking calls move, its time.
TEST(CycleLine, NoFailingLineMakesTheCycleSpin)
{
    const struct {
        const char *what;
        read_step step; // what every read does
        bool unconfigurable;
    } cases[] = {
        {"reads fail at once", {SERIAL_READ_ERROR, 0, 0}, false},
        {"reads empty at once", {SERIAL_TIMEOUT, 0, 0}, false},
        {"garbage at the line's speed", {SERIAL_OK, 0x55, 1}, false},
        {"parity marks at once", {SERIAL_PARITY_ERROR, 0x41, 0}, false},
        {"breaks at once", {SERIAL_SYNC_ERROR, 0, 0}, false},
        {"settings refused every cycle", {SERIAL_OK, 0x55, 1}, true},
    };
    constexpr long long TEN_MINUTES_MS = 600000;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        FakeCycle f;
        f.script.assign(100000, c.step);
        if (c.unconfigurable)
            f.configure_results.assign(1000, -1);
        int cycles = 0;
        while (f.now_ms < TEN_MINUTES_MS && cycles < 1000) {
            synchronize_time(watched_line(), 1);
            ++cycles;
        }
        EXPECT_GE(f.now_ms, TEN_MINUTES_MS) << "after " << cycles << " cycles";
        EXPECT_LE(cycles, 31) << "three cycles a minute at most";
        EXPECT_LE(f.log.size(), 50u) << "a few log lines a minute";
    }
}
