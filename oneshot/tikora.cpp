#include "oneshot/tikora.h"

#include "oneshot/tikora_io.h"
#include "platform/line_device.h"
#include "platform/line_parity.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

const char *const error_name[8] = {
    "TIKORA_OK",        "TIKORA_ERR_OPEN",    "TIKORA_ERR_CLOSE",    "TIKORA_ERR_READ",
    "TIKORA_ERR_WRITE", "TIKORA_ERR_TIMEOUT", "TIKORA_ERR_BAD_DATA", "TIKORA_ERR_BAD_CHECKSUM",
};

const char *const vstr[2] = {"valid", "invalid"};

int rs_fd = -1;
TIKORA_packet data;

static_assert(sizeof(TIKORA_packet) == 10, "the telegram is ten bytes with no padding");

static constexpr int DEVICE_NAME_SIZE = 35;
static constexpr int TELEGRAM_SIZE = 10;

static int write_byte(char byte)
{
    return static_cast<int>(write(rs_fd, &byte, 1));
}

static int check_checksum(const TIKORA_packet *packet)
{
    unsigned sum = static_cast<unsigned>(packet->hour) + packet->minute + packet->second + packet->year +
                   packet->month + packet->day + packet->weekday;
    return (sum % 128U) == packet->checksum ? 1 : 0;
}

int _check_packet(const TIKORA_packet *packet) // NOLINT(bugprone-reserved-identifier)
{
    if (packet->start != TIKORA_START && packet->start != TIKORA_START_ALT) {
        return 0;
    }
    if (packet->status != TIKORA_STATUS_VALID && packet->status != TIKORA_STATUS_UNCERTAIN) {
        return 0;
    }
    return check_checksum(packet);
}

// The receiver talks 19200 baud, 8 data bits, even parity, 1 stop bit. Bytes
// that arrive with a parity or framing error are dropped rather than marked,
// so a damaged telegram comes short instead of passing the 7-bit checksum.
static int set_receiver_line(int fd)
{
    struct termios line = {};
    if (tcgetattr(fd, &line) != 0) {
        return -1;
    }
    cfmakeraw(&line);
    line.c_iflag &= ~static_cast<tcflag_t>(PARMRK | IXON | IXOFF | IXANY);
    line.c_iflag |= INPCK | IGNPAR | IGNBRK;
    line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARODD | CSTOPB | CRTSCTS);
    line.c_cflag |= CS8 | PARENB | CREAD | CLOCAL;
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    if (cfsetispeed(&line, B19200) != 0 || cfsetospeed(&line, B19200) != 0) {
        return -1;
    }
    // A pseudo-terminal has no parity; it takes the rest all the same.
    struct termios held = {};
    if (tcsetattr(fd, TCSANOW, &line) != 0 &&
        (tcgetattr(fd, &held) != 0 || !line_refused_only_parity(&line, &held))) {
        return -1;
    }
    return tcflush(fd, TCIFLUSH);
}

// A line another program holds exclusively (tempusd does) stays its own:
// our settings would end its read time-outs and we would share its bytes.
// Root opens such a line all the same, so the line is asked; one that cannot
// say counts as held.
static bool held_exclusively(int fd)
{
    return line_held_exclusively(fd) != 0;
}

