// The process helper the end-to-end suites rely on, checked with /bin/sh.

#include "tests/support/proc.h"

#include "platform/semun.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

tproc::Spawn shell(const std::string &script)
{
    tproc::Spawn sp;
    sp.argv = {"/bin/sh", "-c", script};
    return sp;
}

TEST(ProcHelper, CapturesOutputExitStatusEnvironmentAndDirectory)
{
    const std::string dir = tproc::make_scratch_dir();
    tproc::Spawn sp = shell("echo out-$FOO; pwd; cat; echo err >&2; exit 3");
    sp.env = {"FOO=bar"};
    sp.cwd = dir;
    sp.stdin_data = "from stdin\n";
    const tproc::Result r = tproc::run(sp);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.out, "out-bar\n" + dir + "\nfrom stdin\n");
    EXPECT_EQ(r.err, "err\n");
    tproc::remove_tree(dir);
    EXPECT_FALSE(tproc::file_exists(dir));
}

TEST(ProcHelper, ReportsDeathBySignalAndKillsOnOverrun)
{
    tproc::Result r = tproc::run(shell("kill -TERM $$"));
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(r.term_signal, SIGTERM);

    tproc::Spawn sp = shell("echo started; exec sleep 30");
    sp.timeout_ms = 300;
    const auto t0 = std::chrono::steady_clock::now();
    r = tproc::run(sp);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.term_signal, SIGKILL);
    EXPECT_EQ(r.out, "started\n");
}

TEST(ProcHelper, DoesNotWaitForBackgroundDescendantsHoldingItsPipes)
{
    // Like a service that forks without closing its standard descriptors.
    const auto t0 = std::chrono::steady_clock::now();
    const tproc::Result r = tproc::run(shell("sleep 30 & echo $!"));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    ASSERT_TRUE(r.exited);
    const pid_t bg = static_cast<pid_t>(std::strtol(r.out.c_str(), nullptr, 10));
    ASSERT_GT(bg, 1);
    EXPECT_EQ(kill(bg, 0), 0);
    tproc::kill_pid(bg);
}

TEST(ProcHelper, ChildrenRunWithoutClockPrivilegeAndOptionallyAsNobody)
{
    const std::string dir = tproc::make_scratch_dir();
    tproc::Spawn sp = shell("id -u; id -G; grep -E '^Cap(Eff|Bnd)' /proc/self/status; touch made-by-child");
    sp.cwd = dir;
    for (const bool nobody : {false, true}) {
        SCOPED_TRACE(nobody ? "as nobody" : "as the test's user");
        sp.as_nobody = nobody;
        const tproc::Result r = tproc::run(sp);
        ASSERT_TRUE(r.exited && r.exit_code == 0) << r.err;
        const std::vector<std::string> lines = tproc::split_lines(r.out);
        ASSERT_EQ(lines.size(), 4U);
        if (nobody && geteuid() == 0) {
            EXPECT_EQ(lines[0], "65534");
            EXPECT_EQ(lines[1], "65534");
        } else {
            EXPECT_EQ(lines[0], std::to_string(getuid()));
        }
        // Root's children lose CAP_SYS_TIME from the bounding set; an ordinary
        // user's hold no capability to begin with.
        const std::string &caps = lines[geteuid() == 0 ? 3 : 2];
        const unsigned long long set = std::strtoull(caps.substr(caps.find(':') + 1).c_str(), nullptr, 16);
        EXPECT_EQ(set & (1ULL << 25), 0ULL) << "CAP_SYS_TIME still usable: " << caps;
        EXPECT_TRUE(tproc::file_exists(dir + "/made-by-child"));
        ::unlink((dir + "/made-by-child").c_str());
    }
    tproc::remove_tree(dir);
}

