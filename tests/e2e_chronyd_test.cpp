// tempusd /N against Debian's real chronyd: the emulator sends at a known
// fraction of a second with a known offset, tempusd (as nobody, under the
// interposer) hands each telegram to chronyd over SOCK or SHM, and chronyd's
// refclocks.log must show the true offset; no clock call is ever made.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/chronyd.h"
#include "tests/support/e2e_tempusd.h"
#include "timesvc/ntp_sample.h"

namespace {

const char kNotDelivered[] = "Nie mozna przekazac probki czasu serwerowi NTP.";
const char kDelivered[] = "Przekazano probke czasu serwerowi NTP. Przesuniecie o ";

class E2EChronyd : public tempusd_e2e::Fixture {
protected:
    // Starts chronyd with one refclock line; false, with the test skipped
    // (AppArmor, no chronyd) or failed, when that cannot be.
    bool start_chronyd(const std::string &refclock, const std::string &ready_path, int ready_unit)
    {
        std::string why;
        const int up = chrony_test::chronyd_start(&chronyd, {refclock}, ready_path, ready_unit, &why);
        if (up == chrony_test::CHRONYD_REFUSED) {
            [&why] {
                GTEST_SKIP() << why;
            }();
            return false;
        }
        EXPECT_EQ(up, chrony_test::CHRONYD_UP) << why;
        return up == chrony_test::CHRONYD_UP;
    }

    // The truth of each telegram the emulator sent `ahead_s` ahead of the
    // clock: at its write the receiver's time was the second it carries, and
    // byte 0 is complete one character later.
    std::vector<double> true_offsets(long ahead_s) const
    {
        std::vector<double> truths;
        for (const horolan_test::EmuSent &sent : horolan_test::emu_telegrams(emu))
            truths.push_back(static_cast<double>(ahead_s) - static_cast<double>(sent.at_us % 1000000) / 1e6 +
                             NTP_CHAR_TIME_NS / 1e9);
        return truths;
    }

    // Every sample chronyd logged is within 3 ms (median) and 30 ms (worst)
    // of the truth: loose bounds that catch whole-second and hour errors.
    void expect_true_offsets(long ahead_s, size_t at_least, const char *what)
    {
        ASSERT_TRUE(chrony_test::chronyd_wait_samples(chronyd, at_least, 8000)) << log_text();
        const std::vector<double> truths = true_offsets(ahead_s);
        ASSERT_FALSE(truths.empty());
        std::vector<double> errors;
        for (const chrony_test::RefclockSample &row : chrony_test::chronyd_samples(chronyd)) {
            double error = 1e9;
            for (double truth : truths)
                error = std::min(error, std::fabs(row.raw_offset - truth));
            errors.push_back(error);
        }
        std::sort(errors.begin(), errors.end());
        std::printf("[ chronyd  ] %s: %zu samples, error median %.3f ms, worst %.3f ms\n", what,
                    errors.size(), errors[errors.size() / 2] * 1e3, errors.back() * 1e3);
        EXPECT_LE(errors[errors.size() / 2], 0.003);
        EXPECT_LE(errors.back(), 0.030);
        EXPECT_EQ(clock_record(), "") << "with /N the clock is never touched";
    }

    // The offset of the first "Przekazano probke ..." line; NAN when there is none.
    double first_logged_offset() const
    {
        const std::string prefix = kDelivered;
        for (const std::string &m : log_messages())
            if (m.compare(0, prefix.size(), prefix) == 0)
                return std::stod(m.substr(prefix.size()));
        return NAN;
    }

    chrony_test::Chronyd chronyd;
    std::string sock = chronyd.dir + "/dcf.sock";
};

// One sample alone may come a scheduler tick or two late on a busy machine
// (the kernel worker that hands the line's bytes over waits behind other
// work; bench/README.md): the first logged offset is judged to within that.
constexpr double FIRST_SAMPLE_LEEWAY = 0.015;

TEST_F(E2EChronyd, SockSamplesShowTheReceiversOffsetRealTime)
{
    if (!start_chronyd("refclock SOCK " + sock + " refid DCF poll 0 filter 1", sock, -1))
        return;
    // A second ahead, sent 750 ms into the second: 0.25 s ahead.
    ASSERT_TRUE(start_emulator({"--at-ms", "750", "--offset", "1", "--minute-ms", "1000"}));

    const tproc::Result r = tempusd({"/T1", "/N" + sock});

    ASSERT_EQ(r.exit_code, 0) << r.err;
    expect_true_offsets(1, 4, "SOCK");
    EXPECT_TRUE(wait_log_message(
        "Instalacja programu obslugi zegara Horolan zakonczona pomyslnie (/C1 /T1 /N" + sock + ").", 1000));
    EXPECT_NEAR(first_logged_offset(), 0.25 + NTP_CHAR_TIME_NS / 1e9, FIRST_SAMPLE_LEEWAY) << log_text();
}

TEST_F(E2EChronyd, ShmSamplesShowTheReceiversOffsetRealTime)
{
    const int unit = chrony_test::free_shm_unit();
    // dpoll -2: chronyd looks four times a second, so no sample is overwritten unread.
    if (!start_chronyd("refclock SHM " + std::to_string(unit) +
                           ":perm=0666 refid DCF poll 0 dpoll -2 filter 1",
                       "", unit))
        return;
    // Sent 12 ms into the second, in step: 0.012 s behind.
    ASSERT_TRUE(start_emulator({"--at-ms", "12", "--minute-ms", "1000"}));

    const tproc::Result r = tempusd({"/T1", "/N" + std::to_string(unit)});

    ASSERT_EQ(r.exit_code, 0) << r.err;
    expect_true_offsets(0, 4, "SHM");
    EXPECT_NEAR(first_logged_offset(), -0.012 + NTP_CHAR_TIME_NS / 1e9, FIRST_SAMPLE_LEEWAY) << log_text();
}

// No chronyd yet: the failure is logged once for the run of failures; with
// chronyd up the next sample reaches it, nothing to reconnect.
TEST_F(E2EChronyd, AbsentThenStartedFailsOnceThenDeliversRealTime)
{
    ASSERT_TRUE(start_emulator({"--at-ms", "100", "--minute-ms", "1000"}));
    ASSERT_EQ(tempusd({"/T1", "/N" + sock}).exit_code, 0);
    ASSERT_TRUE(horolan_test::emu_wait_telegrams(emu, 3, 5000));
    ASSERT_TRUE(wait_log_message(kNotDelivered, 2000)) << log_text();

    if (!start_chronyd("refclock SOCK " + sock + " refid DCF poll 0 filter 1", sock, -1))
        return;
    ASSERT_TRUE(chrony_test::chronyd_wait_samples(chronyd, 2, 5000)) << log_text();

    std::vector<std::string> ntp_lines;
    for (const std::string &m : log_messages())
        if (m == kNotDelivered || m.compare(0, sizeof kDelivered - 1, kDelivered) == 0)
            ntp_lines.push_back(m.substr(0, 20));
    EXPECT_EQ(ntp_lines, (std::vector<std::string>{std::string(kNotDelivered).substr(0, 20),
                                                   std::string(kDelivered).substr(0, 20)}))
        << log_text();
    EXPECT_EQ(clock_record(), "");
}

} // namespace
