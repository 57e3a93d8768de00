// Test interposer, preloaded into the unmodified programs under test.
//
//   /dev/term/a../dev/term/d   opened as $TEMPUS_SHIM_TERM_A..D instead
//                              (any other /dev/term/ path: ENOENT); opened
//                              again through /proc/self/fd/N, still redirected
//   semget key 56142           replaced by $TEMPUS_SHIM_SEM_KEY (decimal)
//   clock-setting calls        never reach the kernel: each is appended as one
//                              line to $TEMPUS_SHIM_CLOCK_LOG and answered with
//                              success (EPERM if TEMPUS_SHIM_CLOCK_FAIL=1, and
//                              always EPERM when no record file is named)
//   $TEMPUS_SHIM_FAKETIME_FILE libfaketime offset file ("+N" / "-N" seconds,
//                              read with FAKETIME_NO_CACHE=1) that each recorded
//                              step or slew is added to, so the program's own
//                              clock follows its corrections
//   TEMPUS_SHIM_NO_PARMRK=1    PARMRK is cleared on redirected ports in
//                              tcsetattr and reported as requested in tcgetattr
//   TEMPUS_SHIM_UART=1         parity on redirected ports is kept here, as a
//                              UART keeps it (a pseudo-terminal has none); only
//                              for tests of the parity bits themselves: by
//                              default a redirected port is the plain
//                              pseudo-terminal it is
//
// Preload order: LD_PRELOAD="<this library>:libfaketime.so.1". The other order
// works as well: the two define disjoint symbols, and our wrappers need no
// initialisation, so libfaketime's constructor (which reads its file through
// fopen) may already run through them.
//
// Record lines:
//   adjtime <sec> <usec>          clock_settime <sec> <nsec>
//   settimeofday <sec> <usec>     stime <sec>
//   adjtimex <modes>              ntp_adjtime <modes>        clock_adjtime <modes>
//
// Everything here is plain C: no heap, no stdio for our own I/O; the record
// line is written with one write() on an O_APPEND descriptor so lines of
// concurrent processes never interleave.

#undef _FORTIFY_SOURCE

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/timex.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr key_t kServiceKey = 56142;
constexpr int kMaxTrackedFd = 4096;
constexpr unsigned char kRedirected = 1;
constexpr unsigned char kParmrkRequested = 2;
constexpr unsigned char kParenbRequested = 4;
constexpr unsigned char kParoddRequested = 8;
constexpr int64_t kNsPerSec = 1000000000LL;

// Per-descriptor state of ports opened through the redirection.
unsigned char fd_state[kMaxTrackedFd];

void *next_symbol(const char *name)
{
    return dlsym(RTLD_NEXT, name);
}

// ---- small formatting and parsing helpers (no stdio, no heap) ----

struct Line {
    char buf[512];
    size_t len;
};

void put_str(Line *l, const char *s)
{
    while (*s != '\0' && l->len < sizeof l->buf - 1) {
        l->buf[l->len++] = *s++;
    }
}

void put_int(Line *l, long long v)
{
    char digits[24];
    int n = 0;
    unsigned long long u =
        v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    do {
        digits[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (v < 0) {
        digits[n++] = '-';
    }
    while (n > 0 && l->len < sizeof l->buf - 1) {
        l->buf[l->len++] = digits[--n];
    }
}

bool env_is_one(const char *name)
{
    const char *v = getenv(name);
    return v != nullptr && v[0] == '1' && v[1] == '\0';
}

const char *env_nonempty(const char *name)
{
    const char *v = getenv(name);
    return v != nullptr && v[0] != '\0' ? v : nullptr;
}

// Parses a libfaketime relative offset ("+12", "-7.5", "+2h") into
// nanoseconds; anything else counts as no offset.
int64_t parse_offset_ns(const char *s)
{
    while (*s == ' ' || *s == '\t') {
        ++s;
    }
    int sign = 1;
    if (*s == '+' || *s == '-') {
        sign = *s == '-' ? -1 : 1;
        ++s;
    }
    int64_t sec = 0;
    while (*s >= '0' && *s <= '9') {
        sec = sec * 10 + (*s++ - '0');
    }
    int64_t frac = 0;
    if (*s == '.' || *s == ',') {
        ++s;
        int64_t scale = kNsPerSec / 10;
        while (*s >= '0' && *s <= '9') {
            frac += (*s++ - '0') * scale;
            scale /= 10;
        }
    }
    int64_t unit = 1;
    switch (*s) {
    case 'm': unit = 60; break;
    case 'h': unit = 3600; break;
    case 'd': unit = 86400; break;
    case 'y': unit = 365LL * 86400; break;
    default: break;
    }
    return sign * (sec * kNsPerSec + frac) * unit;
}

void put_offset(Line *l, int64_t ns)
{
    put_str(l, ns < 0 ? "-" : "+");
    const uint64_t mag = ns < 0 ? 0ULL - static_cast<uint64_t>(ns) : static_cast<uint64_t>(ns);
    put_int(l, static_cast<long long>(mag / kNsPerSec));
    const uint64_t frac = mag % kNsPerSec;
    if (frac != 0) {
        char digits[10];
        uint64_t f = frac;
        for (int i = 8; i >= 0; --i) {
            digits[i] = static_cast<char>('0' + f % 10);
            f /= 10;
        }
        digits[9] = '\0';
        put_str(l, ".");
        put_str(l, digits);
    }
    put_str(l, "\n");
}

int raw_open(const char *path, int flags, mode_t mode)
{
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags | O_CLOEXEC, mode));
}

