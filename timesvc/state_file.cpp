#include "timesvc/state_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "timesvc/service_state.h"

int replace_state_file(const char *text, std::size_t length)
{
    // A file left by a run that ended mid-write, or anything planted under
    // the name, goes first; unlink removes a link itself.
    if (unlink(STATE_FILE_NEW) != 0 && errno != ENOENT)
        return -1;
    const int fd = open(STATE_FILE_NEW, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    std::size_t written = 0;
    while (written < length) {
        const ssize_t n = write(fd, text + written, length - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int saved = errno;
            close(fd);
            unlink(STATE_FILE_NEW);
            errno = saved;
            return -1;
        }
        written += static_cast<std::size_t>(n);
    }
    if (close(fd) != 0 || rename(STATE_FILE_NEW, STATE_FILE) != 0) {
        const int saved = errno;
        unlink(STATE_FILE_NEW);
        errno = saved;
        return -1;
    }
    return 0;
}
