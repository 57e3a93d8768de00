// Installation, refusal of a second copy and removal of the real tempusd,
// against the receiver emulator, as nobody, under the clock interposer.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/e2e_tempusd.h"

using tproc::console_line;

namespace {

const char *const kStarted = "Synchronizacja czasu rozpoczeta.";
const char *const kAlreadyInstalled = "Program obslugi zegara Horolan jest juz zainstalowany.";
const char *const kNotInstalled = "Program obslugi zegara Horolan nie byl zainstalowany.";
const char *const kRemoved = "Deinstalacja programu obslugi zegara Horolan zakonczona pomyslnie.";

class E2ETempusdInstall : public tempusd_e2e::Fixture {};

bool wait_gone(pid_t pid, int timeout_ms)
{
    for (int waited = 0; waited < timeout_ms; waited += 20) {
        if (!tempusd_e2e::process_alive(pid)) {
            return true;
        }
        usleep(20 * 1000);
    }
    return !tempusd_e2e::process_alive(pid);
}

TEST_F(E2ETempusdInstall, DefaultInstallIsSilentAndLogsStartAndSuccess)
{
    ASSERT_TRUE(start_emulator({"--minute-ms", "1000"}));

    tproc::Result r = tempusd({});

    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    ASSERT_GT(wait_background(), 0);
    ASSERT_TRUE(horolan_test::emu_wait_host_bytes(emu, 2, 3000));
    EXPECT_EQ(horolan_test::emu_host_byte_values(emu), (std::vector<unsigned char>{0x78, 0x40 | 60}));

    std::vector<std::string> messages = log_messages();
    ASSERT_GE(messages.size(), 2u) << log_text();
    EXPECT_EQ(messages[0], kStarted);
    EXPECT_EQ(messages[1], "Instalacja programu obslugi zegara Horolan zakonczona pomyslnie (/C1 /T60).");
    for (const std::string &line : log_lines()) {
        EXPECT_TRUE(tproc::is_log_line(line)) << line;
    }
}

TEST_F(E2ETempusdInstall, ImmediateSyncRunsOneCycleBeforeTheBackground)
{
    ASSERT_TRUE(start_emulator({"--offset", "7", "--minute-ms", "200"}));

    tproc::Result r = tempusd({"/S", "/T5"});

    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    ASSERT_GT(wait_background(), 0);
    ASSERT_TRUE(horolan_test::emu_wait_host_bytes(emu, 4, 3000));
    std::vector<unsigned char> sent = horolan_test::emu_host_byte_values(emu);
    sent.resize(4);
    // A one-minute request for the start cycle, then the configured interval.
    EXPECT_EQ(sent, (std::vector<unsigned char>{0x78, 0x41, 0x78, 0x45}));

    std::vector<std::string> messages = log_messages();
    ASSERT_GE(messages.size(), 3u) << log_text();
    EXPECT_EQ(messages[0], kStarted);
    EXPECT_EQ(messages[1], "Nastapila synchronizacja zegara systemowego. Przesuniecie o  7 s.");
    EXPECT_EQ(messages[2], "Instalacja programu obslugi zegara Horolan zakonczona pomyslnie (/C1 /S /T5).");
}

TEST_F(E2ETempusdInstall, SecondInstallIsRefusedAndLeavesTheFirstRunning)
{
    ASSERT_TRUE(start_emulator({"--minute-ms", "1000"}));
    ASSERT_EQ(tempusd({"/T1"}).exit_code, 0);
    pid_t first = wait_background();
    ASSERT_GT(first, 0);

    tproc::Result again = tempusd({"/T1"});

    ASSERT_TRUE(again.exited);
    EXPECT_EQ(again.exit_code, 2);
    EXPECT_EQ(again.err, console_line(kAlreadyInstalled));
    std::vector<std::string> messages = log_messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(), kAlreadyInstalled), messages.end()) << log_text();
    EXPECT_TRUE(tempusd_e2e::process_alive(first));
    EXPECT_EQ(tproc::registered_pid(key), first);
}

TEST_F(E2ETempusdInstall, RemovalStopsTheServiceAndAllowsANewInstall)
{
    ASSERT_TRUE(start_emulator({"--minute-ms", "1000"}));
    ASSERT_EQ(tempusd({"/T1"}).exit_code, 0);
    pid_t background = wait_background();
    ASSERT_GT(background, 0);

    tproc::Result r = tempusd({"/D"});

    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, console_line(kRemoved));
    EXPECT_TRUE(wait_gone(background, 3000));
    EXPECT_EQ(tproc::registered_pid(key), -1);
    std::string log = log_text();
    const std::string tail = std::string(kRemoved) + "\n\n\n";
    ASSERT_GE(log.size(), tail.size());
    EXPECT_EQ(log.substr(log.size() - tail.size()), tail);

    // The same line serves the next installation, as a serial port would once
    // its last user closed it: no exclusive hold is left behind.
    tproc::Result again = tempusd({"/T1", "/S"});
    EXPECT_EQ(again.exit_code, 0) << again.err;
    EXPECT_GT(wait_background(), 0);
    EXPECT_TRUE(wait_log_message(
        "Instalacja programu obslugi zegara Horolan zakonczona pomyslnie (/C1 /S /T1).", 5000))
        << log_text();
}

// A service manager watches the process it started: tempusd stays that
// process instead of forking away from it, registers it, and says it is ready
// at once, before any telegram, so that nothing waits on the receiver.
TEST_F(E2ETempusdInstall, UnderAServiceManagerTheStartedProcessIsTheService)
{
    ASSERT_TRUE(start_emulator({"--silent"}));
    const std::string socket_path = dir + "/notify";
    const int manager = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(manager, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
    ASSERT_EQ(bind(manager, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(chmod(socket_path.c_str(), 0777), 0);
    extra_env.push_back("NOTIFY_SOCKET=" + socket_path);

    const pid_t started = tproc::spawn(tempusd_spawn({"/T1"}));
    ASSERT_GT(started, 0);
    EXPECT_EQ(wait_background(), started);
    pollfd told = {manager, POLLIN, 0};
    ASSERT_EQ(poll(&told, 1, 5000), 1) << "no notification";
    char message[512] = {};
    ASSERT_GT(recv(manager, message, sizeof message - 1, 0), 0);
    EXPECT_EQ(std::string(message).rfind("READY=1\nSTATUS=", 0), 0u) << message;
    EXPECT_TRUE(tempusd_e2e::process_alive(started));
    EXPECT_TRUE(
        wait_log_message("Instalacja programu obslugi zegara Horolan zakonczona pomyslnie (/C1 /T1).", 3000))
        << log_text();

    tproc::kill_pid(started);
    close(manager);
}

TEST_F(E2ETempusdInstall, RemovalWithoutInstallationReportsIt)
{
    tproc::Result r = tempusd({"/D"});

    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, console_line(kNotInstalled));
    std::vector<std::string> messages = log_messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages[0], kNotInstalled);
}

} // namespace
