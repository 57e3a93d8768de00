#include "oneshot/tikora.h"
#include "oneshot/tikora_io.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "tests/support/proc.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes valid_telegram()
{
    return {0xBB, 12, 30, 0, 96, 7, 15, 1, 33, 0xC5};
}

Bytes with_byte(Bytes telegram, size_t index, unsigned char value)
{
    telegram[index] = value;
    return telegram;
}

// Everything waiting on a non-blocking descriptor.
Bytes drain(int fd)
{
    Bytes got;
    unsigned char buf[64];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            return got;
        }
        got.insert(got.end(), buf, buf + n);
    }
}

void put(int fd, const Bytes &bytes)
{
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// The layer's descriptor is one end of a socket pair; the test plays the receiver on the other.
class TikoraLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        rs_fd = pair[0];
        receiver = pair[1];
        fcntl(receiver, F_SETFL, O_NONBLOCK);
        tempus_tikora_io.read_wait_ms = 300;
    }
    void TearDown() override
    {
        tikora_io_restore_defaults();
        if (rs_fd >= 0) {
            close(rs_fd);
        }
        rs_fd = -1;
        close(receiver);
    }

    int receiver = -1;
};

TEST_F(TikoraLine, RefusesBadArgumentsWithoutWriting)
{
    TIKORA_packet packet = {};
    EXPECT_EQ(_tikora_read_time(0x41, &packet, 20), TIKORA_ERR_BAD_DATA);
    EXPECT_EQ(_tikora_read_time(0x78, nullptr, 20), TIKORA_ERR_BAD_DATA);
    EXPECT_EQ(_tikora_read_time(0x78, &packet, -1), TIKORA_ERR_BAD_DATA);
    unsigned out = 0;
    EXPECT_EQ(tikora_read_time(0x178, &out, &out, &out, &out, &out, &out, &out, &out), TIKORA_ERR_BAD_DATA);
    EXPECT_TRUE(drain(receiver).empty());
}

TEST_F(TikoraLine, SendsTheCommandByteBeforeReading)
{
    put(receiver, valid_telegram());
    TIKORA_packet packet = {};
    EXPECT_EQ(_tikora_read_time(0x75, &packet, 20), TIKORA_OK);
    EXPECT_EQ(drain(receiver), Bytes{0x75});
}

struct TelegramCase {
    const char *what;
    Bytes telegram;
    int result;
    unsigned valid;
};

TEST_F(TikoraLine, ChecksEachTelegram)
{
    const Bytes valid = valid_telegram();
    const TelegramCase cases[] = {
        {"valid", valid, TIKORA_OK, 1},
        {"alternative start byte", with_byte(valid, 0, 0xBA), TIKORA_OK, 1},
        {"uncertain", with_byte(valid, 9, 0xD2), TIKORA_OK, 0},
        {"checksum 34", with_byte(valid, 8, 34), TIKORA_ERR_BAD_CHECKSUM, 0},
        {"start 0xBC", with_byte(valid, 0, 0xBC), TIKORA_ERR_BAD_CHECKSUM, 0},
        {"status 0x00", with_byte(valid, 9, 0x00), TIKORA_ERR_BAD_CHECKSUM, 0},
        {"sum 255 needs 127", {0xBB, 99, 99, 57, 0, 0, 0, 0, 127, 0xC5}, TIKORA_OK, 1},
        {"sum 128 needs 0", {0xBB, 23, 59, 46, 0, 0, 0, 0, 0, 0xC5}, TIKORA_OK, 1},
        {"sum 128 with checksum 128", {0xBB, 23, 59, 46, 0, 0, 0, 0, 128, 0xC5}, TIKORA_ERR_BAD_CHECKSUM, 0},
    };
    for (const TelegramCase &c : cases) {
        SCOPED_TRACE(c.what);
        put(receiver, c.telegram);
        // year, month, day, weekday, hour, minute, second, valid
        std::vector<unsigned> out(8, 999);
        ASSERT_EQ(
            tikora_read_time(0x78, &out[0], &out[1], &out[2], &out[3], &out[4], &out[5], &out[6], &out[7]),
            c.result);
        EXPECT_EQ(drain(receiver), Bytes{0x78});
        EXPECT_EQ(0, memcmp(&data, c.telegram.data(), 10)) << "data keeps the bytes read";
        const Bytes &t = c.telegram;
        const std::vector<unsigned> expected =
            c.result == TIKORA_OK ? std::vector<unsigned>{t[4], t[5], t[6], t[7], t[1], t[2], t[3], c.valid}
                                  : std::vector<unsigned>(8, 999);
        EXPECT_EQ(out, expected);
    }
}

