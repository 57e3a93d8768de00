#include "timesvc/sync_io.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "link/dcf_protocol.h"
#include "link/rd_wr_rp.h"
#include "platform/line_device.h"
#include "platform/service_notify.h"
#include "platform/stime.h"
#include "timesvc/dcf_log.h"
#include "timesvc/ntp_feed.h"
#include "timesvc/state_file.h"
#include "timesvc/tm_srvce.h"

// Only a line is opened (a terminal, FIFO or socket; no other device's
// driver is reached), and only one nobody holds exclusively: root would get
// into it all the same and share its bytes with the holder.
static int open_receiver_port(const char *path, int flags)
{
    const int fd = open_line_device(path, flags);
    if (fd >= 0 && isatty(fd) && line_held_exclusively(fd) == 1) {
        close(fd);
        errno = EBUSY;
        return -1;
    }
    return fd;
}

// 20 s read time-out (no minimum byte count), 19200 baud, 8 data bits,
// 1 stop bit, even parity. Then the line is the service's alone: no other
// unprivileged process may open it to read the telegrams away, push bytes
// into it or change its settings. The port was opened without blocking so
// that a port without carrier could not hold the open; with the modem lines
// ignored now, reads may block up to the line's time-out again.
static int configure_receiver_line(int fd)
{
    if (set_port_paramers(fd, 200, 14, 48, 1, 1, 0) != 0)
        return -1;
    if (ioctl(fd, TIOCEXCL) != 0)
        return -1;
    const int flags = fcntl(fd, F_GETFL);
    if (flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1)
        return -1;
    return 0;
}

static int close_receiver_port(int fd)
{
    return close(fd);
}

static int slew_system_clock(const struct timeval *delta, struct timeval *old_delta)
{
    return adjtime(delta, old_delta);
}

static int step_system_clock(const time_t *when)
{
    return stime(when);
}

static unsigned sleep_seconds(unsigned seconds)
{
    return sleep(seconds);
}

static long long monotonic_milliseconds()
{
    struct timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

static void realtime_now(struct timespec *now)
{
    clock_gettime(CLOCK_REALTIME, now);
}

static constexpr sync_io real_sync_io = {
    open_receiver_port,
    configure_receiver_line,
    close_receiver_port,
    flush_port,
    read_char,
    time_request_to_DCF,
    slew_system_clock,
    step_system_clock,
    sleep_seconds,
    monotonic_milliseconds,
    now_DST,
    realtime_now,
    update_DST_correction,
    write_to_log,
    deliver_ntp_sample,
    replace_state_file,
    notify_service_manager,
    nullptr,
};

sync_io tempus_sync_io = real_sync_io;

long long sync_io_seconds()
{
    struct timespec now = {};
    tempus_sync_io.realtime(&now);
    return now.tv_sec;
}

void sync_io_restore_defaults()
{
    tempus_sync_io = real_sync_io;
}
