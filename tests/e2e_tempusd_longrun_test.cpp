// The background process over many cycles and after the receiver is pulled:
// it must neither leak descriptors nor spin and flood the log.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "tests/support/e2e_tempusd.h"

namespace {

class E2ETempusdLongRun : public tempusd_e2e::Fixture {};

// Measured from the moment the line is pulled, however late that comes; its
// name goes with it, as a USB adapter's does, so no other line takes its place.
TEST_F(E2ETempusdLongRun, RealTimePulledReceiverNeitherSpinsNorFloodsTheLog)
{
    const std::string line = dir + "/line";
    ASSERT_TRUE(start_emulator({"--minute-ms", "200", "--hangup-after", "1", "--link", line}));
    term_a = line;
    ASSERT_EQ(tempusd({"/T1"}).exit_code, 0);
    pid_t background = wait_background();
    ASSERT_GT(background, 0);
    ASSERT_TRUE(horolan_test::emu_wait_note(emu, "note hangup", 60000)) << horolan_test::emu_log_text(emu);
    unlink(line.c_str());
    long ticks_before = tempusd_e2e::cpu_ticks(background);
    int lines_before = tproc::count_lines(log_text());

    std::this_thread::sleep_for(std::chrono::seconds(60));

    long ticks_after = tempusd_e2e::cpu_ticks(background);
    int lines_after = tproc::count_lines(log_text());
    if (ticks_after >= 0) {
        EXPECT_LT(ticks_after - ticks_before, sysconf(_SC_CLK_TCK)) << "busy loop on a hung-up line";
    }
    EXPECT_LT(lines_after - lines_before, 10) << log_text();
    std::printf("60 s on a hung-up line: background CPU %ld ticks; %d new log lines\n",
                ticks_after - ticks_before, lines_after - lines_before);
}

TEST_F(E2ETempusdLongRun, RealTimeDescriptorsStayConstantOverFourHundredCycles)
{
    // Two seconds off: every cycle slews, so every cycle also opens and closes
    // the log and leaves a clock record that proves it ran. A telegram takes
    // 5 ms on the line: one cut by a cycle's input flush leaves garbage that
    // costs 20 s, so the first comes 100 ms after the request, once the first
    // cycle has begun, and the others 50 ms apart.
    ASSERT_TRUE(start_emulator({"--offset", "2", "--minute-ms", "50", "--no-align"}));
    ASSERT_EQ(tempusd({"/T1"}).exit_code, 0);
    pid_t background = wait_background();
    ASSERT_GT(background, 0);
    ASSERT_TRUE(horolan_test::emu_wait_telegrams(emu, 20, 5000));
    int descriptors_before = tempusd_e2e::open_descriptor_count(background);
    long ticks_before = tempusd_e2e::cpu_ticks(background);
    auto start = std::chrono::steady_clock::now();

    ASSERT_TRUE(horolan_test::emu_wait_telegrams(emu, 420, 60000));

    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(tempusd_e2e::process_alive(background));
    EXPECT_EQ(tempusd_e2e::open_descriptor_count(background), descriptors_before);
    // A few telegrams may fall into a cycle's input flush; most must be used.
    EXPECT_GE(clock_lines().size(), 360u);
    std::printf("400 telegrams in %.1f s; background CPU %ld ticks; %d descriptors; %zu clock records\n",
                seconds, tempusd_e2e::cpu_ticks(background) - ticks_before, descriptors_before,
                clock_lines().size());
}

} // namespace