TEST_F(TikoraLine, CollectsATelegramArrivingInPieces)
{
    const Bytes valid = valid_telegram();
    std::thread sender([this, &valid] {
        for (size_t from : {0, 3, 7}) {
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            size_t to = from == 7 ? 10 : (from == 0 ? 3 : 7);
            Bytes piece(valid.begin() + static_cast<long>(from), valid.begin() + static_cast<long>(to));
            (void)write(receiver, piece.data(), piece.size());
        }
    });
    TIKORA_packet packet = {};
    EXPECT_EQ(_tikora_read_time(0x78, &packet, 20), TIKORA_OK);
    sender.join();
    EXPECT_EQ(packet.hour, 12);
    EXPECT_EQ(packet.status, 0xC5);
}

TEST_F(TikoraLine, ShortTelegramIsATimeOutEvenAfterAnEarlierError)
{
    const Bytes valid = valid_telegram();
    put(receiver, Bytes(valid.begin(), valid.begin() + 9));
    TIKORA_packet packet = {};
    errno = EINVAL;
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(_tikora_read_time(0x78, &packet, 20), TIKORA_ERR_TIMEOUT);
    auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    EXPECT_LT(waited, std::chrono::milliseconds(2000));
    EXPECT_EQ(0, memcmp(&packet, valid.data(), 9)) << "the packet holds what was read";
}

TEST_F(TikoraLine, WriteFailureComesBeforeAnyRead)
{
    close(rs_fd);
    rs_fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(rs_fd, 0);
    TIKORA_packet packet = {};
    EXPECT_EQ(_tikora_read_time(0x78, &packet, 20), TIKORA_ERR_WRITE);
}

TEST(TikoraReadError, LineThatFailsIsAReadError)
{
    // A terminal master whose other side is gone accepts the command but fails the read.
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    close(slave);
    rs_fd = master;
    TIKORA_packet packet = {};
    EXPECT_EQ(_tikora_read_time(0x78, &packet, 20), TIKORA_ERR_READ);
    EXPECT_NE(errno, 0);
    close(master);
    rs_fd = -1;
}

// A FIFO stands in for the device file: tikora_open can open it by name and
// the test reads what was sent from its other end.
class TikoraDeviceFile : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (const std::string &path : made) {
            unlink(path.c_str());
        }
        if (listener >= 0) {
            close(listener);
        }
    }

    // A FIFO whose path is exactly `length` characters long.
    std::string make_fifo(size_t length)
    {
        std::string path = "/tmp/tikora_" + std::to_string(getpid()) + "_";
        path.append(length - path.size(), 'f');
        unlink(path.c_str());
        EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
        made.push_back(path);
        listener = open(path.c_str(), O_RDONLY | O_NONBLOCK);
        return path;
    }

    std::vector<std::string> made;
    int listener = -1;
};

TEST_F(TikoraDeviceFile, OpenSendsOneIntervalByteAndCloseOnlyOnce)
{
    std::string path = make_fifo(34);
    ASSERT_EQ(tikora_open(path.c_str()), TIKORA_OK);
    EXPECT_GE(rs_fd, 0);
    EXPECT_NE(fcntl(rs_fd, F_GETFL) & O_NONBLOCK, 0) << "a read must never wait past the read wait";
    // The FIFO is open for reading and writing by the layer too, so read it here first.
    EXPECT_EQ(drain(listener), Bytes{0x40});
    EXPECT_EQ(tikora_close(), TIKORA_OK);
    EXPECT_EQ(tikora_close(), TIKORA_ERR_CLOSE);
    rs_fd = -1;
}

