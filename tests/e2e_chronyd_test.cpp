// The building blocks of the NTP hand-over against Debian's real chronyd:
// telegrams from the emulator, stamped at byte 0 as the service stamps
// them, made into samples and delivered over SOCK and SHM; chronyd's
// refclocks.log must show the offset the emulator knows to be true.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "link/dcf_protocol.h"
#include "tests/support/chronyd.h"
#include "tests/support/emu_process.h"
#include "timesvc/ntp_log_policy.h"
#include "timesvc/ntp_sample.h"
#include "timesvc/ntp_shm.h"
#include "timesvc/ntp_sock.h"

namespace {

using chrony_test::Chronyd;
using chrony_test::RefclockSample;

struct Reading {
    struct timespec arrival;
    unsigned char telegram[DCF_TELEGRAM_SIZE];
};

bool read_byte(int fd, unsigned char *byte, int timeout_ms)
{
    struct pollfd pfd = {fd, POLLIN, 0};
    return poll(&pfd, 1, timeout_ms) == 1 && read(fd, byte, 1) == 1;
}

// Byte 0 is stamped with CLOCK_REALTIME the moment it is read, as the cycle does.
bool read_stamped_telegram(int fd, Reading *r)
{
    if (!read_byte(fd, &r->telegram[0], 3000))
        return false;
    clock_gettime(CLOCK_REALTIME, &r->arrival);
    for (int i = 1; i < DCF_TELEGRAM_SIZE; ++i) {
        if (!read_byte(fd, &r->telegram[i], 1000))
            return false;
    }
    return validate_telegram(r->telegram) == TELEGRAM_VALID;
}

// Whole seconds from the local time of day of `seconds` to the telegram's,
// folded into half a day either way (the cycle's D without its corrections).
long long telegram_difference(const unsigned char *telegram, time_t seconds)
{
    struct tm local = {};
    localtime_r(&seconds, &local);
    long long d = (telegram[DCF_OFS_HOUR] - local.tm_hour) * 3600LL +
                  (telegram[DCF_OFS_MINUTE] - local.tm_min) * 60LL +
                  (telegram[DCF_OFS_SECOND] - local.tm_sec);
    if (d > 43200)
        d -= 86400;
    if (d < -43200)
        d += 86400;
    return d;
}

// The offset the emulator knows: at its write the receiver's byte 0 is
// complete, so its time is the telegram's second plus one character.
double true_offset(const unsigned char *telegram, long long sent_us)
{
    const time_t sec = static_cast<time_t>(sent_us / 1000000);
    return static_cast<double>(telegram_difference(telegram, sec)) +
           static_cast<double>(NTP_CHAR_TIME_NS) / 1e9 - static_cast<double>(sent_us % 1000000) / 1e6;
}

struct Delivered {
    ntp_sample sample;
    long long arrival_us;
    double truth; // the offset the emulator knows, NAN if it logged no write
};

// Reads `count` telegrams from the emulator and hands each to `deliver`.
template <typename Deliver>
std::vector<Delivered> deliver_telegrams(horolan_test::EmuProcess &emu, int count, Deliver deliver)
{
    std::vector<Delivered> done;
    const int fd = open(emu.slave_path.c_str(), O_RDWR | O_NOCTTY);
    EXPECT_GE(fd, 0);
    const unsigned char request[] = {DCF_REQUEST_BYTE, DCF_INTERVAL_BASE | 1};
    EXPECT_EQ(write(fd, request, 2), 2);
    for (int n = 0; n < count; ++n) {
        Reading r{};
        if (!read_stamped_telegram(fd, &r))
            break;
        Delivered d{};
        EXPECT_EQ(ntp_make_sample(r.arrival, telegram_difference(r.telegram, r.arrival.tv_sec), &d.sample),
                  0);
        deliver(d.sample);
        d.arrival_us = r.arrival.tv_sec * 1000000LL + r.arrival.tv_nsec / 1000;
        done.push_back(d);
    }
    close(fd);
    // The emulator logs a write only after making it: look its moments up at the end.
    horolan_test::emu_wait_telegrams(emu, done.size(), 1000);
    for (Delivered &d : done) {
        d.truth = NAN;
        for (const horolan_test::EmuSent &sent : horolan_test::emu_telegrams(emu)) {
            if (sent.bytes.size() == DCF_TELEGRAM_SIZE && d.arrival_us >= sent.at_us &&
                d.arrival_us - sent.at_us < 200000)
                d.truth = true_offset(sent.bytes.data(), sent.at_us);
        }
    }
    return done;
}

// chronyd's rows matched to the samples; their errors against the truth
// must stay within 3 ms in the median and 30 ms at worst.
void expect_logged_offsets(const Chronyd &chronyd, const std::vector<Delivered> &delivered, double expected,
                           const char *what)
{
    ASSERT_GE(delivered.size(), 4u);
    ASSERT_TRUE(chrony_test::chronyd_wait_samples(chronyd, delivered.size(), 4000));
    const std::vector<RefclockSample> rows = chrony_test::chronyd_samples(chronyd);
    std::vector<double> errors;
    for (const Delivered &d : delivered) {
        ASSERT_FALSE(std::isnan(d.truth)) << "no emulator write before the reading";
        EXPECT_NEAR(d.truth, expected, 0.01) << "the emulator did not send when asked";
        // By the offset: once chronyd has picked the source, the times it logs
        // are its own corrected ones, no longer the samples' arrivals.
        for (const RefclockSample &row : rows) {
            if (row.refid == "DCF" && std::fabs(row.raw_offset - d.sample.offset) < 2e-6)
                errors.push_back(std::fabs(row.raw_offset - d.truth));
        }
    }
    ASSERT_EQ(errors.size(), delivered.size()) << "not every sample reached chronyd's log";
    std::sort(errors.begin(), errors.end());
    const double median = errors[errors.size() / 2];
    const double worst = errors.back();
    std::printf("[ chronyd  ] %s: %zu samples, error median %.3f ms, worst %.3f ms\n", what, errors.size(),
                median * 1e3, worst * 1e3);
    EXPECT_LE(median, 0.003);
    EXPECT_LE(worst, 0.030);
}

class E2EChronyd : public ::testing::Test {
protected:
    // Starts chronyd with one refclock line; false (the test skipped or
    // failed, with the reason) where that cannot be.
    bool start(const std::string &refclock, const std::string &ready_path, int ready_unit)
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

