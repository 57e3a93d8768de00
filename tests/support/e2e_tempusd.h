#ifndef TEMPUS_TESTS_SUPPORT_E2E_TEMPUSD_H
#define TEMPUS_TESTS_SUPPORT_E2E_TEMPUSD_H

// Fixture for end-to-end runs of the real tempusd: a scratch working
// directory (dcf.log lands there), a private registry key, the receiver
// emulator on a pseudo-terminal, and clock calls recorded by the interposer.
// tempusd always runs as nobody under the interposer. TearDown kills every
// background process it saw or the registry names, removes the registry set,
// stops the emulator and removes the scratch directory, also after a failure.
//
//   class E2ETempusdFoo : public tempusd_e2e::Fixture {};
//   TEST_F(E2ETempusdFoo, Bar) {
//     ASSERT_TRUE(start_emulator({"--offset", "7", "--minute-ms", "200"}));
//     tproc::Result r = tempusd({"/T1"});
//     ...
//   }

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/emu_process.h"
#include "tests/support/log_text.h"
#include "tests/support/proc.h"

namespace tempusd_e2e {

// utime + stime of a process in clock ticks, from /proc/PID/stat; -1 if gone.
long cpu_ticks(pid_t pid);

// Number of open descriptors in /proc/PID/fd; -1 if gone.
int open_descriptor_count(pid_t pid);

// True while the process exists and is not a zombie.
bool process_alive(pid_t pid);

class Fixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts horolan-emu with these options (and, if given, extra environment
    // entries for it, e.g. a faketime setting); /dev/term/a then maps to its line.
    bool start_emulator(const std::vector<std::string> &options,
                        const std::vector<std::string> &emu_env = {});

    // How tempusd is started: as nobody, under the interposer, in the scratch
    // directory, with the private key, the port mapping and the clock record.
    tproc::Spawn tempusd_spawn(const std::vector<std::string> &args) const;

    // Runs tempusd with these arguments and waits for the installing (or
    // removing) process; the background process keeps running.
    tproc::Result tempusd(const std::vector<std::string> &args, int timeout_ms = 15000);

    // Waits until the registry records a background process; its pid, or -1.
    pid_t wait_background(int timeout_ms = 5000);

    std::string log_text() const;
    std::vector<std::string> log_lines() const;
    // Messages of the log lines, in order; empty lines are kept as "".
    std::vector<std::string> log_messages() const;
    // Waits until the log holds a line with exactly this message.
    bool wait_log_message(const std::string &message, int timeout_ms);
    std::string clock_record() const;
    std::vector<std::string> clock_lines() const;

    int key = 0;
    std::string dir;
    std::string clock_log;
    std::string term_a;                 // TEMPUS_SHIM_TERM_A; empty = not set
    std::vector<std::string> extra_env; // more environment for tempusd
    std::string faketime;               // libfaketime setting for tempusd; empty = none
    horolan_test::EmuProcess emu;

private:
    std::vector<pid_t> seen_background_;
};

} // namespace tempusd_e2e

#endif
