// The guest's clock beside this machine's, over a line of their own.
//
//   clock-pair answer DEVICE        in the guest: answers every byte that
//                                   comes on DEVICE with its CLOCK_REALTIME
//   clock-pair ask TO FROM N GAP_MS here: N requests, GAP_MS apart, over the
//                                   FIFOs of QEMU's pipe device; one line
//                                   each, "HOST OFFSET BOUND" in seconds: this
//                                   machine's clock at the middle of the round
//                                   trip, the guest's clock minus it, and
//                                   half the round trip, which bounds the error
//   clock-pair outstanding          in the guest: the adjustment the kernel
//                                   still has to slew, in seconds
//   clock-pair skew                 CLOCK_REALTIME minus CLOCK_MONOTONIC, in
//                                   ns: it moves only when the clock is set
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static long long now_ns(clockid_t clock)
{
    struct timespec ts;
    clock_gettime(clock, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static int answer(const char *device)
{
    int fd;
    // The port appears when its driver has come up.
    while ((fd = open(device, O_RDWR | O_NOCTTY)) < 0) {
        if (errno != ENOENT && errno != ENXIO)
            return perror(device), 1;
        usleep(100000);
    }
    char in[64], out[32];
    for (;;) {
        ssize_t n = read(fd, in, sizeof in);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            usleep(100000); // the other end is away
            continue;
        }
        long long t = now_ns(CLOCK_REALTIME);
        int len = snprintf(out, sizeof out, "%lld.%09lld\n", t / 1000000000LL, t % 1000000000LL);
        if (write(fd, out, (size_t)len) != len)
            usleep(100000);
    }
}

// One line from fd within 2 s, or -1.
static int read_line(int fd, char *line, size_t size)
{
    size_t used = 0;
    struct pollfd p = {fd, POLLIN, 0};
    while (used + 1 < size && poll(&p, 1, 2000) == 1) {
        if (read(fd, line + used, 1) != 1)
            return -1;
        if (line[used] == '\n') {
            line[used] = '\0';
            return 0;
        }
        ++used;
    }
    return -1;
}

static int ask(const char *to, const char *from, int count, int gap_ms)
{
    int out = open(to, O_RDWR), in = open(from, O_RDWR | O_NONBLOCK);
    if (out < 0 || in < 0)
        return perror("open"), 1;
    char line[64];
    int good = 0;
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            usleep((useconds_t)gap_ms * 1000);
        while (read(in, line, sizeof line) > 0) {
        } // answers to requests that timed out
        long long t0 = now_ns(CLOCK_REALTIME);
        if (write(out, "?", 1) != 1 || read_line(in, line, sizeof line) != 0)
            continue;
        long long t1 = now_ns(CLOCK_REALTIME);
        long long sec = 0, nsec = 0;
        if (sscanf(line, "%lld.%lld", &sec, &nsec) != 2)
            continue;
        long long mid = t0 + (t1 - t0) / 2, guest = sec * 1000000000LL + nsec;
        printf("%lld.%09lld %.6f %.6f\n", mid / 1000000000LL, mid % 1000000000LL, (guest - mid) / 1e9,
               (t1 - t0) / 2e9);
        fflush(stdout);
        ++good;
    }
    return good > 0 ? 0 : 1;
}

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "answer") == 0)
        return answer(argv[2]);
    if (argc == 6 && strcmp(argv[1], "ask") == 0)
        return ask(argv[2], argv[3], atoi(argv[4]), atoi(argv[5]));
    if (argc == 2 && strcmp(argv[1], "outstanding") == 0) {
        struct timeval left;
        if (adjtime(NULL, &left) != 0)
            return perror("adjtime"), 1;
        printf("%.6f\n", left.tv_sec + left.tv_usec / 1e6);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "skew") == 0) {
        printf("%lld\n", now_ns(CLOCK_REALTIME) - now_ns(CLOCK_MONOTONIC));
        return 0;
    }
    fprintf(stderr, "usage: clock-pair answer DEVICE | ask TO FROM N GAP_MS | outstanding | skew\n");
    return 2;
}
