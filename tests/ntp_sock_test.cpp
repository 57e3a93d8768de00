#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "tests/support/proc.h"
#include "timesvc/ntp_sock.h"

namespace {

ntp_sample sample_at(time_t sec, long nsec, long long d)
{
    ntp_sample s{};
    EXPECT_EQ(ntp_make_sample({sec, nsec}, d, &s), 0);
    return s;
}

template <typename T>
T field_at(const unsigned char *bytes, size_t offset)
{
    T value{};
    memcpy(&value, bytes + offset, sizeof value);
    return value;
}

// chronyd reads the datagram as raw bytes: timeval, double, four ints.
TEST(NtpSock, DatagramHasChronysFortyByteLayout)
{
    if (sizeof(struct timeval) != 16 || sizeof(double) != 8 || sizeof(int) != 4)
        GTEST_SKIP() << "layout checked only where timeval is 16 bytes";
    ASSERT_EQ(sizeof(ntp_sock_sample), 40u);
    const ntp_sample s = sample_at(1790000000, 123456789, -2);
    ntp_sock_sample d{};
    memset(&d, 0xA5, sizeof d);
    ntp_sock_fill(&s, &d);
    unsigned char bytes[40];
    memcpy(bytes, &d, sizeof bytes);

    EXPECT_EQ(field_at<int64_t>(bytes, 0), 1790000000);
    EXPECT_EQ(field_at<int64_t>(bytes, 8), 123456);
    // Measured from the microsecond in tv: the 789 ns cut off are added back.
    EXPECT_DOUBLE_EQ(field_at<double>(bytes, 16), (-2e9 + 572917 - 123456000) / 1e9);
    EXPECT_EQ(field_at<int32_t>(bytes, 24), 0); // pulse
    EXPECT_EQ(field_at<int32_t>(bytes, 28), 0); // leap
    EXPECT_EQ(field_at<int32_t>(bytes, 32), 0); // padding, no stale bytes
    const unsigned char magic[] = {0x4b, 0x43, 0x4f, 0x53};
    EXPECT_EQ(memcmp(bytes + 36, magic, 4), 0);
}

int open_descriptors()
{
    int n = 0;
    DIR *dir = opendir("/proc/self/fd");
    while (dir != nullptr && readdir(dir) != nullptr)
        ++n;
    if (dir != nullptr)
        closedir(dir);
    return n;
}

int bound_receiver(const std::string &path)
{
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    EXPECT_EQ(bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a), 0);
    return fd;
}

long long monotonic_ms()
{
    struct timespec t = {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

TEST(NtpSock, SendsOneWholeDatagramAndKeepsNothingOpen)
{
    const std::string dir = tproc::make_scratch_dir();
    const int receiver = bound_receiver(dir + "/dcf.sock");
    ntp_sock_sample d{};
    const ntp_sample s = sample_at(1790000000, 5000, 0);
    ntp_sock_fill(&s, &d);
    const int before = open_descriptors();
    ASSERT_EQ(ntp_sock_send((dir + "/dcf.sock").c_str(), &d), 0);
    EXPECT_EQ(open_descriptors(), before);
    unsigned char got[64];
    EXPECT_EQ(recv(receiver, got, sizeof got, MSG_DONTWAIT), static_cast<ssize_t>(sizeof d));
    EXPECT_EQ(memcmp(got, &d, sizeof d), 0);
    close(receiver);
    tproc::remove_tree(dir);
}

TEST(NtpSock, FailsAtOnceWithTheReason)
{
    const std::string dir = tproc::make_scratch_dir();
    ntp_sock_sample d{};
    const ntp_sample s = sample_at(1790000000, 5000, 0);
    ntp_sock_fill(&s, &d);

    // A socket file whose owner has gone, as a stopped chronyd leaves it.
    close(bound_receiver(dir + "/stale.sock"));
    // A receiver that never reads: its queue fills up.
    const int full = bound_receiver(dir + "/full.sock");
    const long long started = monotonic_ms();
    int sent = 0;
    while (sent < 100000 && ntp_sock_send((dir + "/full.sock").c_str(), &d) == 0)
        ++sent;
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_LT(monotonic_ms() - started, 2000);

    struct {
        const char *name;
        std::string path;
        int error;
    } const cases[] = {
        {"no socket", dir + "/none.sock", ENOENT},
        {"no one listening", dir + "/stale.sock", ECONNREFUSED},
        {"queue full", dir + "/full.sock", EAGAIN},
        {"path longer than sun_path", "/" + std::string(sizeof(sockaddr_un::sun_path), 'x'), ENAMETOOLONG},
    };
    const int before = open_descriptors();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        errno = 0;
        EXPECT_EQ(ntp_sock_send(c.path.c_str(), &d), -1);
        EXPECT_EQ(errno, c.error);
    }
    EXPECT_EQ(open_descriptors(), before);
    close(full);
    tproc::remove_tree(dir);
}

} // namespace