    Chronyd chronyd;
    horolan_test::EmuProcess emu;
};

TEST_F(E2EChronyd, SockSamplesShowTheReceiversOffsetRealTime)
{
    chrony_test::chronyd_prepare(&chronyd);
    const std::string sock = chronyd.dir + "/dcf.sock";
    if (!start("refclock SOCK " + sock + " refid DCF poll 0 filter 1", sock, -1))
        return;
    // The receiver a second ahead, its telegrams going out 750 ms into the
    // second: 0.25 s ahead of the system clock.
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
    ASSERT_GE(unit, 2);
    // dpoll -2: chronyd looks four times a second, so no sample is overwritten unread.
    if (!start("refclock SHM " + std::to_string(unit) + ":perm=0666 refid DCF poll 0 dpoll -2 filter 1", "",
               unit))
        return;
    ntp_shm_time *segment = ntp_shm_attach(unit);
    ASSERT_NE(segment, nullptr);
    // The receiver 12 ms behind the system clock.
    ASSERT_TRUE(horolan_test::emu_start({"--at-ms", "12", "--minute-ms", "1000"}, &emu));
    const std::vector<Delivered> delivered =
        deliver_telegrams(emu, 5, [&](const ntp_sample &s) { ntp_shm_write(segment, &s); });
    expect_logged_offsets(chronyd, delivered, -0.012 + NTP_CHAR_TIME_NS / 1e9, "SHM");
    ntp_shm_detach(segment);
}

// No chronyd yet: the delivery fails and is logged once; once chronyd is
// up the very next sample reaches it, with no reconnecting.
TEST_F(E2EChronyd, AbsentThenStartedFailsOnceThenDeliversRealTime)
{
    chrony_test::chronyd_prepare(&chronyd);
    const std::string sock = chronyd.dir + "/dcf.sock";
    ntp_log_state log{};
    ntp_sock_sample datagram{};
    std::vector<ntp_log_line> lines;
    for (int n = 0; n < 2; ++n) {
        errno = 0;
        EXPECT_EQ(ntp_sock_send(sock.c_str(), &datagram), -1);
        EXPECT_EQ(errno, ENOENT);
        lines.push_back(ntp_log_decide(&log, false, 0.0));
    }
    if (!start("refclock SOCK " + sock + " refid DCF poll 0 filter 1", sock, -1))
        return;
    std::vector<ntp_sample> sent;
    for (int n = 0; n < 2; ++n) {
        struct timespec now = {};
        clock_gettime(CLOCK_REALTIME, &now);
        ntp_sample s{};
        // In step with the clock: below the 0.5 s that is logged on every sample.
        ASSERT_EQ(ntp_make_sample(now, now.tv_nsec >= 500000000 ? 1 : 0, &s), 0);
        ntp_sock_fill(&s, &datagram);
        const bool delivered = ntp_sock_send(sock.c_str(), &datagram) == 0;
        EXPECT_TRUE(delivered) << strerror(errno);
        lines.push_back(ntp_log_decide(&log, delivered, datagram.offset));
        sent.push_back(s);
        usleep(300 * 1000);
    }
    EXPECT_EQ(lines, (std::vector<ntp_log_line>{NTP_LOG_NOT_DELIVERED, NTP_LOG_NONE, NTP_LOG_DELIVERED,
                                                NTP_LOG_NONE}));
    ASSERT_TRUE(chrony_test::chronyd_wait_samples(chronyd, 2, 3000));
    const std::vector<RefclockSample> rows = chrony_test::chronyd_samples(chronyd);
    EXPECT_NEAR(rows.back().raw_offset, sent.back().offset, 1e-6);
}

} // namespace
