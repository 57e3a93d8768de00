#include "check/check_line.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "link/dcf_protocol.h"
#include "link/rd_wr_rp.h"
#include "platform/line_device.h"
#include "timesvc/ntp_sample.h"

// The rest of a marked byte (0xFF 0x00 x) follows at once; a tenth of the
// rest's bound is ample for it.
static constexpr int MARK_WAIT_TENTHS = 1;

static long long monotonic_ms()
{
    struct timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

static int refuse(int fd, int outcome)
{
    const int saved = errno;
    close(fd);
    errno = saved;
    return outcome;
}

int open_check_line(const char *path, int *fd, struct termios *before)
{
    // Without blocking, so that a port without carrier cannot hold the open.
    // A line held with TIOCEXCL refuses a user without privilege here (EBUSY).
    const int line = open_line_device(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (line < 0)
        return errno == ENODEV ? CHECK_OPEN_NOT_LINE : (errno == EBUSY ? CHECK_OPEN_HELD : CHECK_OPEN_FAILED);
    if (!isatty(line))
        return refuse(line, CHECK_OPEN_NOT_LINE);
    // Root passes TIOCEXCL at the open, so the line is asked before anything
    // touches it: the holder's settings and bytes stay its own.
    const int held = line_held_exclusively(line);
    if (held < 0)
        return refuse(line, CHECK_OPEN_UNASKABLE);
    if (held != 0)
        return refuse(line, CHECK_OPEN_HELD);
    if (tcgetattr(line, before) != 0)
        return refuse(line, CHECK_OPEN_UNSETTABLE);
    if (set_port_paramers(line, MARK_WAIT_TENTHS, 14, 48, 1, 1, 0) != 0)
        return refuse(line, CHECK_OPEN_UNSETTABLE);
    // Blocking again, so a mark's later bytes are waited for, not missed.
    const int flags = fcntl(line, F_GETFL);
    if (flags == -1 || fcntl(line, F_SETFL, flags & ~O_NONBLOCK) == -1)
        return refuse(line, CHECK_OPEN_UNSETTABLE);
    *fd = line;
    return CHECK_OPEN_OK;
}

int ask_for_telegram(int fd)
{
    flush_port(fd, FLUSH_INPUT);
    return write_char(fd, static_cast<unsigned char>(DCF_REQUEST_BYTE));
}

// Waits until the line has a byte or `deadline_ms` has passed: SERIAL_OK,
// SERIAL_TIMEOUT, CHECK_READ_HUNG_UP or SERIAL_READ_ERROR.
static int wait_for_byte(int fd, long long deadline_ms)
{
    for (;;) {
        const long long left = deadline_ms - monotonic_ms();
        if (left <= 0)
            return SERIAL_TIMEOUT;
        struct pollfd ready = {fd, POLLIN, 0};
        const int polled = poll(&ready, 1, static_cast<int>(left));
        if (polled < 0 && errno == EINTR)
            continue;
        if (polled < 0)
            return SERIAL_READ_ERROR;
        if (polled == 0)
            return SERIAL_TIMEOUT;
        return (ready.revents & POLLIN) != 0 ? SERIAL_OK : CHECK_READ_HUNG_UP;
    }
}

int read_check_telegram(int fd, int first_byte_ms, unsigned char *buf, struct timespec *arrival, int *got)
{
    long long deadline = monotonic_ms() + first_byte_ms;
    for (*got = 0; *got < DCF_TELEGRAM_SIZE;) {
        int result = wait_for_byte(fd, deadline);
        if (result == SERIAL_OK)
            result = read_char(fd, &buf[*got]);
        if (result == SERIAL_TIMEOUT && monotonic_ms() < deadline)
            continue; // announced, then taken by another reader of the line
        if (result != SERIAL_OK)
            return result;
        // As the cycle of /N places byte 0: by its own reading, tightened
        // by each later byte's.
        struct timespec now = {};
        clock_gettime(CLOCK_REALTIME, &now);
        if (*got == 0) {
            *arrival = now;
            deadline = monotonic_ms() + CHECK_REST_WAIT_MS;
        } else {
            *arrival = ntp_tighten_arrival(*arrival, now, *got);
        }
        ++*got;
    }
    return SERIAL_OK;
}