TEST(ProcHelper, BuildsPreloadAndFaketimeEnvironment)
{
    EXPECT_EQ(tproc::preload_value(false, false), "");
    EXPECT_EQ(tproc::preload_value(true, false), TEMPUS_SHIM_PATH);
    EXPECT_EQ(tproc::preload_value(false, true), tproc::kFaketimeLib);

    const std::string dir = tproc::make_scratch_dir();
    tproc::Spawn sp =
        shell("env | grep -E '^(LD_PRELOAD|FAKETIME|TEMPUS_SHIM)' | grep -v '^FAKETIME_SHARED=' | sort");
    sp.with_shim = true;
    sp.faketime_file = dir + "/offset";
    const tproc::Result r = tproc::run(sp);
    EXPECT_EQ(r.out, "FAKETIME_DONT_FAKE_MONOTONIC=1\n"
                     "FAKETIME_NO_CACHE=1\n"
                     "FAKETIME_TIMESTAMP_FILE=" +
                         sp.faketime_file +
                         "\n"
                         "LD_PRELOAD=" +
                         tproc::preload_value(true, true) +
                         "\n"
                         "TEMPUS_SHIM_FAKETIME_FILE=" +
                         sp.faketime_file + "\n");
    EXPECT_EQ(tproc::read_file(sp.faketime_file), "+0\n");

    sp = shell("echo \"$FAKETIME\"");
    sp.faketime = "-7";
    sp.env = {"FAKETIME=+5"}; // explicit entries win
    EXPECT_EQ(tproc::run(sp).out, "+5\n");
    tproc::remove_tree(dir);
}

TEST(ProcHelper, SpawnWritesToFilesAndWaitCollects)
{
    const std::string dir = tproc::make_scratch_dir();
    tproc::Spawn sp = shell("echo one; echo two >&2; exit 4");
    sp.stdout_path = dir + "/out";
    sp.stderr_path = dir + "/err";
    const pid_t pid = tproc::spawn(sp);
    ASSERT_GT(pid, 0);
    const tproc::Result r = tproc::wait_pid(pid, 5000);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 4);
    EXPECT_EQ(tproc::read_file(dir + "/out"), "one\n");
    EXPECT_EQ(tproc::read_file(dir + "/err"), "two\n");
    tproc::remove_tree(dir);
}

TEST(ProcHelper, LineHelpers)
{
    EXPECT_EQ(tproc::count_lines(""), 0);
    EXPECT_EQ(tproc::count_lines("a\nb\n"), 2);
    EXPECT_EQ(tproc::count_lines("a\nb"), 2);
    EXPECT_EQ(tproc::count_lines("\n\n"), 2);
    EXPECT_EQ(tproc::split_lines("a\n\nb"), (std::vector<std::string>{"a", "", "b"}));
}

TEST(ProcHelper, RegistryKeysAreFreshAndCleanedUp)
{
    const int a = tproc::unique_registry_key();
    const int b = tproc::unique_registry_key();
    EXPECT_NE(a, b);
    EXPECT_NE(a, 56142);
    EXPECT_NE(b, 56142);
    EXPECT_EQ(tproc::registered_pid(a), -1);
    EXPECT_FALSE(tproc::remove_registry(a));

    // What an installed service leaves behind: a set whose value was last set
    // by its background process, which runs until killed.
    const int id = semget(static_cast<key_t>(a), 1, IPC_CREAT | 0600);
    ASSERT_GE(id, 0);
    EXPECT_EQ(tproc::registered_pid(a), 0);
    const pid_t bg = fork();
    if (bg == 0) {
        union semun arg = {};
        arg.val = 1;
        semctl(id, 0, SETVAL, arg);
        for (;;) {
            pause();
        }
    }
    ASSERT_GT(bg, 0);
    for (int i = 0; i < 250 && tproc::registered_pid(a) != bg; ++i) {
        usleep(20000);
    }
    EXPECT_EQ(tproc::registered_pid(a), bg);

    tproc::kill_registered(a);
    EXPECT_EQ(tproc::registered_pid(a), -1);
    int status = 0;
    const pid_t w = waitpid(bg, &status, 0);
    if (w == bg) {
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    } else {
        EXPECT_EQ(errno, ECHILD); // already reaped by kill_registered
    }
    EXPECT_NE(kill(bg, 0), 0);
}

} // namespace