TEST_F(TikoraDeviceFile, NamesThatDoNotFitAreRefused)
{
    std::string path = make_fifo(35);
    rs_fd = 99;
    EXPECT_EQ(tikora_open(path.c_str()), TIKORA_ERR_OPEN);
    EXPECT_EQ(rs_fd, -1);
    EXPECT_TRUE(drain(listener).empty());

    std::string very_long(4096, 'x');
    EXPECT_EQ(tikora_open(very_long.c_str()), TIKORA_ERR_OPEN);
}

TEST(TikoraOpen, MissingDeviceIsAnOpenError)
{
    rs_fd = 99;
    EXPECT_EQ(tikora_open("/nonexistent/term/a"), TIKORA_ERR_OPEN);
    EXPECT_EQ(rs_fd, -1);
}

TEST(TikoraOpen, AnythingButALineIsRefusedUnwritten)
{
    const std::string dir = tproc::make_scratch_dir();
    const std::string file = dir + "/plik";
    const std::string directory = dir + "/katalog";
    ASSERT_TRUE(tproc::write_file(file, ""));
    ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
    // Character devices of other classes are refused before their driver is
    // reached: /dev/zero would take the request, a watchdog would arm.
    for (const std::string &path : {file, directory, std::string("/dev/zero"), std::string("/dev/null")}) {
        SCOPED_TRACE(path);
        int result = tikora_open(path.c_str());
        EXPECT_EQ(result, TIKORA_ERR_OPEN);
        if (result == TIKORA_OK) {
            (void)tikora_close();
        }
    }
    EXPECT_EQ(tproc::read_file(file), "");
    tproc::remove_tree(dir);
}

TEST(TikoraOpen, LineHeldExclusivelyIsLeftAlone)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::string slave = ptsname(master);
    int holder = open(slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(ioctl(holder, TIOCEXCL), 0);

    int result = tikora_open(slave.c_str());
    EXPECT_EQ(result, TIKORA_ERR_OPEN) << "root passes TIOCEXCL at open: the line must be asked";
    if (result == TIKORA_OK) {
        (void)tikora_close();
    }
    EXPECT_TRUE(drain(master).empty());
    struct termios line = {};
    ASSERT_EQ(tcgetattr(holder, &line), 0);
    EXPECT_NE(line.c_lflag & ICANON, 0U) << "the holder's line settings were changed";
    rs_fd = -1;
    close(holder);
    close(master);
}

TEST(TikoraOpen, TerminalIsPutIntoTheReceiversRawMode)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::string slave = ptsname(master);
    int keep_open = open(slave.c_str(), O_RDWR | O_NOCTTY); // the line keeps its settings between opens
    ASSERT_GE(keep_open, 0);
    ASSERT_LT(slave.size(), 35U);
    // A second run finds the line as the first left it: the pseudo-terminal's
    // refusal of parity is no failure.
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        ASSERT_EQ(tikora_open(slave.c_str()), TIKORA_OK);

        struct termios line = {};
        ASSERT_EQ(tcgetattr(keep_open, &line), 0);
        EXPECT_EQ(cfgetispeed(&line), static_cast<speed_t>(B19200));
        EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B19200));
        // A pseudo-terminal keeps no parity or stop bits; the character size it does keep.
        EXPECT_EQ(line.c_cflag & (CSIZE | CRTSCTS), static_cast<tcflag_t>(CS8));
        EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG), 0U);
        EXPECT_EQ(line.c_iflag & (PARMRK | IXON | IXOFF | ICRNL | ISTRIP), 0U);
        EXPECT_EQ(line.c_oflag & OPOST, 0U);

        unsigned char sent = 0;
        EXPECT_EQ(read(master, &sent, 1), 1);
        EXPECT_EQ(sent, 0x40);
        EXPECT_EQ(tikora_close(), TIKORA_OK);
    }
    rs_fd = -1;
    close(keep_open);
    close(master);
}

} // namespace
