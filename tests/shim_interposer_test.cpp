// The clock interposer, exercised through a probe program that performs each
// intercepted call. The probe always runs without CAP_SYS_TIME (as nobody
// where it can), so a call that slipped past the interposer would come back
// as EPERM and fail the test rather than move the clock.

#include "tests/support/proc.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>
#include <vector>

namespace {

std::string probe_path()
{
    const std::string shim = TEMPUS_SHIM_PATH;
    return shim.substr(0, shim.rfind('/')) + "/shim_probe";
}

double seconds(clockid_t clk)
{
    struct timespec ts = {};
    clock_gettime(clk, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

class ShimFixture : public ::testing::Test {
protected:
    void SetUp() override { dir_ = tproc::make_scratch_dir(); }
    void TearDown() override { tproc::remove_tree(dir_); }

    tproc::Spawn probe(std::vector<std::string> calls, std::vector<std::string> env) const
    {
        tproc::Spawn sp;
        sp.argv = {probe_path()};
        sp.argv.insert(sp.argv.end(), calls.begin(), calls.end());
        sp.env = std::move(env);
        sp.cwd = dir_;
        sp.as_nobody = true;
        sp.with_shim = true;
        return sp;
    }

    std::vector<std::string> run_lines(const tproc::Spawn &sp) const
    {
        const tproc::Result r = tproc::run(sp);
        EXPECT_TRUE(r.exited && r.exit_code == 0) << r.err;
        return tproc::split_lines(r.out);
    }

    std::string dir_;
};

const std::vector<std::string> kSettingCalls = {
    "adjtime",       "3",          "250000", // slew
    "adjtime",       "-1",         "500000", // negative slew
    "clock_settime", "1700000000", "5",      // step
    "settimeofday",  "1700000001", "7",      // step
    "stime",         "1700000002",           // step
    "adjtimex",      "32769",      "1000",   // ADJ_OFFSET_SINGLESHOT
    "ntp_adjtime",   "1",          "0",      // ADJ_OFFSET
    "clock_adjtime", "256",        "2",      // ADJ_SETOFFSET
};

using E2EShimClock = ShimFixture;

TEST_F(E2EShimClock, RecordsEachSettingCallAndLeavesTheClockAlone)
{
    const std::string log = dir_ + "/clock.log";
    const double real0 = seconds(CLOCK_REALTIME);
    const double mono0 = seconds(CLOCK_MONOTONIC);
    std::vector<std::string> calls = kSettingCalls;
    calls.insert(calls.end(), {"clock_settime_mono", "5", "0", "adjtimex", "0", "0"});
    const std::vector<std::string> out = run_lines(probe(calls, {"TEMPUS_SHIM_CLOCK_LOG=" + log}));
    const double drift = (seconds(CLOCK_REALTIME) - real0) - (seconds(CLOCK_MONOTONIC) - mono0);

    const std::vector<std::string> expected_out = {
        "adjtime rc=0 errno=0 old=0/0",
        "adjtime rc=0 errno=0 old=0/0",
        "clock_settime rc=0 errno=0",
        "settimeofday rc=0 errno=0",
        "stime rc=0 errno=0",
        "adjtimex rc=5 errno=0", // a recorded call reports the clock's real state
        "ntp_adjtime rc=5 errno=0",
        "clock_adjtime rc=5 errno=0",
        "clock_settime_mono rc=-1 errno=1", // only the real-time clock is answered
        "adjtimex rc=5 errno=0",            // a pure read passes through, unrecorded
    };
    // The clock state code depends on the machine; only its consistency matters.
    ASSERT_EQ(out.size(), expected_out.size());
    const std::string state = out[5].substr(out[5].find("rc="), 4);
    for (size_t i = 0; i < out.size(); ++i) {
        std::string want = expected_out[i];
        if (want.find("rc=5") != std::string::npos) {
            want.replace(want.find("rc=5"), 4, state);
        }
        EXPECT_EQ(out[i], want);
    }
    EXPECT_EQ(tproc::read_file(log), "adjtime 3 250000\n"
                                     "adjtime -1 500000\n"
                                     "clock_settime 1700000000 5\n"
                                     "settimeofday 1700000001 7\n"
                                     "stime 1700000002\n"
                                     "adjtimex 32769\n"
                                     "ntp_adjtime 1\n"
                                     "clock_adjtime 256\n");
    EXPECT_LT(drift < 0 ? -drift : drift, 0.5);
}

TEST_F(E2EShimClock, FailsEverySettingCallWithEpermWhenNotRecordingOrToldToFail)
{
    const std::string log = dir_ + "/clock.log";
    struct Case {
        const char *name;
        std::vector<std::string> env;
        int expected_log_lines;
    };
    const Case cases[] = {
        {"no record file", {}, 0},
        {"told to fail", {"TEMPUS_SHIM_CLOCK_LOG=" + log, "TEMPUS_SHIM_CLOCK_FAIL=1"}, 8},
        {"record file not writable", {"TEMPUS_SHIM_CLOCK_LOG=/proc/version"}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ::unlink(log.c_str());
        for (const std::string &line : run_lines(probe(kSettingCalls, c.env))) {
            EXPECT_NE(line.find("rc=-1 errno=1"), std::string::npos) << line;
            if (line.rfind("adjtime ", 0) == 0) {
                EXPECT_NE(line.find("old=99/99"), std::string::npos) << "olddelta touched on failure";
            }
        }
        EXPECT_EQ(tproc::count_lines(tproc::read_file(log)), c.expected_log_lines);
    }
}

TEST_F(E2EShimClock, ConcurrentProcessesAppendWholeLines)
{
    const std::string log = dir_ + "/clock.log";
    std::vector<std::string> calls;
    for (int i = 0; i < 100; ++i) {
        calls.insert(calls.end(), {"clock_settime", "1234567890", "123456789"});
    }
    std::vector<pid_t> pids;
    for (int p = 0; p < 4; ++p) {
        pids.push_back(tproc::spawn(probe(calls, {"TEMPUS_SHIM_CLOCK_LOG=" + log})));
    }
    for (pid_t pid : pids) {
        const tproc::Result r = tproc::wait_pid(pid, 10000);
        EXPECT_TRUE(r.exited && r.exit_code == 0);
    }
    const std::vector<std::string> lines = tproc::split_lines(tproc::read_file(log));
    EXPECT_EQ(lines.size(), 400U);
    for (const std::string &l : lines) {
        ASSERT_EQ(l, "clock_settime 1234567890 123456789");
    }
}

using E2EShimDevice = ShimFixture;

TEST_F(E2EShimDevice, RedirectsTheTermPortsThroughEveryOpenEntryPoint)
{
    std::vector<std::string> env;
    for (const char port : {'a', 'b', 'd'}) { // c deliberately left unmapped
        const std::string file = dir_ + "/port-" + port;
        ASSERT_TRUE(tproc::write_file(file, std::string("port ") + port + "\n"));
        env.push_back(std::string("TEMPUS_SHIM_TERM_") + static_cast<char>(port - 'a' + 'A') + "=" + file);
    }
    const std::string plain = dir_ + "/plain";
    ASSERT_TRUE(tproc::write_file(plain, "plain file\n"));

    struct Case {
        const char *path;
        const char *expect; // suffix of every entry point's result line
    };
    const Case cases[] = {
        {"/dev/term/a", "rc=0 errno=0 text=port a"},
        {"/dev/term/b", "rc=0 errno=0 text=port b"},
        {"/dev/term/d", "rc=0 errno=0 text=port d"},
        {"/dev/term/c", "rc=-1 errno=2"}, // unmapped port
        {"/dev/term/e", "rc=-1 errno=2"}, // no such port
        {"/dev/term/ab", "rc=-1 errno=2"},
        {plain.c_str(), "rc=0 errno=0 text=plain file"}, // everything else passes through
    };
    const char *entries[] = {"open",   "open64",   "openat", "openat64",
                             "open_2", "openat_2", "fopen",  "fopen64"};
    for (const Case &c : cases) {
        std::vector<std::string> calls;
        for (const char *e : entries) {
            calls.insert(calls.end(), {e, c.path});
        }
        const std::vector<std::string> out = run_lines(probe(calls, env));
        ASSERT_EQ(out.size(), std::size(entries)) << c.path;
        for (size_t i = 0; i < out.size(); ++i) {
            EXPECT_EQ(out[i], std::string(entries[i]) + " " + c.expect) << c.path;
        }
    }
}

TEST_F(E2EShimDevice, MapsTheServiceRegistryKey)
{
    const int key = tproc::unique_registry_key();
    const std::vector<std::string> out =
        run_lines(probe({"semget"}, {"TEMPUS_SHIM_SEM_KEY=" + std::to_string(key)}));
    ASSERT_EQ(out.size(), 1U);
    const int id = semget(static_cast<key_t>(key), 0, 0);
    EXPECT_GE(id, 0);
    EXPECT_EQ(out[0], "semget rc=" + std::to_string(id) + " errno=0");
    EXPECT_TRUE(tproc::remove_registry(key));
    EXPECT_FALSE(tproc::remove_registry(key));
}

// The interposer shows a pseudo-terminal as it is, parity refused, unless a
// test asks it to stand for a UART; it hides a cleared PARMRK only when asked.
TEST_F(E2EShimDevice, LineSettingsOfRedirectedPortsAreFakedOnlyWhenAsked)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave = ptsname(master);

    struct Case {
        const char *name;
        const char *no_parmrk;
        const char *uart;
        std::string path;
        const char *expect;
    };
    const Case cases[] = {
        {"plain pseudo-terminal", "0", "0", "/dev/term/a",
         "parmrk rc=-1 errno=22 reported=1 real=1 inpck=1 parenb=0"},
        {"PARMRK masked", "1", "0", "/dev/term/a",
         "parmrk rc=-1 errno=22 reported=1 real=0 inpck=1 parenb=0"},
        {"a UART", "0", "1", "/dev/term/a", "parmrk rc=0 errno=0 reported=1 real=1 inpck=1 parenb=1"},
        {"not a redirected port", "1", "1", slave,
         "parmrk rc=-1 errno=22 reported=1 real=1 inpck=1 parenb=0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        tproc::Spawn sp = probe({"parmrk", c.path}, {"TEMPUS_SHIM_TERM_A=" + slave,
                                                     std::string("TEMPUS_SHIM_NO_PARMRK=") + c.no_parmrk,
                                                     std::string("TEMPUS_SHIM_UART=") + c.uart});
        sp.as_nobody = false; // the pty belongs to root; the child still lacks CAP_SYS_TIME
        EXPECT_EQ(run_lines(sp), std::vector<std::string>{c.expect});
    }
    close(master);
}

using E2EShimFaketime = ShimFixture;

TEST_F(E2EShimFaketime, ProgramClockFollowsItsRecordedCorrectionsInEitherPreloadOrder)
{
    const std::string shim_first = tproc::preload_value(true, true);
    const std::string faketime_first = std::string(tproc::kFaketimeLib) + ":" + TEMPUS_SHIM_PATH;
    ASSERT_EQ(shim_first, std::string(TEMPUS_SHIM_PATH) + ":" + tproc::kFaketimeLib);
    for (const std::string &order : {shim_first, faketime_first}) {
        SCOPED_TRACE(order);
        const std::string offsets = dir_ + "/offset";
        ASSERT_TRUE(tproc::write_file(offsets, "-7200\n"));
        tproc::Spawn sp = probe({"now",           "clock_settime", "2000000000", "0",
                                 "now",           "adjtime",       "5",          "0",
                                 "now",           "adjtime",       "-2",         "500000",
                                 "now",           "stime",         "1900000000", "now",
                                 "settimeofday",  "1800000000",    "0",          "now",
                                 "clock_adjtime", "256",           "100",        "now",
                                 "adjtimex",      "32769",         "-3000000",   "now"},
                                {"TEMPUS_SHIM_CLOCK_LOG=" + dir_ + "/clock.log", "LD_PRELOAD=" + order});
        sp.faketime_file = offsets;
        const double before = seconds(CLOCK_REALTIME);
        const std::vector<std::string> out = run_lines(sp);
        std::vector<long> now;
        for (const std::string &l : out) {
            if (l.rfind("now ", 0) == 0) {
                now.push_back(std::strtol(l.substr(l.find("t=") + 2).c_str(), nullptr, 10));
            } else {
                EXPECT_NE(l.find(" rc="), std::string::npos);
                EXPECT_EQ(l.find("rc=-1"), std::string::npos) << l;
            }
        }
        // Each reading is the target of the correction before it (the probe
        // takes well under a second between a correction and its reading).
        const std::vector<long> expected = {static_cast<long>(before) - 7200,
                                            2000000000,
                                            2000000005,
                                            2000000003,
                                            1900000000,
                                            1800000000,
                                            1800000100,
                                            1800000097};
        ASSERT_EQ(now.size(), expected.size());
        EXPECT_NEAR(now[0], expected[0], 2);
        for (size_t i = 1; i < now.size(); ++i) {
            EXPECT_NEAR(now[i], expected[i], 1) << "reading " << i;
        }
        const std::string left = tproc::read_file(offsets);
        EXPECT_TRUE(left[0] == '+' || left[0] == '-') << left;
    }
}

} // namespace
