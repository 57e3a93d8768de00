// horolan-check, the real program under the interposer, against the emulator
// and beside a running tempusd: it reports the receiver's offset as tempusd
// /N measures it, leaves a held line alone, ends within its bounds, puts the
// line's settings back, and never makes a clock call.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include "tests/support/e2e_tempusd.h"
#include "timesvc/ntp_sample.h"

namespace {

const char kZone[] = "TZ=Europe/Warsaw";
const char kHeld[] = "horolan-check: /dev/term/a is held by a running tempusd; ask it with: tempusd /Q\n";

class E2ECheck : public tempusd_e2e::Fixture {
protected:
    tproc::Spawn check_spawn(bool as_nobody = true, const std::vector<std::string> &options = {})
    {
        tproc::Spawn sp;
        sp.argv = {HOROLAN_CHECK_PATH};
        sp.argv.insert(sp.argv.end(), options.begin(), options.end());
        sp.argv.push_back("/dev/term/a");
        sp.as_nobody = as_nobody;
        sp.with_shim = true;
        sp.env = {kZone, "TEMPUS_SHIM_TERM_A=" + term_a, "TEMPUS_SHIM_CLOCK_LOG=" + check_clock_log};
        sp.timeout_ms = 15000;
        return sp;
    }

    tproc::Result check(bool as_nobody = true, const std::vector<std::string> &options = {})
    {
        tproc::Result r = tproc::run(check_spawn(as_nobody, options));
        EXPECT_FALSE(tproc::file_exists(check_clock_log)) << "horolan-check made a clock call";
        return r;
    }

    std::string check_clock_log = dir + "/check-clock.log";
};

// The emulator sends 250 ms after the whole second, 3 s ahead: at byte 0 the
// receiver was 3 s - 0.25 s + one character ahead of the system clock.
TEST_F(E2ECheck, DifferenceAgreesWithTheEmulatorsOffsetRealTime)
{
    ASSERT_TRUE(start_emulator({"--at-ms", "250", "--offset", "3"}, {kZone}));
    const tproc::Result r = check();
    ASSERT_EQ(r.exit_code, 0) << r.err << r.out;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("Status:          valid\n"), std::string::npos) << r.out;

    // The emulator logs the telegram after sending it, maybe after the check ended.
    ASSERT_TRUE(horolan_test::emu_wait_telegrams(emu, 1, 5000));
    const std::vector<horolan_test::EmuSent> sent = horolan_test::emu_telegrams(emu);
    ASSERT_EQ(sent.size(), 1U);
    const double truth = 3.0 - static_cast<double>(sent[0].at_us % 1000000) / 1e6 + NTP_CHAR_TIME_NS / 1e9;
    const std::string label = "Difference:      ";
    const size_t at = r.out.find(label);
    ASSERT_NE(at, std::string::npos) << r.out;
    // Loose enough for a loaded machine's wake-up; the exact arithmetic is CheckMeasure's.
    EXPECT_NEAR(std::stod(r.out.substr(at + label.size())), truth, 0.010) << r.out;
    EXPECT_EQ(horolan_test::emu_host_byte_values(emu), std::vector<unsigned char>{0x78})
        << "the lone request";
}

TEST_F(E2ECheck, FailuresEndWithinTheirBoundsAndSaySoRealTime)
{
    const struct {
        std::vector<std::string> fault;
        const char *message;
        std::vector<std::string> options = {};
    } cases[] = {
        {{"--silent"}, "no telegram from the receiver on /dev/term/a within 5 s after asking for one (0x78)"},
        {{"--silent"}, "no telegram from the receiver on /dev/term/a within 2 s", {"--wait", "2"}},
        {{"--uncertain", "1"}, "the receiver's time is uncertain (status 0xd2)"},
        {{"--bad-checksum", "1"}, "checksum error: byte 8 is 0x"},
        {{"--short", "1"},
         "the telegram from the receiver on /dev/term/a stopped after 9 of 10 bytes: no more within 1 s"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault[0]);
        ASSERT_TRUE(start_emulator(c.fault, {kZone}));
        const auto started = std::chrono::steady_clock::now();
        const tproc::Result r = check(true, c.options);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(6500));
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err.rfind(std::string("horolan-check: ") + c.message, 0), 0U) << r.err;
        horolan_test::emu_stop(&emu);
    }
}

// Neither nobody (whom TIOCEXCL keeps out) nor root (who passes it and must
// ask the line) disturbs the service: nothing written, and it goes on.
TEST_F(E2ECheck, RefusesTheLineOfARunningTempusd)
{
    ASSERT_TRUE(start_emulator({"--offset", "7", "--minute-ms", "1000"}));
    ASSERT_EQ(tempusd({"/T1"}).exit_code, 0);
    ASSERT_GT(wait_background(), 0);
    ASSERT_TRUE(wait_log_message("Synchronizacja czasu rozpoczeta.", 5000)) << log_text();
    const std::vector<unsigned char> asked = horolan_test::emu_host_byte_values(emu);

    for (bool as_nobody : {true, false}) {
        const tproc::Result r = check(as_nobody);
        EXPECT_EQ(r.exit_code, 1) << as_nobody;
        EXPECT_EQ(r.err, kHeld);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(horolan_test::emu_host_byte_values(emu), asked);
    const int before = static_cast<int>(clock_lines().size());
    EXPECT_GE(tproc::wait_for_lines(clock_log, before + 2, 5000), before + 2) << "the service goes on\n"
                                                                              << log_text();
}

// A line is left with the settings it had, whether the check ends by itself
// or by a signal while it waits.
TEST_F(E2ECheck, PutsTheLinesSettingsBackRealTime)
{
    const struct {
        const char *how;
        std::vector<std::string> fault;
        int signal; // sent a second after the start; 0 = none
    } cases[] = {{"a telegram", {}, 0}, {"SIGTERM while waiting", {"--silent"}, SIGTERM}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.how);
        ASSERT_TRUE(start_emulator(c.fault, {kZone}));
        const int line = open(emu.slave_path.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(line, 0);
        struct termios before = {};
        ASSERT_EQ(tcgetattr(line, &before), 0);
        before.c_lflag |= ICANON | ECHO;
        cfsetspeed(&before, B9600);
        ASSERT_EQ(tcsetattr(line, TCSANOW, &before), 0);

        const pid_t pid = tproc::spawn(check_spawn());
        ASSERT_GT(pid, 0);
        if (c.signal != 0) {
            ASSERT_TRUE(horolan_test::emu_wait_host_bytes(emu, 1, 5000));
            kill(pid, c.signal);
        }
        const tproc::Result r = tproc::wait_pid(pid, 10000);
        EXPECT_EQ(r.term_signal, c.signal);
        EXPECT_EQ(r.exited && r.exit_code == 0, c.signal == 0);
        struct termios after = {};
        ASSERT_EQ(tcgetattr(line, &after), 0);
        close(line);
        EXPECT_EQ(cfgetispeed(&after), B9600);
        EXPECT_EQ(after.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
        horolan_test::emu_stop(&emu);
    }
}

} // namespace