bool write_all(int fd, const char *buf, size_t len)
{
    return syscall(SYS_write, fd, buf, len) == static_cast<long>(len);
}

int64_t real_now_ns()
{
    struct timespec ts = {};
    syscall(SYS_clock_gettime, CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNsPerSec + ts.tv_nsec;
}

// ---- libfaketime feedback ----

enum Feedback { kNoFeedback, kStepTo, kSlewBy };

void feed_faketime(Feedback kind, int64_t ns)
{
    const char *file = env_nonempty("TEMPUS_SHIM_FAKETIME_FILE");
    if (file == nullptr || kind == kNoFeedback) {
        return;
    }
    int64_t offset = 0;
    const int in = raw_open(file, O_RDONLY, 0);
    if (in >= 0) {
        char text[128];
        const long n = syscall(SYS_read, in, text, sizeof text - 1);
        text[n > 0 ? n : 0] = '\0';
        offset = parse_offset_ns(text);
        syscall(SYS_close, in);
    }
    // libfaketime shows real time + offset, so a step to T needs T - real now.
    offset = kind == kStepTo ? ns - real_now_ns() : offset + ns;

    // Replace the file in one rename so a concurrent reader never sees half of it.
    Line tmp = {};
    put_str(&tmp, file);
    put_str(&tmp, ".shim.");
    put_int(&tmp, syscall(SYS_getpid));
    if (tmp.len == sizeof tmp.buf - 1) {
        return;
    }
    tmp.buf[tmp.len] = '\0';
    Line content = {};
    put_offset(&content, offset);
    const int out = raw_open(tmp.buf, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (out < 0) {
        return;
    }
    syscall(SYS_fchmod, out, 0666);
    const bool ok = write_all(out, content.buf, content.len);
    syscall(SYS_close, out);
    if (!ok || syscall(SYS_rename, tmp.buf, file) != 0) {
        syscall(SYS_unlink, tmp.buf);
    }
}

// ---- answering clock-setting calls ----

// Records the call and decides its outcome: 0, or -1 with errno EPERM.
int answer_clock_call(const Line *line, Feedback kind, int64_t ns)
{
    const char *log = env_nonempty("TEMPUS_SHIM_CLOCK_LOG");
    if (log == nullptr) {
        errno = EPERM;
        return -1;
    }
    const int fd = raw_open(log, O_WRONLY | O_APPEND | O_CREAT, 0666);
    if (fd < 0) {
        errno = EPERM;
        return -1;
    }
    // The lock keeps read-modify-write of the offset file in step across processes.
    syscall(SYS_flock, fd, LOCK_EX);
    bool ok = write_all(fd, line->buf, line->len);
    if (ok && env_is_one("TEMPUS_SHIM_CLOCK_FAIL")) {
        ok = false;
    }
    if (ok) {
        feed_faketime(kind, ns);
    }
    syscall(SYS_close, fd);
    if (!ok) {
        errno = EPERM;
        return -1;
    }
    return 0;
}

int answer_pair(const char *name, long long a, long long b, Feedback kind, int64_t ns)
{
    Line l = {};
    put_str(&l, name);
    put_str(&l, " ");
    put_int(&l, a);
    put_str(&l, " ");
    put_int(&l, b);
    put_str(&l, "\n");
    return answer_clock_call(&l, kind, ns);
}

bool timex_only_reads(const struct timex *tx)
{
    return tx->modes == 0 || tx->modes == ADJ_OFFSET_SS_READ;
}

// What a timex call with setting modes would have moved the clock by.
Feedback timex_feedback(const struct timex *tx, int64_t *ns)
{
    if ((tx->modes & ADJ_SETOFFSET) != 0) {
        const int64_t sub = (tx->modes & ADJ_NANO) != 0 ? 1 : 1000;
        *ns =
            static_cast<int64_t>(tx->time.tv_sec) * kNsPerSec + static_cast<int64_t>(tx->time.tv_usec) * sub;
        return kSlewBy;
    }
    if ((tx->modes & ADJ_OFFSET_SINGLESHOT) == ADJ_OFFSET_SINGLESHOT) {
        *ns = static_cast<int64_t>(tx->offset) * 1000;
        return kSlewBy;
    }
    return kNoFeedback;
}

using ClockAdjtimeFn = int (*)(clockid_t, struct timex *);

// Records a timex call with setting modes; on success fills *tx the way a
// pure read of clk would, so callers see a plausible clock state.
int answer_timex(const char *name, clockid_t clk, struct timex *tx)
{
    Line l = {};
    put_str(&l, name);
    put_str(&l, " ");
    put_int(&l, static_cast<long long>(tx->modes));
    put_str(&l, "\n");
    int64_t ns = 0;
    const Feedback kind = clk == CLOCK_REALTIME ? timex_feedback(tx, &ns) : kNoFeedback;
    if (answer_clock_call(&l, kind, ns) != 0) {
        return -1;
    }
    const auto real_read = reinterpret_cast<ClockAdjtimeFn>(next_symbol("clock_adjtime"));
    struct timex state = {};
    state.modes = 0;
    const int rc = real_read != nullptr ? real_read(clk, &state) : -1;
    if (rc < 0) {
        return TIME_OK;
    }
    *tx = state;
    return rc;
}

// ---- device redirection ----

// The path to open instead of path; nullptr when the open must fail with ENOENT.
const char *mapped_path(const char *path, bool *redirected)
{
    static const char prefix[] = "/dev/term/";
    *redirected = false;
    if (path == nullptr || strncmp(path, prefix, sizeof prefix - 1) != 0) {
        return path;
    }
    const char port = path[sizeof prefix - 1];
    if (port < 'a' || port > 'd' || path[sizeof prefix] != '\0') {
        return nullptr;
    }
    char var[] = "TEMPUS_SHIM_TERM_A";
    var[sizeof var - 2] = static_cast<char>(port - 'a' + 'A');
    const char *target = env_nonempty(var);
    *redirected = target != nullptr;
    return target;
}

// A descriptor opened again through /proc/self/fd/N (as a program does that
// judges a file by an O_PATH descriptor first) is redirected when N is.
bool reopens_redirected(const char *path)
{
    static const char prefix[] = "/proc/self/fd/";
    if (path == nullptr || strncmp(path, prefix, sizeof prefix - 1) != 0) {
        return false;
    }
    int n = 0;
    for (const char *c = path + sizeof prefix - 1; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9' || n >= kMaxTrackedFd) {
            return false;
        }
        n = n * 10 + (*c - '0');
    }
    return n < kMaxTrackedFd && (fd_state[n] & kRedirected) != 0;
}

void track_fd(int fd, bool redirected)
{
    if (fd >= 0 && fd < kMaxTrackedFd) {
        fd_state[fd] = redirected ? kRedirected : 0;
    }
}

bool needs_mode(int flags)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

using OpenFn = int (*)(const char *, int, ...);
using OpenAtFn = int (*)(int, const char *, int, ...);
using FopenFn = FILE *(*)(const char *, const char *);

int do_open(const char *real_name, const char *path, int flags, mode_t mode)
{
    bool redirected = false;
    const char *target = mapped_path(path, &redirected);
    if (target == nullptr) {
        errno = ENOENT;
        return -1;
    }
    const auto real = reinterpret_cast<OpenFn>(next_symbol(real_name));
    if (real == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    const int fd = real(target, flags, mode);
    track_fd(fd, redirected || reopens_redirected(path));
    return fd;
}

int do_openat(const char *real_name, int dirfd, const char *path, int flags, mode_t mode)
{
    bool redirected = false;
    const char *target = mapped_path(path, &redirected);
    if (target == nullptr) {
        errno = ENOENT;
        return -1;
    }
    const auto real = reinterpret_cast<OpenAtFn>(next_symbol(real_name));
    if (real == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    const int fd = real(dirfd, target, flags, mode);
    track_fd(fd, redirected || reopens_redirected(path));
    return fd;
}

FILE *do_fopen(const char *real_name, const char *path, const char *how)
{
    bool redirected = false;
    const char *target = mapped_path(path, &redirected);
    if (target == nullptr) {
        errno = ENOENT;
        return nullptr;
    }
    const auto real = reinterpret_cast<FopenFn>(next_symbol(real_name));
    if (real == nullptr) {
        errno = ENOSYS;
        return nullptr;
    }
    FILE *f = real(target, how);
    if (f != nullptr) {
        track_fd(fileno(f), redirected);
    }
    return f;
}

mode_t mode_arg(int flags, va_list ap)
{
    return needs_mode(flags) ? static_cast<mode_t>(va_arg(ap, unsigned int)) : 0;
}

} // namespace

extern "C" {

// ---- opens ----

int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return do_open("open", path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return do_open("open64", path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return do_openat("openat", dirfd, path, flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return do_openat("openat64", dirfd, path, flags, mode);
}

// The fortified entry points a build with _FORTIFY_SOURCE calls instead.
int __open_2(const char *path, int flags)
{
    return do_open("open", path, flags, 0);
}

int __open64_2(const char *path, int flags)
{
    return do_open("open64", path, flags, 0);
}

int __openat_2(int dirfd, const char *path, int flags)
{
    return do_openat("openat", dirfd, path, flags, 0);
}

int __openat64_2(int dirfd, const char *path, int flags)
{
    return do_openat("openat64", dirfd, path, flags, 0);
}

FILE *fopen(const char *path, const char *how)
{
    return do_fopen("fopen", path, how);
}

FILE *fopen64(const char *path, const char *how)
{
    return do_fopen("fopen64", path, how);
}

int close(int fd)
{
    using CloseFn = int (*)(int);
    track_fd(fd, false);
    const auto real = reinterpret_cast<CloseFn>(next_symbol("close"));
    return real != nullptr ? real(fd) : static_cast<int>(syscall(SYS_close, fd));
}

int fclose(FILE *f)
{
    using FcloseFn = int (*)(FILE *);
    if (f != nullptr) {
        track_fd(fileno(f), false);
    }
    const auto real = reinterpret_cast<FcloseFn>(next_symbol("fclose"));
    if (real == nullptr) {
        errno = ENOSYS;
        return EOF;
    }
    return real(f);
}

// ---- line settings of redirected ports ----

// A pseudo-terminal has no parity: it drops PARENB and PARODD, and glibc's
// tcsetattr then reports a repeated setting of them as failed. Only when a
// test asks for a UART is the parity asked for kept here and shown again by
// tcgetattr, as a UART's driver would.
int tcsetattr(int fd, int action, const struct termios *t) noexcept
{
    using TcsetattrFn = int (*)(int, int, const struct termios *);
    const auto real = reinterpret_cast<TcsetattrFn>(next_symbol("tcsetattr"));
    if (real == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    if (t == nullptr || fd < 0 || fd >= kMaxTrackedFd || (fd_state[fd] & kRedirected) == 0) {
        return real(fd, action, t);
    }
    const bool mask_parmrk = env_is_one("TEMPUS_SHIM_NO_PARMRK");
    const bool uart = env_is_one("TEMPUS_SHIM_UART");
    struct termios masked = *t;
    if (uart) {
        masked.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD);
    }
    if (mask_parmrk) {
        masked.c_iflag &= ~static_cast<tcflag_t>(PARMRK);
    }
    const int rc = real(fd, action, &masked);
    if (rc == 0) {
        unsigned char state = fd_state[fd] & kRedirected;
        if (mask_parmrk && (t->c_iflag & PARMRK) != 0) {
            state |= kParmrkRequested;
        }
        if (uart && (t->c_cflag & PARENB) != 0) {
            state |= kParenbRequested;
        }
        if (uart && (t->c_cflag & PARODD) != 0) {
            state |= kParoddRequested;
        }
        fd_state[fd] = state;
    }
    return rc;
}

int tcgetattr(int fd, struct termios *t) noexcept
{
    using TcgetattrFn = int (*)(int, struct termios *);
    const auto real = reinterpret_cast<TcgetattrFn>(next_symbol("tcgetattr"));
    if (real == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    const int rc = real(fd, t);
    if (rc != 0 || fd < 0 || fd >= kMaxTrackedFd) {
        return rc;
    }
    if ((fd_state[fd] & kParmrkRequested) != 0 && env_is_one("TEMPUS_SHIM_NO_PARMRK")) {
        t->c_iflag |= PARMRK;
    }
    if ((fd_state[fd] & kParenbRequested) != 0) {
        t->c_cflag |= PARENB;
    }
    if ((fd_state[fd] & kParoddRequested) != 0) {
        t->c_cflag |= PARODD;
    }
    return rc;
}

int semget(key_t key, int nsems, int flags) noexcept
{
    using SemgetFn = int (*)(key_t, int, int);
    const auto real = reinterpret_cast<SemgetFn>(next_symbol("semget"));
    if (real == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    const char *mapped = env_nonempty("TEMPUS_SHIM_SEM_KEY");
    if (key == kServiceKey && mapped != nullptr) {
        key = static_cast<key_t>(strtol(mapped, nullptr, 10));
    }
    return real(key, nsems, flags);
}

// ---- clock setting: recorded, never passed on ----

int adjtime(const struct timeval *delta, struct timeval *olddelta) noexcept
{
    int rc = 0;
    if (delta != nullptr) {
        const int64_t ns =
            static_cast<int64_t>(delta->tv_sec) * kNsPerSec + static_cast<int64_t>(delta->tv_usec) * 1000;
        rc = answer_pair("adjtime", delta->tv_sec, delta->tv_usec, kSlewBy, ns);
    }
    if (rc == 0 && olddelta != nullptr) {
        olddelta->tv_sec = 0;
        olddelta->tv_usec = 0;
    }
    return rc;
}

int clock_settime(clockid_t clk, const struct timespec *ts) noexcept
{
    if (clk != CLOCK_REALTIME) {
        errno = EPERM;
        return -1;
    }
    const int64_t ns = static_cast<int64_t>(ts->tv_sec) * kNsPerSec + ts->tv_nsec;
    return answer_pair("clock_settime", ts->tv_sec, ts->tv_nsec, kStepTo, ns);
}

int settimeofday(const struct timeval *tv, const struct timezone *tz) noexcept
{
    if (tv == nullptr) {
        // Only the kernel's zone would change: nothing to record, still a privileged call.
        if (tz != nullptr && env_nonempty("TEMPUS_SHIM_CLOCK_LOG") == nullptr) {
            errno = EPERM;
            return -1;
        }
        return 0;
    }
    const int64_t ns =
        static_cast<int64_t>(tv->tv_sec) * kNsPerSec + static_cast<int64_t>(tv->tv_usec) * 1000;
    return answer_pair("settimeofday", tv->tv_sec, tv->tv_usec, kStepTo, ns);
}

// glibc keeps stime only as a compat symbol; programs that define their own
// (on clock_settime) reach clock_settime above instead.
int stime(const time_t *when)
{
    if (when == nullptr) {
        errno = EFAULT;
        return -1;
    }
    Line l = {};
    put_str(&l, "stime ");
    put_int(&l, *when);
    put_str(&l, "\n");
    return answer_clock_call(&l, kStepTo, static_cast<int64_t>(*when) * kNsPerSec);
}

int adjtimex(struct timex *tx) noexcept
{
    if (timex_only_reads(tx)) {
        using AdjtimexFn = int (*)(struct timex *);
        const auto real = reinterpret_cast<AdjtimexFn>(next_symbol("adjtimex"));
        return real != nullptr ? real(tx) : (errno = ENOSYS, -1);
    }
    return answer_timex("adjtimex", CLOCK_REALTIME, tx);
}

// glibc's exported alias of adjtimex.
int __adjtimex(struct timex *tx)
{
    return adjtimex(tx);
}

int ntp_adjtime(struct timex *tx) noexcept
{
    if (timex_only_reads(tx)) {
        using AdjtimexFn = int (*)(struct timex *);
        const auto real = reinterpret_cast<AdjtimexFn>(next_symbol("ntp_adjtime"));
        return real != nullptr ? real(tx) : (errno = ENOSYS, -1);
    }
    return answer_timex("ntp_adjtime", CLOCK_REALTIME, tx);
}

int clock_adjtime(clockid_t clk, struct timex *tx) noexcept
{
    if (timex_only_reads(tx)) {
        const auto real = reinterpret_cast<ClockAdjtimeFn>(next_symbol("clock_adjtime"));
        return real != nullptr ? real(clk, tx) : (errno = ENOSYS, -1);
    }
    return answer_timex("clock_adjtime", clk, tx);
}

} // extern "C"
