#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "tests/support/proc.h"
#include "timesvc/ntp_sock.h"

namespace {

ntp_sock_sample datagram_for(time_t sec, long nsec, long long d)
{
    ntp_sample s{};
    EXPECT_EQ(ntp_make_sample({sec, nsec}, d, &s), 0);
    ntp_sock_sample datagram;
    memset(&datagram, 0xA5, sizeof datagram);
    ntp_sock_fill(&s, &datagram);
    return datagram;
}

// chronyd reads the datagram as raw bytes: timeval, double, four ints.
TEST(NtpSock, DatagramHasChronysFortyByteLayout)
{
    if (sizeof(struct timeval) != 16)
        GTEST_SKIP() << "layout checked only where timeval is 16 bytes";
    const ntp_sock_sample d = datagram_for(1790000000, 123456789, -2);
    unsigned char b[40];
    ASSERT_EQ(sizeof d, sizeof b);
    memcpy(b, &d, sizeof b);
    int64_t sec = 0;
    int64_t usec = 0;
    double offset = 0;
    memcpy(&sec, b, 8);
    memcpy(&usec, b + 8, 8);
    memcpy(&offset, b + 16, 8);
    EXPECT_EQ(sec, 1790000000);
    EXPECT_EQ(usec, 123456);
    // Measured from the microsecond in tv: the 789 ns cut off are added back.
    EXPECT_DOUBLE_EQ(offset, (-2e9 + 572917 - 123456000) / 1e9);
    const unsigned char rest[] = {0, 0, 0, 0, 0,    0,    0,    0,
                                  0, 0, 0, 0, 0x4b, 0x43, 0x4f, 0x53}; // pulse, leap, pad, "SOCK"
    EXPECT_EQ(memcmp(b + 24, rest, sizeof rest), 0);
}

int bound_socket(const std::string &path)
{
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    EXPECT_EQ(bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a), 0);
    return fd;
}

// The lowest free descriptor: unchanged when nothing was left open.
int next_descriptor()
{
    const int fd = dup(0);
    close(fd);
    return fd;
}

TEST(NtpSock, SendsOneDatagramOrFailsAtOnceKeepingNothingOpen)
{
    const std::string dir = tproc::make_scratch_dir();
    const ntp_sock_sample d = datagram_for(1790000000, 5000, 0);
    const int receiver = bound_socket(dir + "/dcf.sock");
    close(bound_socket(dir + "/stale.sock")); // as a stopped chronyd leaves it
    const int full = bound_socket(dir + "/full.sock");
    int queued = 0;
    while (queued < 100000 && ntp_sock_send((dir + "/full.sock").c_str(), &d) == 0)
        ++queued; // never blocks: the loop ends when the queue is full

    struct {
        const char *name;
        std::string path;
        int error;
    } const cases[] = {
        {"listening", dir + "/dcf.sock", 0},
        {"no socket", dir + "/none.sock", ENOENT},
        {"no one listening", dir + "/stale.sock", ECONNREFUSED},
        {"queue full", dir + "/full.sock", EAGAIN},
        {"path longer than sun_path", "/" + std::string(sizeof(sockaddr_un::sun_path), 'x'), ENAMETOOLONG},
    };
    const int first_free = next_descriptor();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        errno = 0;
        EXPECT_EQ(ntp_sock_send(c.path.c_str(), &d), c.error == 0 ? 0 : -1);
        EXPECT_EQ(errno, c.error);
        EXPECT_EQ(next_descriptor(), first_free);
    }
    unsigned char got[64];
    EXPECT_EQ(recv(receiver, got, sizeof got, MSG_DONTWAIT), static_cast<ssize_t>(sizeof d));
    EXPECT_EQ(memcmp(got, &d, sizeof d), 0);
    close(full);
    close(receiver);
    tproc::remove_tree(dir);
}

} // namespace
