// The line is the running service's alone, and the NTP segment of /N must be
// usable: the real tempusd, as nobody, under the clock interposer.

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <string>

#include "tests/support/e2e_tempusd.h"
#include "timesvc/ntp_shm.h"

namespace {

class E2ETempusdLine : public tempusd_e2e::Fixture {
protected:
    // Opens the receiver's line read-write, as nobody or as root; the exit status.
    int open_line(bool as_nobody)
    {
        tproc::Spawn sp;
        sp.argv = {"/bin/sh", "-c", "exec 3<>\"$0\"", term_a};
        sp.as_nobody = as_nobody;
        return tproc::run(sp).exit_code;
    }
};

// While tempusd holds the line, no other unprivileged process can open it to
// read the telegrams away, push bytes into it or change its settings, and
// ex_tikora, though root, leaves it alone: the service keeps synchronising.
TEST_F(E2ETempusdLine, RunningServiceHoldsTheLineAlone)
{
    ASSERT_TRUE(start_emulator({"--offset", "7", "--minute-ms", "1000"}));
    ASSERT_EQ(open_line(true), 0) << "before the service, anyone may open the line";
    ASSERT_EQ(tempusd({"/T1"}).exit_code, 0);
    ASSERT_GT(wait_background(), 0);

    EXPECT_NE(open_line(true), 0);
    tproc::Spawn tikora;
    tikora.argv = {EX_TIKORA_PATH, "/dev/term/a"};
    tikora.with_shim = true;
    tikora.env = {"TEMPUS_SHIM_TERM_A=" + term_a, "TEMPUS_SHIM_CLOCK_LOG=" + dir + "/tikora-clock.log"};
    const tproc::Result r = tproc::run(tikora);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Error TIKORA_ERR_OPEN while opening serial device /dev/term/a\n");

    const size_t before = clock_lines().size();
    EXPECT_TRUE(tproc::wait_for_lines(clock_log, static_cast<int>(before) + 2, 5000) >=
                static_cast<int>(before) + 2)
        << "the service goes on correcting the clock\n"
        << log_text();
}

// An NTP segment that cannot be attached (here another user's, 0600) ends the
// installation as an unusable port does.
TEST_F(E2ETempusdLine, NtpSegmentThatCannotBeAttachedUndoesTheInstallation)
{
    ASSERT_TRUE(start_emulator({"--minute-ms", "1000"}));
    int unit = 200 + static_cast<int>(getpid() % 50);
    const int segment = shmget(NTP_SHM_KEY_BASE + unit, sizeof(ntp_shm_time), IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_GE(segment, 0);

    const tproc::Result r = tempusd({"/T1", "/N" + std::to_string(unit)});
    shmctl(segment, IPC_RMID, nullptr);

    EXPECT_EQ(r.exit_code, 2);
    const std::string ntp_failed = "Nie mozna polaczyc sie z serwerem NTP. Koniec ... ";
    const std::string undone = "Instalacja programu obslugi zegara Horolan zakonczona niepowodzeniem.";
    EXPECT_EQ(r.err, tproc::console_line(ntp_failed) + tproc::console_line(undone));
    EXPECT_EQ(log_messages(), (std::vector<std::string>{ntp_failed, undone, "", ""}));
    EXPECT_EQ(tproc::registered_pid(key), -1) << "registry left behind";
}

} // namespace

namespace {

// The receiver's line hangs up and comes back as a new pseudo-terminal under
// the same name (a replugged adapter, a restarted bridge): the service opens
// it again by its name and goes on correcting the clock. Each wait is for an
// event, allowing thrice the service's pace (a try every 20 s) on a busy machine.
TEST_F(E2ETempusdLine, RealTimeLineThatHangsUpIsOpenedAgainWhenItIsBack)
{
    const std::string line = dir + "/line";
    ASSERT_TRUE(
        start_emulator({"--offset", "3", "--minute-ms", "1000", "--hangup-after", "2", "--link", line}));
    term_a = line;
    ASSERT_EQ(tempusd({"/T1"}).exit_code, 0);
    ASSERT_GT(wait_background(), 0);
    ASSERT_TRUE(horolan_test::emu_wait_note(emu, "note hangup", 60000)) << horolan_test::emu_log_text(emu);
    unlink(line.c_str());
    ASSERT_TRUE(wait_log_message("Utracono polaczenie z zegarem Horolan.", 60000)) << log_text();

    horolan_test::EmuProcess back;
    ASSERT_TRUE(horolan_test::emu_start({"--offset", "3", "--minute-ms", "1000", "--link", line}, &back));
    EXPECT_TRUE(wait_log_message("Przywrocono polaczenie z zegarem Horolan.", 60000)) << log_text();
    const size_t before = clock_lines().size();
    EXPECT_GE(tproc::wait_for_lines(clock_log, static_cast<int>(before) + 1, 20000),
              static_cast<int>(before) + 1)
        << "corrections go on on the line that came back\n"
        << log_text();
    horolan_test::emu_stop(&back);
}

} // namespace
