#include "emulator/line.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace horolan {

// Raw, 19200 baud, 8 bits. A read waits at most 5 s and returns what has
// arrived: a host that sets nothing itself and reads a whole telegram in one
// call gets it, or gets nothing when the receiver stays silent.
static int make_raw(int fd)
{
    struct termios tio {};
    if (tcgetattr(fd, &tio) != 0)
        return -1;
    cfmakeraw(&tio);
    tio.c_cflag |= CREAD | CLOCAL;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 50;
    if (cfsetospeed(&tio, B19200) != 0 || cfsetispeed(&tio, B19200) != 0)
        return -1;
    return tcsetattr(fd, TCSANOW, &tio);
}

static int set_nonblocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return -1;
    return fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

static int fail_closing(Line *line)
{
    const int saved = errno;
    close_line(line);
    errno = saved;
    return -1;
}

int open_pty_line(Line *line)
{
    line->fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (line->fd < 0)
        return -1;
    if (grantpt(line->fd) != 0 || unlockpt(line->fd) != 0)
        return fail_closing(line);
    if (ptsname_r(line->fd, line->path, sizeof line->path) != 0)
        return fail_closing(line);
    if (chmod(line->path, 0666) != 0)
        return fail_closing(line);
    line->keep_fd = open(line->path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (line->keep_fd < 0)
        return fail_closing(line);
    if (make_raw(line->keep_fd) != 0 || set_nonblocking(line->fd) != 0)
        return fail_closing(line);
    // Our own open above is not reported: the watch starts after it.
    line->watch_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (line->watch_fd >= 0 && inotify_add_watch(line->watch_fd, line->path, IN_OPEN | IN_CLOSE) < 0) {
        close(line->watch_fd);
        line->watch_fd = -1;
    }
    return 0;
}

int update_host_count(Line *line)
{
    if (line->watch_fd < 0)
        return 0;
    int seen = 0;
    alignas(struct inotify_event) char events[1024];
    for (;;) {
        const ssize_t n = read(line->watch_fd, events, sizeof events);
        if (n <= 0)
            break;
        for (ssize_t at = 0; at < n;) {
            struct inotify_event ev {};
            std::memcpy(&ev, events + at, sizeof ev);
            if ((ev.mask & IN_OPEN) != 0 && line->hosts++ == 0)
                seen |= HOST_FIRST_OPEN;
            if ((ev.mask & IN_CLOSE) != 0 && line->hosts > 0 && --line->hosts == 0)
                seen |= HOST_LAST_CLOSE;
            at += static_cast<ssize_t>(sizeof ev + ev.len);
        }
    }
    if (seen != 0 && line->keep_fd >= 0)
        tcflush(line->keep_fd, TCIFLUSH);
    // A serial port drops its exclusive mode at its last close; our own
    // descriptor keeps the pseudo-terminal from ever getting there. Only
    // while nobody has it open: a host that came meanwhile may have set it.
    if ((seen & HOST_LAST_CLOSE) != 0 && line->hosts == 0 && line->keep_fd >= 0)
        ioctl(line->keep_fd, TIOCNXCL);
    return seen;
}

int open_device_line(const char *path, Line *line)
{
    if (std::strlen(path) >= sizeof line->path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::snprintf(line->path, sizeof line->path, "%s", path);
    line->fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line->fd < 0)
        return -1;
    if (make_raw(line->fd) != 0)
        return fail_closing(line);
    return 0;
}

int point_link(const char *link, const char *target)
{
    char fresh[512];
    if (std::snprintf(fresh, sizeof fresh, "%s.new", link) >= static_cast<int>(sizeof fresh)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    unlink(fresh);
    if (symlink(target, fresh) != 0)
        return -1;
    if (rename(fresh, link) != 0) {
        const int saved = errno;
        unlink(fresh);
        errno = saved;
        return -1;
    }
    return 0;
}

void close_line(Line *line)
{
    if (line->watch_fd >= 0)
        close(line->watch_fd);
    line->watch_fd = -1;
    if (line->keep_fd >= 0)
        close(line->keep_fd);
    if (line->fd >= 0)
        close(line->fd);
    line->keep_fd = -1;
    line->fd = -1;
}

} // namespace horolan
