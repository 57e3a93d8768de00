// With /N the cycle hands each valid telegram to the NTP daemon as a sample,
// stamped to the nanosecond, and never touches the clock.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "calendar/zone.h"
#include "link/rd_wr_rp.h"
#include "tests/support/child.h"
#include "tests/support/fakes.h"
#include "timesvc/ntp_feed.h"
#include "timesvc/sync_cycle.h"
#include "timesvc/tm_srvce.h"

using namespace fakes;
using texts = std::vector<std::string>;

static const char NOT_DELIVERED[] = "Nie mozna przekazac probki czasu serwerowi NTP.";
static const char AMBIGUOUS[] = "Niejednoznaczny czas z zegara Horolan. Probka pominieta.";
static const ntp_target SOCK = {NTP_TARGET_SOCK, 0, "/run/chrony.dcf.sock"};

static std::string delivered_line(const char *offset)
{
    return std::string("Przekazano probke czasu serwerowi NTP. Przesuniecie o ") + offset + " s.";
}

// A telegram for the system's wall clock `seconds_after` the start of the
// fake clock, first byte `first_ms` into the cycle.
static void feed_telegram_at(FakeCycle &f, long seconds_after, long long first_ms)
{
    f.feed_bytes(telegram_at(f.system_start + seconds_after), first_ms);
}

// The sample's offset is D + one character time - the fraction of the second
// at which byte 0 was read; the arrival is that reading itself, and D is the
// step's, also across midnight and days. The stamps' correction plays no part.
TEST(CycleNtp, ValidTelegramsBecomeSamplesInsteadOfClockCalls)
{
    const struct {
        const char *what;
        int correction;
        int base_hour, base_minute, base_second;
        long receiver_ahead; // seconds, the true D
        long extra_ns;       // the reading's fraction beyond whole milliseconds
        double offset;
    } cases[] = {
        {"in step, read 0.25 s late", 0, 12, 0, 0, 0, 0, 0.000572917 - 0.250},
        {"7 s ahead, read 3 us late", 0, 12, 0, 0, 7, 3000, 7.000572917 - 0.250003},
        {"system summer, library winter", 3600, 12, 0, 0, -2, 0, -2.000 + 0.000572917 - 0.250},
        {"library summer, system winter", -3600, 12, 0, 0, 3, 0, 3.000572917 - 0.250},
        {"receiver past midnight", 0, 23, 59, 57, 5, 0, 5.000572917 - 0.250},
        {"system clock 3 days behind", 0, 12, 0, 0, 259200, 0, 259200.000572917 - 0.250},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        FakeCycle f;
        start_ntp_feed(&SOCK);
        f.corrections = {c.correction};
        f.system_start = today_at(c.base_hour, c.base_minute, c.base_second);
        f.extra_ns = c.extra_ns;
        feed_telegram_at(f, 2 + c.receiver_ahead, 2250); // byte 0 read 2.25 s into the cycle

        synchronize_time(LINE_FD, 1);

        ASSERT_EQ(f.samples.size(), 1u);
        EXPECT_NEAR(f.samples[0].offset, c.offset, 1e-9);
        EXPECT_EQ(f.samples[0].arrival.tv_nsec, 250000000L + c.extra_ns);
        EXPECT_EQ(f.samples[0].instant.tv_sec, f.samples[0].arrival.tv_sec + c.receiver_ahead);
        EXPECT_TRUE(f.slews.empty());
        EXPECT_TRUE(f.steps.empty());
        EXPECT_TRUE(f.requests().empty()) << "the receiver goes on sending by itself";
        char offset[32];
        snprintf(offset, sizeof offset, "%+.3f", c.offset);
        EXPECT_EQ(f.logged(), texts{delivered_line(offset)}) << "the first sample after the start is logged";
    }
}

// Bytes held back and then read together (a UART's FIFO, a busy kernel
// worker) place byte 0 by the last of them, as early as the line's pace
// allows; bytes read at a slower pace than the line's place it no earlier.
TEST(CycleNtp, BytesReadTogetherPlaceByteZeroByTheLastOfThem)
{
    FakeCycle f;
    start_ntp_feed(&SOCK);
    const std::vector<unsigned char> bytes = telegram_at(f.system_start + 2);
    for (size_t k = 0; k < bytes.size(); ++k) // 0..6 at once, 2.25 s in; the rest 1 ms apart
        f.script.push_back({SERIAL_OK, bytes[k], k == 0 ? 2250 : (k < 7 ? 0 : BYTE_MS)});

    synchronize_time(LINE_FD, 1);

    ASSERT_EQ(f.samples.size(), 1u);
    const long placed = 250000000L - 6 * NTP_CHAR_TIME_NS;
    EXPECT_EQ(f.samples[0].arrival.tv_nsec, placed);
    EXPECT_NEAR(f.samples[0].offset, static_cast<double>(NTP_CHAR_TIME_NS - placed) / 1e9, 1e-9);
}

// dcf.log stays short: the first sample delivered after the start and after a
// failure of any kind, every sample 0.5 s or more off, one line per run of them.
TEST(CycleNtp, LogTellsTheFirstSampleFailuresOnceAndLargeOffsets)
{
    FakeCycle f;
    start_ntp_feed(&SOCK);
    f.deliver_results = {0, 0, -1, -1, 0, 0, 0};
    constexpr long SILENT = -1; // the receiver sends nothing
    for (long ahead : {0L, 0L, 0L, 0L, 0L, 1L, 0L, SILENT, 0L}) {
        // byte 0 on the next whole second
        if (ahead != SILENT)
            feed_telegram_at(f, static_cast<long>(f.now_ms / 1000) + 1 + ahead, 1000 - f.now_ms % 1000);
        synchronize_time(LINE_FD, 1);
    }

    ASSERT_EQ(f.samples.size(), 8u);
    EXPECT_EQ(
        f.logged(),
        (texts{delivered_line("+0.001"), NOT_DELIVERED, delivered_line("+0.001"), delivered_line("+1.001"),
               "Nie mozna odczytac zegara Horolan w przewidywanym momencie.", delivered_line("+0.001")}));
}

// Where daylight time ends, one hour of wall-clock times comes twice, and
// where it begins one hour is skipped: such a telegram names no single
// instant and makes no sample. Run in a child with Warsaw's zone.
TEST(CycleNtp, RepeatedOrSkippedLocalTimeMakesNoSample)
{
    const struct {
        const char *what;
        const char *utc; // the true instant, as the receiver's clock would have it
        unsigned hour, minute, second;
    } cases[] = {
        {"second pass of 02:30 on 25 October", "2026-10-25 01:30:00", 2, 30, 0},
        {"02:30 on 29 March does not exist", "2026-03-29 01:30:00", 2, 30, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const tproc::ChildRun run = tproc::run_in_child("", [&c] {
            setenv("TZ", "Europe/Warsaw", 1);
            tzset();
            FakeCycle f;
            start_ntp_feed(&SOCK);
            struct tm when = {};
            strptime(c.utc, "%Y-%m-%d %H:%M:%S", &when);
            f.system_start = timegm(&when);
            f.feed_bytes(telegram(c.hour, c.minute, c.second), 0);
            synchronize_time(LINE_FD, 1);
            for (const std::string &line : f.logged())
                printf("%s\n", line.c_str());
            return static_cast<int>(f.samples.size());
        });
        EXPECT_EQ(run.exit_code, 0) << "no sample";
        EXPECT_EQ(run.out, std::string(AMBIGUOUS) + "\n");
    }
}