// Opened without blocking so a serial port without carrier cannot hold the
// open, and left so: should another reader take a byte that poll announced,
// the read comes back empty instead of waiting past the read wait.
// Only a terminal, a FIFO or a socket is opened at all: anything else named
// by mistake (a regular file, a disk, a watchdog) never gets the bytes.
static int open_receiver(const char *path)
{
    int fd = open_line_device(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return -1;
    }
    if (isatty(fd) && (held_exclusively(fd) || set_receiver_line(fd) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

int tikora_open(const char *device_name)
{
    char path[DEVICE_NAME_SIZE];
    int length = snprintf(path, sizeof path, "%s", device_name);
    if (length < 0 || length >= DEVICE_NAME_SIZE) {
        rs_fd = -1;
        return TIKORA_ERR_OPEN;
    }
    rs_fd = open_receiver(path);
    if (rs_fd == -1) {
        return TIKORA_ERR_OPEN;
    }
    (void)write_byte(static_cast<char>(TIKORA_OPEN_BYTE));
    return TIKORA_OK;
}

int tikora_close()
{
    return close(rs_fd) == 0 ? TIKORA_OK : TIKORA_ERR_CLOSE;
}

static long monotonic_ms()
{
    struct timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long>(now.tv_sec) * 1000L + now.tv_nsec / 1000000L;
}

// Collects up to want bytes over as many reads as they take, until the read
// wait has passed. Returns the number of bytes read; *error is the errno of a
// failed read or poll, 0 when the bytes simply did not come.
static int read_within_wait(unsigned char *buf, int want, int *error)
{
    long deadline = monotonic_ms() + tempus_tikora_io.read_wait_ms;
    int got = 0;
    *error = 0;
    while (got < want) {
        long left = deadline - monotonic_ms();
        if (left <= 0) {
            break;
        }
        struct pollfd ready = {rs_fd, POLLIN, 0};
        int polled = poll(&ready, 1, static_cast<int>(left));
        if (polled == 0) {
            break;
        }
        if (polled < 0) {
            if (errno == EINTR) {
                continue;
            }
            *error = errno;
            break;
        }
        ssize_t n = read(rs_fd, buf + got, static_cast<size_t>(want - got));
        if (n > 0) {
            got += static_cast<int>(n);
            continue;
        }
        if (n == 0) {
            break; // end of file: nothing more will come
        }
        // EAGAIN: another reader took what poll announced; wait on until the bound.
        if (errno == EINTR || errno == EAGAIN) {
            continue;
        }
        *error = errno;
        break;
    }
    return got;
}

int _tikora_read_time(int command, TIKORA_packet *packet, int count) // NOLINT(bugprone-reserved-identifier)
{
    if (packet == nullptr || count < 0) {
        return TIKORA_ERR_BAD_DATA;
    }
    if (command != TIKORA_CMD_TIME && command != TIKORA_CMD_OTHER) {
        return TIKORA_ERR_BAD_DATA;
    }
    if (write_byte(static_cast<char>(command)) != 1) {
        return TIKORA_ERR_WRITE;
    }
    // An error left over from earlier calls must not turn a time-out into a read error.
    errno = 0;
    unsigned char bytes[TELEGRAM_SIZE] = {};
    int error = 0;
    int got = read_within_wait(bytes, TELEGRAM_SIZE, &error);
    memcpy(packet, bytes, static_cast<size_t>(got));
    if (got != TELEGRAM_SIZE) {
        errno = error;
        return error == 0 ? TIKORA_ERR_TIMEOUT : TIKORA_ERR_READ;
    }
    if (_check_packet(packet) == 0) {
        return TIKORA_ERR_BAD_CHECKSUM;
    }
    return TIKORA_OK;
}

int tikora_read_time(unsigned command, unsigned *year, unsigned *month,
                     unsigned *day, // NOLINT(bugprone-easily-swappable-parameters)
                     unsigned *weekday, unsigned *hour, unsigned *minute, unsigned *second, unsigned *valid)
{
    constexpr int READ_COUNT = 20;
    // A command beyond int's range is no command the receiver knows.
    int as_int = command > 0xFFU ? -1 : static_cast<int>(command);
    int result = _tikora_read_time(as_int, &data, READ_COUNT);
    if (result != TIKORA_OK) {
        return result;
    }
    *year = data.year;
    *month = data.month;
    *day = data.day;
    *weekday = data.weekday;
    *hour = data.hour;
    *minute = data.minute;
    *second = data.second;
    *valid = data.status == TIKORA_STATUS_VALID ? 1U : 0U;
    return TIKORA_OK;
}
