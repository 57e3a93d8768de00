#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "link/rd_wr_rp.h"
#include "tests/support/fakes.h"

namespace {

// A pipe preloaded with bytes; the write end is closed so that reading past
// them returns 0, which the line layer takes as a read time-out.
struct LoadedPipe {
    int rd = -1;
    explicit LoadedPipe(const std::vector<unsigned char> &bytes)
    {
        int p[2];
        EXPECT_EQ(pipe(p), 0);
        if (!bytes.empty()) {
            EXPECT_EQ(write(p[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        }
        close(p[1]);
        rd = p[0];
    }
    ~LoadedPipe() { close(rd); }
    std::vector<unsigned char> rest() const
    {
        std::vector<unsigned char> out;
        unsigned char b;
        while (read(rd, &b, 1) == 1)
            out.push_back(b);
        return out;
    }
};

struct ReadCase {
    const char *name;
    std::vector<unsigned char> line;
    int rc;
    unsigned char byte;
    std::vector<unsigned char> rest;
};

const unsigned char kUntouched = 0x5A;

TEST(LinkReadChar, DecodesMarkedSequences)
{
    const ReadCase cases[] = {
        {"plain byte", {0x41, 0x42}, SERIAL_OK, 0x41, {0x42}},
        {"plain zero", {0x00, 0x42}, SERIAL_OK, 0x00, {0x42}},
        {"escaped 0xFF", {0xFF, 0xFF, 0x42}, SERIAL_OK, 0xFF, {0x42}},
        {"parity mark", {0xFF, 0x00, 0x41, 0x42}, SERIAL_PARITY_ERROR, 0x41, {0x42}},
        {"parity mark on 0xFF", {0xFF, 0x00, 0xFF, 0x42}, SERIAL_PARITY_ERROR, 0xFF, {0x42}},
        {"break", {0xFF, 0x00, 0x00, 0x42}, SERIAL_SYNC_ERROR, 0xFF, {0x42}},
        {"unknown mark", {0xFF, 0x41, 0x42}, SERIAL_UNEXPECTED_CHAR, 0xFF, {0x42}},
        {"cut after 0xFF", {0xFF}, SERIAL_UNEXPECTED_CHAR, 0xFF, {}},
        {"cut after 0xFF 0x00", {0xFF, 0x00}, SERIAL_UNEXPECTED_CHAR, 0xFF, {}},
        {"silence", {}, SERIAL_TIMEOUT, kUntouched, {}},
    };
    for (const ReadCase &c : cases) {
        SCOPED_TRACE(c.name);
        LoadedPipe line(c.line);
        unsigned char byte = kUntouched;
        EXPECT_EQ(read_char(line.rd, &byte), c.rc);
        EXPECT_EQ(byte, c.byte);
        EXPECT_EQ(line.rest(), c.rest);
    }
}

TEST(LinkReadChar, FailedReadIsReadErrorAndStoresNothing)
{
    unsigned char byte = kUntouched;
    EXPECT_EQ(read_char(-1, &byte), SERIAL_READ_ERROR);
    EXPECT_EQ(byte, kUntouched);
}

TEST(LinkWriteChar, WritesOneByteAndReportsFailure)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_EQ(write_char(p[1], 0xFF), SERIAL_OK);
    unsigned char got[2] = {0, 0};
    EXPECT_EQ(read(p[0], got, 2), 1);
    EXPECT_EQ(got[0], 0xFF);
    close(p[0]);
    close(p[1]);
    EXPECT_EQ(write_char(p[1], 0x41), SERIAL_WRITE_ERROR);
}

// A pseudo-terminal pair standing in for the receiver's port.
struct Pty {
    int master = -1;
    int slave = -1;
    Pty()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(master, 0);
        EXPECT_EQ(grantpt(master), 0);
        EXPECT_EQ(unlockpt(master), 0);
        slave = open(ptsname(master), O_RDWR | O_NOCTTY);
        EXPECT_GE(slave, 0);
    }
    ~Pty()
    {
        close(slave);
        close(master);
    }
    void send(const std::vector<unsigned char> &bytes)
    {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        // Let the line discipline move the bytes over to the slave's input queue.
        for (int i = 0; i < 100; ++i) {
            int queued = 0;
            ioctl(slave, FIONREAD, &queued);
            if (queued > 0)
                return;
            usleep(1000);
        }
    }
};

// A pseudo-terminal drops parity; the C library then reports a repeated
// setting as failed although the line took the rest. The service puts its
// settings back every cycle, so that must be no failure.
TEST(LinkPty, ConfiguredLineTimesOutAndDecodesDoubledFF)
{
    Pty pty;
    testing::internal::CaptureStderr();
    for (int run = 0; run < 3; ++run)
        ASSERT_EQ(set_port_paramers(pty.slave, 1, 14, 48, 1, 1, 0), 0) << "setting " << run;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    unsigned char byte = kUntouched;
    EXPECT_EQ(read_char(pty.slave, &byte), SERIAL_TIMEOUT);
    EXPECT_EQ(byte, kUntouched);

    // With PARMRK the driver doubles a received 0xFF; it comes out as one byte.
    pty.send({0xFF, 0x41});
    EXPECT_EQ(read_char(pty.slave, &byte), SERIAL_OK);
    EXPECT_EQ(byte, 0xFF);
    EXPECT_EQ(read_char(pty.slave, &byte), SERIAL_OK);
    EXPECT_EQ(byte, 0x41);
}

TEST(LinkPty, ZeroTimeoutAndFlush)
{
    Pty pty;
    ASSERT_EQ(set_port_paramers(pty.slave, 1, 14, 48, 1, 1, 0), 0);
    ASSERT_EQ(set_port_timeout(pty.slave, 0), 0); // reads now return at once

    pty.send({0x41, 0x42});
    EXPECT_EQ(flush_port(pty.slave, 0), 0);
    unsigned char byte = kUntouched;
    EXPECT_EQ(read_char(pty.slave, &byte), SERIAL_TIMEOUT);

    pty.send({0x43});
    testing::internal::CaptureStderr();
    EXPECT_EQ(flush_port(pty.slave, 3), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ERROR: invalid indicator of buffer(input and/or output).\n"
              "Indicator set to <input and output> buffer.\n");
    EXPECT_EQ(read_char(pty.slave, &byte), SERIAL_TIMEOUT);
    EXPECT_EQ(byte, kUntouched);
}

TEST(LinkConfig, NonTerminalFailsWithoutEndingTheProcess)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(set_port_paramers(p[0], 200, 14, 48, 1, 1, 0), -1);
    EXPECT_EQ(set_port_timeout(p[0], 200), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ERROR: tcgetattr failed: rc = -1\nERROR: tcgetattr failed: rc = -1\n");
    EXPECT_EQ(flush_port(p[0], 0), -1);
    close(p[0]);
    close(p[1]);
}

// The port as a previous user may have left it: cooked, translating, ignoring
// carriage returns, parity errors and breaks, flow-controlled, receiver off,
// odd parity, 5 bits.
class LinkConfigSeam : public testing::Test {
protected:
    void SetUp() override
    {
        struct termios &port = terminal.port;
        port.c_iflag = BRKINT | ISTRIP | INLCR | ICRNL | IUCLC | IXON | IGNCR | IGNPAR | IGNBRK | IXOFF |
                       IXANY | IMAXBEL;
        port.c_oflag = OPOST | ONLCR;
        port.c_cflag = CS5 | CSTOPB | PARENB | PARODD | HUPCL | CRTSCTS;
        port.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
        port.c_cc[VMIN] = 1;
        cfsetospeed(&port, B300);
        cfsetispeed(&port, B300);
    }
    const struct termios &written() const { return terminal.written; }

