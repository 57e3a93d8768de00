// The NTP hand-over's building blocks against Debian's real chronyd: the
// emulator's telegrams read and stamped at byte 0 as the service does it,
// made into samples and delivered over SOCK and SHM; chronyd's refclocks.log
// must show the offset the emulator knows to be true.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "link/dcf_protocol.h"
#include "link/rd_wr_rp.h"
#include "tests/support/chronyd.h"
#include "tests/support/emu_process.h"
#include "timesvc/ntp_log_policy.h"
#include "timesvc/ntp_shm.h"
#include "timesvc/ntp_sock.h"

namespace {

// Telegram minus the local time of day of `seconds`, folded into half a day
// either way: the cycle's D without its hour correction.
long long telegram_difference(const unsigned char *telegram, time_t seconds)
{
    struct tm local = {};
    localtime_r(&seconds, &local);
    const long long d = (telegram[DCF_OFS_HOUR] - local.tm_hour) * 3600LL +
                        (telegram[DCF_OFS_MINUTE] - local.tm_min) * 60LL +
                        (telegram[DCF_OFS_SECOND] - local.tm_sec);
    return d > 43200 ? d - 86400 : (d < -43200 ? d + 86400 : d);
}

struct Delivered {
    ntp_sample sample;
    double truth; // the offset the emulator knows; NAN when it logged no write
};

// Reads `count` telegrams, stamps each at byte 0, hands its sample to
// `deliver`, and finds the truth in the emulator's log: at its write, the
// receiver's time was the telegram's second plus one character.
template <typename Deliver>
std::vector<Delivered> deliver_telegrams(horolan_test::EmuProcess &emu, int count, Deliver deliver)
{
    const int fd = open(emu.slave_path.c_str(), O_RDWR | O_NOCTTY);
    EXPECT_EQ(set_port_paramers(fd, 50, 14, 48, 1, 1, 0), 0);
    time_request_to_DCF(fd, 1);
    std::vector<Delivered> done;
    for (int n = 0; n < count; ++n) {
        unsigned char t[DCF_TELEGRAM_SIZE];
        struct timespec arrival = {};
        for (int i = 0; i < DCF_TELEGRAM_SIZE; ++i) {
            EXPECT_EQ(read_char(fd, &t[i]), SERIAL_OK);
            if (i == 0)
                clock_gettime(CLOCK_REALTIME, &arrival);
        }
        EXPECT_EQ(validate_telegram(t), TELEGRAM_VALID);
        Delivered d{{}, NAN};
        EXPECT_EQ(ntp_make_sample(arrival, telegram_difference(t, arrival.tv_sec), &d.sample), 0);
        deliver(d.sample);
        done.push_back(d);
    }
    close(fd);
    horolan_test::emu_wait_telegrams(emu, done.size(), 1000); // a write is logged after it is made
    for (Delivered &d : done) {
        const long long arrival_us = d.sample.arrival.tv_sec * 1000000LL + d.sample.arrival.tv_nsec / 1000;
        for (const horolan_test::EmuSent &sent : horolan_test::emu_telegrams(emu)) {
            if (arrival_us >= sent.at_us && arrival_us - sent.at_us < 200000) {
                d.truth = static_cast<double>(telegram_difference(sent.bytes.data(), sent.at_us / 1000000)) +
                          NTP_CHAR_TIME_NS / 1e9 - static_cast<double>(sent.at_us % 1000000) / 1e6;
            }
        }
    }
    return done;
}

// Every sample must be in chronyd's log (found by its offset: once chronyd
// has selected the source it logs its own corrected times), its error against
// the truth within 3 ms in the median and 30 ms at worst.
void expect_logged_offsets(const chrony_test::Chronyd &chronyd, const std::vector<Delivered> &delivered,
                           double expected, const char *what)
{
    ASSERT_TRUE(chrony_test::chronyd_wait_samples(chronyd, delivered.size(), 4000));
    std::vector<double> errors;
    for (const Delivered &d : delivered) {
        EXPECT_NEAR(d.truth, expected, 0.01) << "the emulator did not send when asked";
        for (const chrony_test::RefclockSample &row : chrony_test::chronyd_samples(chronyd)) {
            if (row.refid == "DCF" && std::fabs(row.raw_offset - d.sample.offset) < 2e-6)
                errors.push_back(std::fabs(row.raw_offset - d.truth));
        }
    }
    ASSERT_EQ(errors.size(), delivered.size()) << "not every sample reached chronyd's log";
    std::sort(errors.begin(), errors.end());
    std::printf("[ chronyd  ] %s: %zu samples, error median %.3f ms, worst %.3f ms\n", what, errors.size(),
                errors[errors.size() / 2] * 1e3, errors.back() * 1e3);
    EXPECT_LE(errors[errors.size() / 2], 0.003);
    EXPECT_LE(errors.back(), 0.030);
}

class E2EChronyd : public ::testing::Test {
protected:
    // Starts chronyd with one refclock line; false (the test skipped, or
    // failed, with the reason) when that cannot be.
    bool start(const std::string &refclock, const std::string &ready_path, int ready_unit)
    {
        std::string why;
        const int up = chrony_test::chronyd_start(&chronyd, {refclock}, ready_path, ready_unit, &why);
        if (up == chrony_test::CHRONYD_REFUSED)
            [&why] {
                GTEST_SKIP() << why;
            }();
        else
            EXPECT_EQ(up, chrony_test::CHRONYD_UP) << why;
        return up == chrony_test::CHRONYD_UP;
    }

