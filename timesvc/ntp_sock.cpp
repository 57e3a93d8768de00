#include "timesvc/ntp_sock.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

// Checked only where the platform's own types add up to chrony's 40 bytes;
// elsewhere the layout is whatever chrony, built with the same types, uses.
static_assert(sizeof(struct timeval) + sizeof(double) + 4 * sizeof(int) != 40 ||
                  sizeof(ntp_sock_sample) == 40,
              "no padding may creep into the datagram");

void ntp_sock_fill(const ntp_sample *sample, ntp_sock_sample *out)
{
    *out = ntp_sock_sample{};
    out->tv.tv_sec = sample->arrival.tv_sec;
    out->tv.tv_usec = static_cast<suseconds_t>(sample->arrival.tv_nsec / 1000);
    out->offset = sample->offset + static_cast<double>(sample->arrival.tv_nsec % 1000) / 1e9;
    out->pulse = 0;
    out->leap = 0;
    out->magic = NTP_SOCK_MAGIC;
}

int ntp_sock_send(const char *path, const ntp_sock_sample *datagram)
{
    struct sockaddr_un address = {};
    const size_t length = strlen(path);
    if (length >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, path, length + 1);

    // A fresh socket per sample: a chronyd restarted since the last one is
    // reached without any reconnecting.
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    const ssize_t sent = sendto(fd, datagram, sizeof *datagram, MSG_DONTWAIT | MSG_NOSIGNAL,
                                reinterpret_cast<const struct sockaddr *>(&address), sizeof address);
    const int saved = errno;
    close(fd);
    if (sent != static_cast<ssize_t>(sizeof *datagram)) {
        errno = sent < 0 ? saved : EMSGSIZE;
        return -1;
    }
    return 0;
}
