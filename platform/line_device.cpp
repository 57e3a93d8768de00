#include "platform/line_device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

// The kernel lists every character device it registered under
// /sys/dev/char/MAJOR:MINOR, linked to its class. Terminals are of class tty;
// pseudo-terminals and devices of a kernel without sysfs have no entry, and
// only the isatty test after the open can judge them.
static bool class_may_be_line(dev_t device)
{
    char entry[64];
    snprintf(entry, sizeof entry, "/sys/dev/char/%u:%u/subsystem", major(device), minor(device));
    char target[PATH_MAX];
    const ssize_t n = readlink(entry, target, sizeof target - 1);
    if (n < 0)
        return errno == ENOENT;
    target[n] = '\0';
    const char *slash = strrchr(target, '/');
    return strcmp(slash != nullptr ? slash + 1 : target, "tty") == 0;
}

static int refuse(int fd, int error)
{
    if (fd >= 0)
        close(fd);
    errno = error;
    return -1;
}

int line_held_exclusively(int fd)
{
    int exclusive = 0;
    if (ioctl(fd, TIOCGEXCL, &exclusive) != 0)
        return -1;
    return exclusive != 0 ? 1 : 0;
}

int open_line_device(const char *path, int flags)
{
    // O_PATH reaches no driver: the file is judged first, then the very file
    // judged is opened through its descriptor, so no other can be put in its place.
    const int probe = open(path, O_PATH | O_CLOEXEC);
    if (probe < 0)
        return -1;
    struct stat info = {};
    if (fstat(probe, &info) != 0)
        return refuse(probe, errno);
    const bool character = S_ISCHR(info.st_mode);
    if (!character && !S_ISFIFO(info.st_mode) && !S_ISSOCK(info.st_mode))
        return refuse(probe, ENODEV);
    if (character && !class_may_be_line(info.st_rdev))
        return refuse(probe, ENODEV);
    char again[64];
    snprintf(again, sizeof again, "/proc/self/fd/%d", probe);
    int fd = open(again, flags);
    if (fd < 0 && errno == ENOENT) // no /proc: by its name once more
        fd = open(path, flags);
    const int saved = errno;
    close(probe);
    if (fd < 0)
        return refuse(-1, saved);
    if (character && !isatty(fd))
        return refuse(fd, ENODEV);
    return fd;
}