    fakes::FakeTerminal terminal;
};

TEST_F(LinkConfigSeam, ServiceSettings)
{
    testing::internal::CaptureStderr();
    ASSERT_EQ(set_port_paramers(7, 200, 14, 48, 1, 1, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(terminal.set_calls, 1);
    EXPECT_EQ(terminal.written_when, TCSANOW);
    const struct termios &t = written();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B19200));

    EXPECT_EQ(t.c_iflag & (BRKINT | ISTRIP | INLCR | ICRNL | IUCLC | IXON), 0u);
    EXPECT_EQ(t.c_iflag & (IGNCR | IGNPAR | IGNBRK | IXOFF | IXANY), 0u)
        << "no byte dropped, no flow control";
    EXPECT_EQ(t.c_iflag & (PARMRK | INPCK), static_cast<tcflag_t>(PARMRK | INPCK));
    EXPECT_EQ(t.c_iflag & IMAXBEL, static_cast<tcflag_t>(IMAXBEL));

    EXPECT_EQ(t.c_oflag, static_cast<tcflag_t>(ONLCR));

    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (CSTOPB | PARODD), 0u);
    EXPECT_EQ(t.c_cflag & PARENB, static_cast<tcflag_t>(PARENB));
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL | HUPCL), static_cast<tcflag_t>(CREAD | CLOCAL | HUPCL))
        << "receiver on, modem lines ignored, the rest kept";
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);

    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 200);
}