    chrony_test::Chronyd chronyd;
    std::string sock = chronyd.dir + "/dcf.sock";
    horolan_test::EmuProcess emu;
};

TEST_F(E2EChronyd, SockSamplesShowTheReceiversOffsetRealTime)
{
    if (!start("refclock SOCK " + sock + " refid DCF poll 0 filter 1", sock, -1))
        return;
    // A second ahead, sent 750 ms into the second: 0.25 s ahead.
    ASSERT_TRUE(horolan_test::emu_start({"--at-ms", "750", "--offset", "1", "--minute-ms", "1000"}, &emu));
    const std::vector<Delivered> delivered = deliver_telegrams(emu, 5, [&](const ntp_sample &s) {
        ntp_sock_sample datagram{};
        ntp_sock_fill(&s, &datagram);
        EXPECT_EQ(ntp_sock_send(sock.c_str(), &datagram), 0) << strerror(errno);
    });
    expect_logged_offsets(chronyd, delivered, 0.25 + NTP_CHAR_TIME_NS / 1e9, "SOCK");
}

TEST_F(E2EChronyd, ShmSamplesShowTheReceiversOffsetRealTime)
{
    const int unit = chrony_test::free_shm_unit();
    // dpoll -2: chronyd looks four times a second, so no sample is overwritten unread.
    if (!start("refclock SHM " + std::to_string(unit) + ":perm=0666 refid DCF poll 0 dpoll -2 filter 1", "",
               unit))
        return;
    ntp_shm_time *segment = ntp_shm_attach(unit);
    ASSERT_NE(segment, nullptr);
    // Sent 12 ms into the second: 0.012 s behind.
    ASSERT_TRUE(horolan_test::emu_start({"--at-ms", "12", "--minute-ms", "1000"}, &emu));
    const std::vector<Delivered> delivered =
        deliver_telegrams(emu, 5, [&](const ntp_sample &s) { ntp_shm_write(segment, &s); });
    expect_logged_offsets(chronyd, delivered, -0.012 + NTP_CHAR_TIME_NS / 1e9, "SHM");
    ntp_shm_detach(segment);
}

// No chronyd yet: delivery fails and is logged once; with chronyd up the
// very next sample reaches it, nothing to reconnect.
TEST_F(E2EChronyd, AbsentThenStartedFailsOnceThenDeliversRealTime)
{
    ntp_log_state log{};
    ntp_sock_sample datagram{};
    std::vector<ntp_log_line> lines;
    for (int n = 0; n < 2; ++n) {
        EXPECT_EQ(ntp_sock_send(sock.c_str(), &datagram), -1);
        EXPECT_EQ(errno, ENOENT);
        lines.push_back(ntp_log_decide(&log, false, 0.0));
    }
    if (!start("refclock SOCK " + sock + " refid DCF poll 0 filter 1", sock, -1))
        return;
    for (int n = 0; n < 2; ++n) {
        struct timespec now = {};
        clock_gettime(CLOCK_REALTIME, &now);
        ntp_sample s{};
        // In step with the clock, below the 0.5 s logged on every sample.
        ASSERT_EQ(ntp_make_sample(now, now.tv_nsec >= 500000000 ? 1 : 0, &s), 0);
        ntp_sock_fill(&s, &datagram);
        const bool delivered = ntp_sock_send(sock.c_str(), &datagram) == 0;
        EXPECT_TRUE(delivered) << strerror(errno);
        lines.push_back(ntp_log_decide(&log, delivered, datagram.offset));
        usleep(300 * 1000);
    }
    EXPECT_EQ(lines, (std::vector<ntp_log_line>{NTP_LOG_NOT_DELIVERED, NTP_LOG_NONE, NTP_LOG_DELIVERED,
                                                NTP_LOG_NONE}));
    ASSERT_TRUE(chrony_test::chronyd_wait_samples(chronyd, 2, 3000));
    EXPECT_NEAR(chrony_test::chronyd_samples(chronyd).back().raw_offset, datagram.offset, 1e-6);
}

} // namespace
