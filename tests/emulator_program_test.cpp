#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include "tests/support/emu_process.h"

namespace {

using horolan_test::EmuProcess;
using horolan_test::EmuSent;

long long steady_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

long long realtime_ns()
{
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// One character at 19200 baud, 11 bits: the pace of a real receiver's line.
constexpr long long CHAR_NS = 572917;

// Reads `count` bytes as they come, with read_ns[k] the moment byte k was read.
bool read_each_byte(int fd, unsigned char *buf, int count, long long *read_ns)
{
    for (int got = 0; got < count;) {
        const ssize_t n = read(fd, buf + got, static_cast<size_t>(count - got));
        if (n <= 0)
            return false;
        const long long now = realtime_ns();
        for (ssize_t i = 0; i < n; ++i)
            read_ns[got++] = now;
    }
    return true;
}

// A host that sets nothing on the line, sends 0x40 once and a command byte
// before each telegram gets one whole telegram within about a second, its
// bytes no faster than the line's pace: byte k is never there sooner than k
// character times after the emulator began to send.
TEST(E2EEmulator, AnswersEachLoneCommandWithOneTelegramRealTime)
{
    EmuProcess emu;
    ASSERT_TRUE(horolan_test::emu_start({"--uncertain", "1", "--start-byte", "0xBA"}, &emu));
    const int fd = open(emu.slave_path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    const unsigned char interval_zero = 0x40;
    ASSERT_EQ(write(fd, &interval_zero, 1), 1);
    const unsigned char statuses[] = {0xD2, 0xC5};
    long long read_ns[2][10] = {};
    for (int t = 0; t < 2; ++t) {
        const unsigned char command = 0x78;
        ASSERT_EQ(write(fd, &command, 1), 1);
        const long long start = steady_ms();
        unsigned char buf[16] = {};
        ASSERT_TRUE(read_each_byte(fd, buf, 10, read_ns[t]));
        EXPECT_LT(steady_ms() - start, 1500);
        EXPECT_EQ(buf[0], 0xBA);
        EXPECT_EQ(buf[9], statuses[t]);
    }
    // Exactly one telegram per command, and nothing more.
    usleep(500 * 1000);
    const std::vector<horolan_test::EmuSent> sent = horolan_test::emu_telegrams(emu);
    ASSERT_EQ(sent.size(), 2u);
    for (int t = 0; t < 2; ++t)
        for (int k = 0; k < 10; ++k)
            EXPECT_GE(read_ns[t][k] - k * CHAR_NS, sent[t].at_us * 1000) << "telegram " << t << " byte " << k;
    EXPECT_EQ(horolan_test::emu_host_byte_values(emu), (std::vector<unsigned char>{0x40, 0x78, 0x78}));
    close(fd);
    EXPECT_EQ(horolan_test::emu_stop(&emu), 0);
}

TEST(E2EEmulator, PeriodicTelegramsAtFastPaceCarryTheOffsetRealTime)
{
    EmuProcess emu;
    ASSERT_TRUE(horolan_test::emu_start(
        {"--minute-ms", "150", "--no-align", "--offset", "-3600", "--telegrams", "4", "--linger-ms", "100"},
        &emu));
    const int fd = open(emu.slave_path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    const unsigned char request[] = {0x78, 0x42}; // every 2 minutes = 300 ms
    ASSERT_EQ(write(fd, request, 2), 2);
    EXPECT_EQ(horolan_test::emu_wait_exit(&emu, 3000), 0) << horolan_test::emu_log_text(emu);
    const std::vector<EmuSent> sent = horolan_test::emu_telegrams(emu);
    ASSERT_EQ(sent.size(), 4u);
    for (size_t i = 0; i < sent.size(); ++i) {
        ASSERT_EQ(sent[i].bytes.size(), 10u);
        const time_t shifted = static_cast<time_t>(sent[i].at_ms / 1000 - 3600);
        struct tm tm {};
        localtime_r(&shifted, &tm);
        EXPECT_EQ(sent[i].bytes[1], tm.tm_hour);
        EXPECT_EQ(sent[i].bytes[2], tm.tm_min);
        EXPECT_EQ(sent[i].bytes[3], tm.tm_sec);
        if (i > 0) {
            EXPECT_NEAR(static_cast<double>(sent[i].at_ms - sent[i - 1].at_ms), 300.0, 120.0);
        }
    }
    close(fd);
}

TEST(E2EEmulator, SilentEmulatorLogsRequestsButNeverAnswersRealTime)
{
    EmuProcess emu;
    ASSERT_TRUE(horolan_test::emu_start({"--silent", "--minute-ms", "100"}, &emu));
    const int fd = open(emu.slave_path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    const unsigned char request[] = {0x78, 0x41};
    ASSERT_EQ(write(fd, request, 2), 2);
    ASSERT_TRUE(horolan_test::emu_wait_host_bytes(emu, 2, 2000));
    usleep(600 * 1000);
    EXPECT_TRUE(horolan_test::emu_telegrams(emu).empty());
    close(fd);
}

// Reads up to `want` bytes arriving within `timeout_ms`.
std::vector<unsigned char> read_for(int fd, size_t want, int timeout_ms)
{
    std::vector<unsigned char> got;
    const long long end = steady_ms() + timeout_ms;
    while (got.size() < want) {
        const long long left = end - steady_ms();
        struct pollfd pfd {
            fd, POLLIN, 0
        };
        if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) <= 0)
            break;
        unsigned char buf[64];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        got.insert(got.end(), buf, buf + n);
    }
    return got;
}

TEST(E2EEmulator, ServesATerminalDeviceNamedOnTheCommandLineRealTime)
{
    const int host = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(host, 0);
    ASSERT_EQ(grantpt(host), 0);
    ASSERT_EQ(unlockpt(host), 0);
    char device[64] = {};
    ASSERT_EQ(ptsname_r(host, device, sizeof device), 0);
    EmuProcess emu;
    ASSERT_TRUE(horolan_test::emu_start({"--device", device, "--no-align"}, &emu));
    EXPECT_EQ(emu.slave_path, device);
    const unsigned char request[] = {0x78, 0x40};
    ASSERT_EQ(write(host, request, 2), 2);
    const std::vector<unsigned char> got = read_for(host, 10, 2000);
    ASSERT_EQ(got.size(), 10u);
    EXPECT_EQ(got[0], 0xBB);
    EXPECT_EQ(got[9], 0xC5);
    EXPECT_EQ(horolan_test::emu_stop(&emu), 0);
    close(host);
}

// Like a serial port nobody has open, the line keeps nothing for the next host.
TEST(E2EEmulator, NextHostDoesNotGetTelegramsSentBeforeItOpenedRealTime)
{
    EmuProcess emu;
    ASSERT_TRUE(horolan_test::emu_start({"--no-align", "--minute-ms", "100"}, &emu));
    int fd = open(emu.slave_path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    const unsigned char request[] = {0x78, 0x41};
    ASSERT_EQ(write(fd, request, 2), 2);
    ASSERT_TRUE(horolan_test::emu_wait_telegrams(emu, 3, 2000));
    close(fd);
    fd = open(emu.slave_path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    const unsigned char stop = 0x40;
    ASSERT_EQ(write(fd, &stop, 1), 1);
    ASSERT_TRUE(horolan_test::emu_wait_host_bytes(emu, 3, 1000));
    usleep(200 * 1000); // a telegram sent just before the stop may still come
    const std::vector<unsigned char> left = read_for(fd, 100, 300);
    EXPECT_LE(left.size(), 10u) << horolan_test::emu_log_text(emu);
    close(fd);
}

// As on a serial port, a host's exclusive mode ends with the last close: a
// service that has ended must not lock the next one out.
TEST(E2EEmulator, ExclusiveModeEndsWhenTheLastHostClosesRealTime)
{
    EmuProcess emu;
    ASSERT_TRUE(horolan_test::emu_start({}, &emu));
    int fd = open(emu.slave_path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ioctl(fd, TIOCEXCL), 0);
    close(fd);
    const std::string closed = "note last host closed the line";
    for (int i = 0; i < 200 && horolan_test::emu_log_text(emu).find(closed) == std::string::npos; ++i)
        usleep(10 * 1000);
    fd = open(emu.slave_path.c_str(), O_RDWR | O_NOCTTY); // root opens it even while exclusive: ask the line
    ASSERT_GE(fd, 0) << horolan_test::emu_log_text(emu);
    int exclusive = -1;
    ASSERT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << horolan_test::emu_log_text(emu);
    close(fd);
}

} // namespace
