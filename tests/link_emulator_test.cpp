#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "link/dcf_protocol.h"
#include "link/rd_wr_rp.h"
#include "tests/support/emu_process.h"

namespace {

using horolan_test::EmuProcess;

// Opens the emulator's line and configures it as the service does, with a
// 2 s read time-out instead of 20 s.
int open_configured_line(const EmuProcess &emu)
{
    const int fd = open(emu.slave_path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return -1;
    if (set_port_paramers(fd, 20, 14, 48, 1, 1, 0) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::vector<unsigned char> read_telegram(int fd)
{
    std::vector<unsigned char> buf;
    for (int i = 0; i < DCF_TELEGRAM_SIZE; ++i) {
        unsigned char c = 0;
        const int rc = read_char(fd, &c);
        if (rc != SERIAL_OK) {
            ADD_FAILURE() << "read_char " << rc << " at byte " << i;
            break;
        }
        buf.push_back(c);
    }
    return buf;
}

TEST(E2ELinkEmulator, ConfiguredLineReadsRequestedTelegramsWithDoubledFFRealTime)
{
    EmuProcess emu;
    ASSERT_TRUE(horolan_test::emu_start({"--minute-ms", "1000", "--ff-byte"}, &emu));
    const int fd = open_configured_line(emu);
    ASSERT_GE(fd, 0);
    flush_port(fd, FLUSH_INPUT);
    time_request_to_DCF(fd, 1);

    // The weekday byte 0xFF reaches the host as 0xFF 0xFF and is read as one byte;
    // the next telegram follows one (fast) minute later.
    for (int n = 1; n <= 2; ++n) {
        const std::vector<unsigned char> buf = read_telegram(fd);
        ASSERT_EQ(buf.size(), 10u);
        EXPECT_EQ(validate_telegram(buf.data()), TELEGRAM_VALID);
        EXPECT_EQ(buf[DCF_OFS_WEEKDAY], 0xFF);
        ASSERT_TRUE(horolan_test::emu_wait_telegrams(emu, static_cast<size_t>(n), 1000));
        const horolan_test::EmuSent sent = horolan_test::emu_telegrams(emu)[static_cast<size_t>(n - 1)];
        EXPECT_EQ(sent.bytes, buf);

        // The telegram carries the local time of the whole second it left at.
        const time_t at = static_cast<time_t>(sent.at_ms / 1000);
        struct tm tm {};
        localtime_r(&at, &tm);
        EXPECT_LT(sent.at_ms % 1000, 200);
        EXPECT_EQ(buf[DCF_OFS_HOUR], tm.tm_hour);
        EXPECT_EQ(buf[DCF_OFS_MINUTE], tm.tm_min);
        EXPECT_EQ(buf[DCF_OFS_SECOND], tm.tm_sec);
    }
    const std::vector<horolan_test::EmuSent> sent = horolan_test::emu_telegrams(emu);
    EXPECT_NEAR(static_cast<double>(sent[1].at_ms - sent[0].at_ms), 1000.0, 150.0);
    EXPECT_EQ(horolan_test::emu_host_byte_values(emu), (std::vector<unsigned char>{0x78, 0x41}));
    close(fd);
}

// With parity marking switched off on the host side the emulator's marked
// sequences arrive verbatim, as a real line would mark the errors.
TEST(E2ELinkEmulator, LineErrorMarksAreDecodedRealTime)
{
    struct Case {
        const char *option;
        int result;
        unsigned char byte;
    } cases[] = {
        {"--parity-error", SERIAL_PARITY_ERROR, 0xBB},
        {"--break", SERIAL_SYNC_ERROR, 0xFF},
    };
    for (const Case &c : cases) {
        EmuProcess emu;
        ASSERT_TRUE(horolan_test::emu_start({c.option, "1", "--no-align"}, &emu));
        const int fd = open_configured_line(emu);
        ASSERT_GE(fd, 0);
        struct termios tio {};
        ASSERT_EQ(tcgetattr(fd, &tio), 0);
        tio.c_iflag &= ~static_cast<tcflag_t>(PARMRK);
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &tio), 0);

        time_request_to_DCF(fd, 0);
        unsigned char byte = 0;
        EXPECT_EQ(read_char(fd, &byte), c.result) << c.option;
        EXPECT_EQ(byte, c.byte) << c.option;
        close(fd);
    }
}

TEST(E2ELinkEmulator, HangUpEndsTheLineWithAReadErrorRealTime)
{
    EmuProcess emu;
    ASSERT_TRUE(horolan_test::emu_start({"--hangup-after", "1", "--linger-ms", "200"}, &emu));
    const int fd = open_configured_line(emu);
    ASSERT_GE(fd, 0);
    time_request_to_DCF(fd, 60);
    EXPECT_EQ(read_telegram(fd).size(), 10u);
    unsigned char byte = 0;
    EXPECT_EQ(read_char(fd, &byte), SERIAL_READ_ERROR);
    EXPECT_EQ(read_char(fd, &byte), SERIAL_TIMEOUT);
    close(fd);
    // The emulator itself keeps running until it is stopped.
    EXPECT_EQ(horolan_test::emu_stop(&emu), 0);
}

} // namespace
