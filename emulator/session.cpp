#include "emulator/session.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "emulator/pacer.h"
#include "emulator/request.h"
#include "emulator/telegram.h"
#include "emulator/variety.h"

namespace horolan {

static volatile sig_atomic_t horolan_stop_requested = 0;

static void note_stop_signal(int)
{
    horolan_stop_requested = 1;
}

void install_stop_handlers()
{
    struct sigaction sa {};
    sa.sa_handler = note_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigprocmask(SIG_BLOCK, &stops, nullptr);
}

// The stop signals stay blocked except while waiting in ppoll, so a stop
// cannot slip in between the check and the wait.
static sigset_t waiting_mask()
{
    sigset_t waiting;
    sigprocmask(SIG_BLOCK, nullptr, &waiting);
    sigdelset(&waiting, SIGTERM);
    sigdelset(&waiting, SIGINT);
    return waiting;
}

static long long now_ns()
{
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

static long long now_ms()
{
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Log stamps are microseconds: a test can then tell when a telegram went out
// closely enough to judge a host's time-stamping of it.
static long long now_us()
{
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

static void log_line(std::FILE *log, long long at_us, const char *text)
{
    if (log == nullptr)
        return;
    std::fprintf(log, "%lld.%06lld %s\n", at_us / 1000000, at_us % 1000000, text);
    std::fflush(log);
}

static void log_sent(std::FILE *log, long long at_us, const unsigned char *bytes, int count)
{
    char text[3 * WIRE_MAX_BYTES + 1];
    int used = 0;
    for (int i = 0; i < count; ++i) {
        used += std::snprintf(text + used, sizeof text - static_cast<unsigned>(used), "%s%02x",
                              i == 0 ? "" : " ", bytes[i]);
    }
    text[used] = '\0';
    char line[sizeof text + 8];
    std::snprintf(line, sizeof line, "sent %s", text);
    log_line(log, at_us, line);
}

enum Ending { ENDING_NONE, ENDING_EXIT, ENDING_HANGUP };

struct Session {
    const Options *options;
    Line *line;
    std::FILE *log;
    Pacer pacer;
    RequestParser parser;
    long long command_deadline_ms = -1;
    long long command_at_ms = -1;
    int telegrams_sent = 0;
    Ending ending = ENDING_NONE;
    long long ending_at_ms = -1;
    long long reopen_at_ms = -1; // a hang-up of the rotation: when the new line opens
    Random random;
};

// `requested` is when the request was made: for a lone command, when its byte came.
static void apply_request(Session *s, RequestAction action, int minutes, long long now, long long requested)
{
    const long long period = minutes * s->options->minute_ms;
    char text[64];
    switch (action) {
    case REQUEST_NONE: return;
    case REQUEST_ONCE:
        log_line(s->log, now_us(), "note request once");
        pacer_request_once(&s->pacer, requested);
        return;
    case REQUEST_PERIODIC:
        std::snprintf(text, sizeof text, "note request every %d min", minutes);
        log_line(s->log, now_us(), text);
        pacer_request_periodic(&s->pacer, now, period);
        return;
    case REQUEST_PERIOD:
        std::snprintf(text, sizeof text, "note period %d min", minutes);
        log_line(s->log, now_us(), text);
        pacer_set_period(&s->pacer, now, period);
        return;
    }
}

static void take_host_byte(Session *s, unsigned char byte, long long now)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", byte);
    log_line(s->log, now_us(), text);
    int minutes = 0;
    const RequestAction action = request_feed(&s->parser, byte, &minutes);
    apply_request(s, action, minutes, now, action == REQUEST_ONCE ? s->command_at_ms : now);
    s->command_at_ms = s->parser.command_pending ? now : -1;
    s->command_deadline_ms = s->parser.command_pending ? now + s->options->command_wait_ms : -1;
}

// Returns false when the line has failed.
static bool read_host_bytes(Session *s)
{
    unsigned char bytes[64];
    for (;;) {
        const ssize_t n = read(s->line->fd, bytes, sizeof bytes);
        if (n > 0) {
            const long long now = now_ms();
            for (ssize_t i = 0; i < n; ++i)
                take_host_byte(s, bytes[i], now);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        log_line(s->log, now_us(), n == 0 ? "note line failed: end of file" : "note line failed: read error");
        return false;
    }
}

// A pacer with nothing requested yet.
static Pacer pacer_for(const Options &options)
{
    Pacer pacer;
    pacer.align = options.align;
    pacer.at_ms = options.at_ms;
    pacer.window_ms = options.window_ms;
    pacer.min_delay_ms = options.min_delay_ms;
    return pacer;
}

// A hang-up of the rotation: the line goes now, a new one (or --device
// again) comes after --down-ms.
static void hang_up_for_a_while(Session *s, long long now)
{
    log_line(s->log, now_us(), "note hangup");
    close_line(s->line);
    s->pacer = pacer_for(*s->options);
    s->reopen_at_ms = now + s->options->down_ms;
}

// Returns false when no new line can be had.
static bool open_new_line(Session *s)
{
    s->reopen_at_ms = -1;
    *s->line = Line{};
    const char *device = s->options->device;
    if ((device != nullptr ? open_device_line(device, s->line) : open_pty_line(s->line)) != 0) {
        log_line(s->log, now_us(), "note line failed: no new line");
        return false;
    }
    if (s->options->link_path != nullptr && point_link(s->options->link_path, s->line->path) != 0) {
        log_line(s->log, now_us(), "note line failed: cannot point the link");
        return false;
    }
    char text[sizeof s->line->path + 16];
    std::snprintf(text, sizeof text, "note line back %s", s->line->path);
    log_line(s->log, now_us(), text);
    return true;
}

// One character on the receiver's line: 11 bits (start, 8 data, parity,
// stop) at 19200 baud, in nanoseconds.
static constexpr long long CHAR_TIME_NS = (11LL * 1000000000LL + 19200 / 2) / 19200;

static void sleep_until_monotonic_ns(long long at_ns)
{
    struct timespec at {};
    at.tv_sec = static_cast<time_t>(at_ns / 1000000000);
    at.tv_nsec = static_cast<long>(at_ns % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

static long long monotonic_ns()
{
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The bytes go out one at a time, each a character time after the one
// before, as the receiver's line carries them: a host never finds byte k
// sooner than k character times after byte 0. Logged once, with the stamp
// taken just before byte 0.
static void write_to_host(Session *s, const unsigned char *bytes, int count)
{
    const long long sending_us = now_us();
    const long long first_ns = monotonic_ns();
    int written = 0;
    while (written < count) {
        if (written > 0)
            sleep_until_monotonic_ns(first_ns + written * CHAR_TIME_NS);
        if (write(s->line->fd, bytes + written, 1) != 1)
            break;
        ++written;
    }
    if (written == count) {
        log_sent(s->log, sending_us, bytes, count);
    } else {
        char text[64];
        std::snprintf(text, sizeof text, "note write failed (%d of %d bytes)", written, count);
        log_line(s->log, now_us(), text);
    }
}

// Writes the telegram (or what the rotation puts in its place).
static void write_telegram(Session *s, long long now)
{
    const Options &o = *s->options;
    const RotatingFault fault = rotating_fault(o.fault_every, s->telegrams_sent);
    if (fault != FAULT_NONE) {
        char text[48];
        std::snprintf(text, sizeof text, "note fault %s", fault_name(fault));
        log_line(s->log, now_us(), text);
    }
    if (fault == FAULT_HANGUP) {
        ++s->telegrams_sent;
        hang_up_for_a_while(s, now);
        return;
    }
    unsigned char wire[WIRE_MAX_BYTES];
    if (fault == FAULT_GARBAGE) {
        ++s->telegrams_sent;
        garbage_burst(&s->random, wire);
        write_to_host(s, wire, GARBAGE_BYTES);
        return;
    }
    long long offset = o.offset_s;
    if (o.random_offset_s > 0) {
        offset += random_offset(&s->random, o.random_offset_s);
        char text[48];
        std::snprintf(text, sizeof text, "note offset %lld", offset);
        log_line(s->log, now_us(), text);
    }
    ClockFields fields{};
    // The whole second the telegram belongs to: --at-ms sends it that late.
    const long long at_s = (now - o.at_ms) / 1000 + offset;
    if (!clock_fields_at(at_s, &fields)) {
        log_line(s->log, now_us(), "note no local time");
        return;
    }
    TelegramFaults faults = faults_for_telegram(o.faults, s->telegrams_sent);
    faults.bad_checksum = faults.bad_checksum || fault == FAULT_BAD_CHECKSUM;
    faults.uncertain = faults.uncertain || fault == FAULT_UNCERTAIN;
    const int count = encode_telegram(fields, faults, wire);
    ++s->telegrams_sent;
    write_to_host(s, wire, count);
}

static void send_telegram(Session *s, long long now)
{
    write_telegram(s, now);
    const Options &o = *s->options;
    if (o.telegrams > 0 && s->telegrams_sent >= o.telegrams) {
        s->ending = ENDING_EXIT;
    } else if (o.hangup_after > 0 && s->telegrams_sent >= o.hangup_after) {
        s->ending = ENDING_HANGUP;
    }
    if (s->ending != ENDING_NONE)
        s->ending_at_ms = now + o.linger_ms;
}

static bool may_send(const Session &s)
{
    return s.line->fd >= 0 && !s.options->silent && s.ending == ENDING_NONE;
}

static long long earliest(long long a, long long b)
{
    if (a < 0)
        return b;
    if (b < 0)
        return a;
    return a < b ? a : b;
}

// Takes in hosts opening and closing the line and logs what changed.
static void note_hosts(Session *s)
{
    const int seen = update_host_count(s->line);
    if ((seen & HOST_LAST_CLOSE) != 0)
        log_line(s->log, now_us(), "note last host closed the line");
    if ((seen & HOST_FIRST_OPEN) != 0)
        log_line(s->log, now_us(), "note host opened the line");
    if (seen != 0)
        log_line(s->log, now_us(), "note unread bytes dropped");
}

// How long to wait towards a moment `left_ns` away. ppoll may wake up late
// by 0.1 % of its time-out (the kernel's slack for poll time-outs), 60 ms on
// a minute: a long wait ends early by more than that, and the wait or two
// after it are short enough for their slack to be microseconds. The last
// millisecond is waited whole.
static long long wait_slice_ns(long long left_ns)
{
    constexpr long long whole_ns = 1000000;
    if (left_ns <= whole_ns)
        return left_ns;
    return left_ns - left_ns / 512 - whole_ns / 10;
}

// Waits for host bytes, hosts coming or going, a stop signal, or at most
// until `until_ms` (-1: no limit); the caller looks again when it returns.
// Returns false when the line has failed.
static bool wait_for_event(Session *s, long long until_ms, const sigset_t &waiting)
{
    struct timespec limit {};
    struct timespec *limit_ptr = nullptr;
    if (until_ms >= 0) {
        long long left = wait_slice_ns(until_ms * 1000000 - now_ns());
        if (left < 0)
            left = 0;
        limit.tv_sec = static_cast<time_t>(left / 1000000000);
        limit.tv_nsec = static_cast<long>(left % 1000000000);
        limit_ptr = &limit;
    }
    struct pollfd pfd[2] = {};
    nfds_t count = 0;
    if (s->line->watch_fd >= 0) {
        pfd[count].fd = s->line->watch_fd;
        pfd[count++].events = POLLIN;
    }
    if (s->line->fd >= 0) {
        pfd[count].fd = s->line->fd;
        pfd[count++].events = POLLIN;
    }
    const int ready = ppoll(pfd, count, limit_ptr, &waiting);
    if (ready <= 0)
        return true;
    // Opens before bytes: a new host must not get what was sent before it came.
    if (s->line->watch_fd >= 0 && (pfd[0].revents & POLLIN) != 0)
        note_hosts(s);
    const struct pollfd &line = pfd[count - 1];
    if (s->line->fd >= 0 && (line.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        return read_host_bytes(s);
    }
    return true;
}

int serve_line(const Options &options, Line *line, std::FILE *log)
{
    install_stop_handlers();
    // The last, short wait before a telegram then ends within a microsecond
    // instead of the default 50.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    const sigset_t waiting = waiting_mask();
    Session s{};
    s.options = &options;
    s.line = line;
    s.log = log;
    s.pacer = pacer_for(options);
    s.random.state = static_cast<unsigned long long>(options.seed);
    char serving[sizeof line->path + 16];
    std::snprintf(serving, sizeof serving, "note serving %s", line->path);
    log_line(log, now_us(), serving);

    while (horolan_stop_requested == 0) {
        const long long now = now_ms();
        if (s.command_deadline_ms >= 0 && now >= s.command_deadline_ms) {
            s.command_deadline_ms = -1;
            apply_request(&s, request_expire(&s.parser), 0, now, s.command_at_ms);
        }
        if (s.ending != ENDING_NONE && now >= s.ending_at_ms) {
            if (s.ending == ENDING_EXIT) {
                log_line(log, now_us(), "note exit after the last telegram");
                return 0;
            }
            log_line(log, now_us(), "note hangup");
            close_line(line);
            s.ending = ENDING_NONE;
            s.ending_at_ms = -1;
            s.pacer = pacer_for(options);
            continue;
        }
        if (s.reopen_at_ms >= 0 && now >= s.reopen_at_ms) {
            if (!open_new_line(&s))
                return 1;
            continue;
        }
        const long long due = pacer_next_due(s.pacer);
        if (may_send(s) && due >= 0 && now >= due) {
            send_telegram(&s, now);
            pacer_sent(&s.pacer, due, now);
            continue;
        }
        long long until = s.command_deadline_ms;
        if (s.ending != ENDING_NONE)
            until = earliest(until, s.ending_at_ms);
        if (s.reopen_at_ms >= 0)
            until = earliest(until, s.reopen_at_ms);
        if (may_send(s))
            until = earliest(until, due);
        if (!wait_for_event(&s, until, waiting)) {
            close_line(line);
            return 1;
        }
    }
    log_line(log, now_us(), "note stopped by signal");
    return 0;
}

} // namespace horolan