struct ArgCase {
    const char *name;
    int timeout, baud, size, stop;
    const char *message;
    int vtime;
    speed_t speed;
    tcflag_t csize;
    bool cstopb;
};

TEST_F(LinkConfigSeam, ArgumentsAreCheckedAndReplaced)
{
    const ArgCase cases[] = {
        {"timeout 256", 256, 14, 48, 1, "ERROR: invalid value of timeout.\nTimeout set to 0.2s.\n", 2, B19200,
         CS8, false},
        {"timeout -1", -1, 14, 48, 1, "ERROR: invalid value of timeout.\nTimeout set to 0.2s.\n", 2, B19200,
         CS8, false},
        {"speed 16", 200, 16, 48, 1, "ERROR: invalid value of baud_rate.\nBaud_rate set to 9600.\n", 200,
         B9600, CS8, false},
        {"size as bit count", 200, 14, 8, 1,
         "ERROR: invalid value of character size.\nCharacter size set to 8.\n", 200, B19200, CS8, false},
        {"stop bits 0", 200, 14, 48, 0,
         "ERROR: invalid number of stop bits.\nNumber of stop bits set to 1.\n", 200, B19200, CS8, false},
        {"all bad, in order", 300, 99, 1, 3,
         "ERROR: invalid value of timeout.\nTimeout set to 0.2s.\n"
         "ERROR: invalid value of baud_rate.\nBaud_rate set to 9600.\n"
         "ERROR: invalid value of character size.\nCharacter size set to 8.\n"
         "ERROR: invalid number of stop bits.\nNumber of stop bits set to 1.\n",
         2, B9600, CS8, false},
        {"low limits", 0, 0, 0, 2, "", 0, B0, CS5, true},
        {"high limits", 255, 15, 48, 1, "", 255, B38400, CS8, false},
        {"134.5 baud, 6 bits", 10, 4, 16, 1, "", 10, B134, CS6, false},
        {"200 baud, 7 bits", 10, 6, 32, 2, "", 10, B200, CS7, true},
    };
    for (const ArgCase &c : cases) {
        SCOPED_TRACE(c.name);
        // Start from 8 bits so that a smaller size must replace, not merge.
        terminal.port.c_cflag = (terminal.port.c_cflag & ~CSIZE) | CS8;
        testing::internal::CaptureStderr();
        EXPECT_EQ(set_port_paramers(3, c.timeout, c.baud, c.size, c.stop, 1, 0), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
        const struct termios &t = written();
        EXPECT_EQ(t.c_cc[VTIME], c.vtime);
        EXPECT_EQ(cfgetospeed(&t), c.speed);
        EXPECT_EQ(cfgetispeed(&t), c.speed);
        EXPECT_EQ(t.c_cflag & CSIZE, c.csize);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.cstopb);
    }
}

TEST_F(LinkConfigSeam, ParityFlags)
{
    struct {
        int on, odd;
        bool parenb, parodd;
    } const cases[] = {{1, 0, true, false}, {1, 5, true, true}, {0, 1, false, false}, {0, 0, false, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "parity " << c.on << " odd " << c.odd);
        ASSERT_EQ(set_port_paramers(3, 200, 14, 48, 1, c.on, c.odd), 0);
        EXPECT_EQ((written().c_cflag & PARENB) != 0, c.parenb);
        EXPECT_EQ((written().c_cflag & PARODD) != 0, c.parodd);
    }
}

TEST_F(LinkConfigSeam, FailedWriteBackReturnsMinusOne)
{
    terminal.set_result = -1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(set_port_paramers(3, 200, 14, 48, 1, 1, 0), -1);
    EXPECT_EQ(set_port_timeout(3, 200), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ERROR: tcsetattr failed: rc = -1\nERROR: tcsetattr failed: rc = -1\n");
}

TEST_F(LinkConfigSeam, TimeoutChangesOnlyVtime)
{
    struct {
        int timeout;
        const char *message;
        int vtime;
    } const cases[] = {
        {0, "", 0}, {255, "", 255}, {256, "ERROR: invalid value of timeout.\nTimeout set to 0.2s.\n", 2}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.timeout);
        testing::internal::CaptureStderr();
        ASSERT_EQ(set_port_timeout(3, c.timeout), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
        struct termios expected = terminal.port;
        expected.c_cc[VTIME] = static_cast<cc_t>(c.vtime);
        EXPECT_EQ(std::memcmp(&written(), &expected, sizeof expected), 0);
    }
}

} // namespace
