// Probe for the interposer's tests: performs the calls named on its command
// line, in order, and prints one result line per call:
//   "<call> rc=<rc> errno=<errno>[ <detail>]"
// It must only ever run under the interposer and without CAP_SYS_TIME.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/time.h>
#include <sys/timex.h>
#include <termios.h>
#include <unistd.h>

extern "C" int __open_2(const char *path, int flags);
extern "C" int __openat_2(int dirfd, const char *path, int flags);

namespace {

void report(const char *call, long rc, int err, const std::string &detail = "")
{
    printf("%s rc=%ld errno=%d%s%s\n", call, rc, err, detail.empty() ? "" : " ", detail.c_str());
    fflush(stdout);
}

long arg(char **argv, int i)
{
    return strtol(argv[i], nullptr, 10);
}

std::string first_line_of_fd(int fd)
{
    char buf[128] = {};
    const ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    std::string s(buf, n > 0 ? static_cast<size_t>(n) : 0);
    return "text=" + s.substr(0, s.find('\n'));
}

// Opens path with the named entry point; prints its first line.
void probe_open(const char *how, const char *path)
{
    errno = 0;
    if (strncmp(how, "fopen", 5) == 0) {
        FILE *f = strcmp(how, "fopen64") == 0 ? fopen64(path, "r") : fopen(path, "r");
        const int err = errno;
        if (f == nullptr) {
            report(how, -1, err);
            return;
        }
        char buf[128] = {};
        const char *got = fgets(buf, sizeof buf, f);
        fclose(f);
        std::string s = got != nullptr ? buf : "";
        report(how, 0, 0, "text=" + s.substr(0, s.find('\n')));
        return;
    }
    int fd = -1;
    if (strcmp(how, "open") == 0) {
        fd = open(path, O_RDONLY);
    } else if (strcmp(how, "open64") == 0) {
        fd = open64(path, O_RDONLY);
    } else if (strcmp(how, "openat") == 0) {
        fd = openat(AT_FDCWD, path, O_RDONLY);
    } else if (strcmp(how, "openat64") == 0) {
        fd = openat64(AT_FDCWD, path, O_RDONLY);
    } else if (strcmp(how, "open_2") == 0) {
        fd = __open_2(path, O_RDONLY);
    } else if (strcmp(how, "openat_2") == 0) {
        fd = __openat_2(AT_FDCWD, path, O_RDONLY);
    }
    const int err = errno;
    if (fd < 0) {
        report(how, -1, err);
        return;
    }
    report(how, 0, 0, first_line_of_fd(fd));
}

// Requests PARMRK and even parity on the port, twice; prints what the second
// tcsetattr answered, what tcgetattr reports and what the driver really holds.
void probe_parmrk(const char *path)
{
    const int fd = open(path, O_RDWR | O_NOCTTY);
    if (fd < 0) {
        report("parmrk", -1, errno);
        return;
    }
    struct termios t = {};
    tcgetattr(fd, &t);
    t.c_iflag |= PARMRK | INPCK;
    t.c_cflag |= PARENB;
    tcsetattr(fd, TCSANOW, &t);
    errno = 0;
    const int rc = tcsetattr(fd, TCSANOW, &t);
    const int err = errno;
    struct termios seen = {};
    tcgetattr(fd, &seen);
    struct termios driver = {};
    ioctl(fd, TCGETS, &driver);
    close(fd);
    report("parmrk", rc, err,
           "reported=" + std::to_string((seen.c_iflag & PARMRK) != 0 ? 1 : 0) +
               " real=" + std::to_string((driver.c_iflag & PARMRK) != 0 ? 1 : 0) +
               " inpck=" + std::to_string((driver.c_iflag & INPCK) != 0 ? 1 : 0) +
               " parenb=" + std::to_string((seen.c_cflag & PARENB) != 0 ? 1 : 0));
}

using TimexFn = int (*)(struct timex *);

// Sets tx for modes; ADJ_SETOFFSET takes `value` seconds, a slew `value` microseconds.
void probe_timex(const char *name, unsigned modes, long value)
{
    struct timex tx = {};
    tx.modes = modes;
    tx.offset = value;
    tx.time.tv_sec = value;
    errno = 0;
    int rc = 0;
    if (strcmp(name, "adjtimex") == 0) {
        rc = adjtimex(&tx);
    } else if (strcmp(name, "ntp_adjtime") == 0) {
        rc = ntp_adjtime(&tx);
    } else {
        rc = clock_adjtime(CLOCK_REALTIME, &tx);
    }
    report(name, rc, rc < 0 ? errno : 0);
}

// Returns how many arguments the call consumed, or -1 for an unknown call.
int run_call(int argc, char **argv, int i)
{
    const char *call = argv[i];
    const int left = argc - i - 1;
    if (strcmp(call, "adjtime") == 0 && left >= 2) {
        struct timeval d = {arg(argv, i + 1), arg(argv, i + 2)};
        struct timeval old = {99, 99};
        errno = 0;
        const int rc = adjtime(&d, &old);
        report(call, rc, rc < 0 ? errno : 0,
               "old=" + std::to_string(old.tv_sec) + "/" + std::to_string(old.tv_usec));
        return 2;
    }
    if (strcmp(call, "clock_settime") == 0 || strcmp(call, "clock_settime_mono") == 0) {
        if (left < 2) {
            return -1;
        }
        struct timespec ts = {arg(argv, i + 1), arg(argv, i + 2)};
        errno = 0;
        const int rc = clock_settime(call[13] == '\0' ? CLOCK_REALTIME : CLOCK_MONOTONIC, &ts);
        report(call, rc, rc < 0 ? errno : 0);
        return 2;
    }
    if (strcmp(call, "settimeofday") == 0 && left >= 2) {
        struct timeval tv = {arg(argv, i + 1), arg(argv, i + 2)};
        errno = 0;
        const int rc = settimeofday(&tv, nullptr);
        report(call, rc, rc < 0 ? errno : 0);
        return 2;
    }
    if (strcmp(call, "stime") == 0 && left >= 1) {
        // glibc offers no link-time stime: find the one in effect at run time.
        using StimeFn = int (*)(const time_t *);
        const auto fn = reinterpret_cast<StimeFn>(dlsym(RTLD_DEFAULT, "stime"));
        const time_t t = arg(argv, i + 1);
        errno = 0;
        const int rc = fn != nullptr ? fn(&t) : -1;
        report(call, rc, fn == nullptr ? ENOSYS : (rc < 0 ? errno : 0));
        return 1;
    }
    if ((strcmp(call, "adjtimex") == 0 || strcmp(call, "ntp_adjtime") == 0 ||
         strcmp(call, "clock_adjtime") == 0) &&
        left >= 2) {
        probe_timex(call, static_cast<unsigned>(arg(argv, i + 1)), arg(argv, i + 2));
        return 2;
    }
    if (strcmp(call, "now") == 0) {
        report(call, 0, 0, "t=" + std::to_string(time(nullptr)));
        return 0;
    }
    if (strcmp(call, "semget") == 0) {
        errno = 0;
        const int id = semget(56142, 1, IPC_CREAT | 0600);
        report(call, id, id < 0 ? errno : 0);
        return 0;
    }
    if (strcmp(call, "parmrk") == 0 && left >= 1) {
        probe_parmrk(argv[i + 1]);
        return 1;
    }
    if (left >= 1 && (strncmp(call, "open", 4) == 0 || strncmp(call, "fopen", 5) == 0)) {
        probe_open(call, argv[i + 1]);
        return 1;
    }
    return -1;
}

} // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const int used = run_call(argc, argv, i);
        if (used < 0) {
            fprintf(stderr, "shim_probe: bad call %s\n", argv[i]);
            return 2;
        }
        i += used;
    }
    return 0;
}
