#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "tests/support/emu_process.h"
#include "tests/support/proc.h"
#include "tests/support/utc_time.h"

namespace {

const char *const kZone = "Europe/Warsaw";

// Each test gets a scratch directory for the clock log and, when it needs
// one, an emulated receiver on a pseudo-terminal that nobody may open.
class E2EExTikora : public ::testing::Test {
protected:
    void SetUp() override { scratch = tproc::make_scratch_dir(); }
    void TearDown() override
    {
        horolan_test::emu_stop(&emu);
        tproc::remove_tree(scratch);
    }

    // The receiver sends local time of kZone, shifted by offset seconds.
    void start_receiver(std::vector<std::string> options, long long offset = 0)
    {
        options.push_back("--offset");
        options.push_back(std::to_string(offset));
        const char *old_tz = getenv("TZ");
        std::string saved = old_tz != nullptr ? old_tz : "";
        setenv("TZ", kZone, 1);
        bool started = horolan_test::emu_start(options, &emu);
        if (old_tz != nullptr) {
            setenv("TZ", saved.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        ASSERT_TRUE(started);
        ASSERT_EQ(chmod(emu.slave_path.c_str(), 0666), 0);
    }

    tproc::Result run_ex_tikora(const std::vector<std::string> &args, std::vector<std::string> env = {})
    {
        tproc::Spawn sp;
        sp.argv = {EX_TIKORA_PATH};
        sp.argv.insert(sp.argv.end(), args.begin(), args.end());
        sp.cwd = scratch;
        sp.as_nobody = true;
        sp.with_shim = true;
        env.push_back(std::string("TZ=") + kZone);
        env.push_back("TEMPUS_SHIM_CLOCK_LOG=" + clock_log());
        sp.env = env;
        sp.timeout_ms = 15000;
        return tproc::run(sp);
    }

    std::string clock_log() const { return scratch + "/clock.log"; }

    // Seconds of every clock step recorded.
    std::vector<long long> clock_steps() const
    {
        std::vector<long long> steps;
        for (const std::string &line : tproc::split_lines(tproc::read_file(clock_log()))) {
            const std::string prefix = "clock_settime ";
            EXPECT_EQ(line.rfind(prefix, 0), 0U) << line;
            EXPECT_EQ(line.substr(line.size() - 2), " 0") << line;
            steps.push_back(std::strtoll(line.c_str() + prefix.size(), nullptr, 10));
        }
        return steps;
    }

    // The instant the receiver's n-th telegram stood for, once the emulator
    // has logged it (after sending it, maybe after ex_tikora ended).
    long long telegram_instant(size_t n, long long offset) const
    {
        EXPECT_TRUE(horolan_test::emu_wait_telegrams(emu, n + 1, 5000));
        std::vector<horolan_test::EmuSent> sent = horolan_test::emu_telegrams(emu);
        EXPECT_GT(sent.size(), n);
        return sent.size() > n ? sent[n].at_ms / 1000 + offset : -1;
    }

    std::string scratch;
    horolan_test::EmuProcess emu;
};

TEST_F(E2EExTikora, WrongArgumentCountPrintsUsage)
{
    const std::string usage = std::string("Usage :\n  ") + EX_TIKORA_PATH + " special_file_name\n";
    for (const std::vector<std::string> &args : {std::vector<std::string>{}, {"/dev/null", "/dev/null"}}) {
        tproc::Result r = run_ex_tikora(args);
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, usage);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(tproc::file_exists(clock_log()));
}

TEST_F(E2EExTikora, MissingDeviceIsReported)
{
    tproc::Result r = run_ex_tikora({"/nonexistent/term/a"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Error TIKORA_ERR_OPEN while opening serial device /nonexistent/term/a\n");
    EXPECT_FALSE(tproc::file_exists(clock_log()));
}

TEST_F(E2EExTikora, SetsTheClockFromWinterAndSummerTelegrams)
{
    const struct {
        const char *what;
        time_t target; // a moment of local time in kZone, as UTC
    } cases[] = {
        {"winter 1996, CET", utc_time(1996, 1, 15, 11, 30, 0)},
        {"summer 2026, CEST", utc_time(2026, 7, 15, 10, 30, 0)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const long long offset = static_cast<long long>(c.target) - time(nullptr);
        start_receiver({}, offset);
        tproc::Result r = run_ex_tikora({emu.slave_path});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, "");
        std::vector<long long> steps = clock_steps();
        ASSERT_EQ(steps.size(), 1U);
        EXPECT_NEAR(steps[0], telegram_instant(0, offset), 2);
        EXPECT_NEAR(steps[0], c.target, 10);
        EXPECT_EQ(horolan_test::emu_host_byte_values(emu), (std::vector<unsigned char>{0x40, 0x78}));
        horolan_test::emu_stop(&emu);
        unlink(clock_log().c_str());
    }
}

TEST_F(E2EExTikora, AsksAgainWhileTheTimeIsUncertain)
{
    start_receiver({"--uncertain", "1"});
    tproc::Result r = run_ex_tikora({emu.slave_path});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(horolan_test::emu_host_byte_values(emu), (std::vector<unsigned char>{0x40, 0x78, 0x78}));
    std::vector<long long> steps = clock_steps();
    ASSERT_EQ(steps.size(), 1U);
    ASSERT_NE(telegram_instant(0, 0), telegram_instant(1, 0));
    EXPECT_EQ(steps[0], telegram_instant(1, 0)) << "the clock follows the second telegram";
}

TEST_F(E2EExTikora, DamagedTelegramsEndSilentlyWithoutSettingTheClock)
{
    const std::vector<std::string> faults[] = {{"--bad-checksum", "1"}, {"--bad-fields", "1"}};
    for (const std::vector<std::string> &fault : faults) {
        SCOPED_TRACE(fault[0]);
        start_receiver(fault);
        tproc::Result r = run_ex_tikora({emu.slave_path});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(clock_steps().empty());
        EXPECT_EQ(horolan_test::emu_host_byte_values(emu), (std::vector<unsigned char>{0x40, 0x78}));
        horolan_test::emu_stop(&emu);
    }
}

TEST_F(E2EExTikora, FailureToSetTheClockIsReported)
{
    start_receiver({});
    tproc::Result r = run_ex_tikora({emu.slave_path}, {"TEMPUS_SHIM_CLOCK_FAIL=1"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Cannot set the system clock: Operation not permitted\n");
    EXPECT_EQ(clock_steps().size(), 1U) << "the attempt was made";
}

TEST_F(E2EExTikora, SilentReceiverEndsWithinTheReadWaitRealTime)
{
    start_receiver({"--silent"});
    auto started = std::chrono::steady_clock::now();
    tproc::Result r = run_ex_tikora({emu.slave_path});
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_LT(took, std::chrono::seconds(6));
    EXPECT_TRUE(clock_steps().empty());
}

} // namespace
