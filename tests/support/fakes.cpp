#include "tests/support/fakes.h"

#include <cerrno>
#include <cstdio>

#include "calendar/zone.h"
#include "link/dcf_protocol.h"
#include "link/rd_wr_rp.h"
#include "link/serial_io.h"
#include "timesvc/line_watch.h"
#include "timesvc/ntp_feed.h"
#include "timesvc/tm_srvce.h"

namespace fakes {

static FakeCycle *cycle = nullptr;
static FakeTerminal *terminal = nullptr;

time_t today_at(int h, int m, int s)
{
    const time_t now = time(nullptr);
    struct tm fields = {};
    localtime_r(&now, &fields);
    fields.tm_hour = h;
    fields.tm_min = m;
    fields.tm_sec = s;
    fields.tm_isdst = -1;
    return mktime(&fields);
}

std::string wall_text(time_t when)
{
    struct tm fields = {};
    localtime_r(&when, &fields);
    char text[16];
    snprintf(text, sizeof text, "%02d:%02d:%02d", fields.tm_hour, fields.tm_min, fields.tm_sec);
    return text;
}

std::string stamp_text(RWTime t)
{
    struct tm fields = {};
    t.extract(&fields, RWZone::local());
    char text[16];
    snprintf(text, sizeof text, "%02d:%02d:%02d", fields.tm_hour, fields.tm_min, fields.tm_sec);
    return text;
}

std::vector<unsigned char> with_checksum(std::vector<unsigned char> t)
{
    unsigned sum = 0; // worked out here, not by the unit under test
    for (size_t i = 1; i <= 7; ++i)
        sum += t[i];
    t[8] = static_cast<unsigned char>(sum % 128);
    return t;
}

static long long fake_system_seconds();

// The telegram of `date`'s day at h:m:s, weekday byte 1.
static std::vector<unsigned char> telegram_on(const struct tm &date, unsigned h, unsigned m, unsigned s,
                                              unsigned char status)
{
    return with_checksum({0xBB, static_cast<unsigned char>(h), static_cast<unsigned char>(m),
                          static_cast<unsigned char>(s), static_cast<unsigned char>(date.tm_year % 100),
                          static_cast<unsigned char>(date.tm_mon + 1),
                          static_cast<unsigned char>(date.tm_mday), 1, 0, status});
}

std::vector<unsigned char> telegram(unsigned h, unsigned m, unsigned s, unsigned char status)
{
    const time_t now = cycle != nullptr ? static_cast<time_t>(fake_system_seconds()) : time(nullptr);
    struct tm date = {};
    localtime_r(&now, &date);
    return telegram_on(date, h, m, s, status);
}

std::vector<unsigned char> telegram_at(time_t when)
{
    struct tm fields = {};
    localtime_r(&when, &fields);
    return telegram_on(fields, static_cast<unsigned>(fields.tm_hour), static_cast<unsigned>(fields.tm_min),
                       static_cast<unsigned>(fields.tm_sec), 0xC5);
}

sync_io real_sync_table()
{
    const sync_io installed = tempus_sync_io;
    sync_io_restore_defaults();
    const sync_io real = tempus_sync_io;
    tempus_sync_io = installed;
    return real;
}

// ---- the cycle's world ----

// The system clock in whole seconds, 64 bits, so it runs on past 2037.
static long long fake_system_seconds()
{
    return static_cast<long long>(cycle->system_start) + cycle->stepped_by + cycle->now_ms / 1000;
}

static RWTime fake_service_clock()
{
    return service_clock_at(static_cast<time_t>(fake_system_seconds()));
}

static int fake_read(int, unsigned char *byte)
{
    FakeCycle &c = *cycle;
    ++c.reads;
    if (c.next_step >= c.script.size()) {
        c.now_ms += READ_TIMEOUT_MS; // a silent receiver
        return SERIAL_TIMEOUT;
    }
    const read_step step = c.script[c.next_step++];
    c.now_ms += step.elapsed_ms;
    if (step.result == SERIAL_OK || step.result == SERIAL_PARITY_ERROR)
        *byte = step.byte;
    return step.result;
}

static const sync_io fake_sync_io = {
    [](const char *path, int flags) {
        cycle->opened_path = path;
        cycle->opened_flags = flags;
        ++cycle->opens;
        const size_t n = static_cast<size_t>(cycle->opens - 1);
        const int fd = n < cycle->open_results.size() ? cycle->open_results[n] : LINE_FD;
        if (fd == -1)
            errno = cycle->open_errno;
        return fd;
    },
    [](int) {
        const size_t n = static_cast<size_t>(cycle->configures++);
        return n < cycle->configure_results.size() ? cycle->configure_results[n] : 0;
    },
    [](int fd) {
        cycle->closed.push_back(fd);
        return 0;
    },
    [](int, int selector) {
        cycle->flushes.push_back(selector);
        return 0;
    },
    fake_read,
    [](int, int minutes) {
        unsigned char bytes[2];
        time_request_bytes(minutes, bytes);
        cycle->request_bytes.insert(cycle->request_bytes.end(), bytes, bytes + 2);
    },
    [](const struct timeval *delta, struct timeval *old_delta) {
        cycle->slews.push_back({delta->tv_sec, delta->tv_usec, old_delta != nullptr});
        return cycle->clock_result;
    },
    [](const time_t *when) {
        cycle->steps.push_back(*when);
        if (cycle->clock_result == 0)
            cycle->stepped_by += static_cast<long long>(*when) - fake_system_seconds();
        return cycle->clock_result;
    },
    [](unsigned seconds) {
        cycle->pauses.push_back(seconds);
        cycle->request_bytes_at_pause.push_back(static_cast<int>(cycle->request_bytes.size()));
        cycle->now_ms += static_cast<long long>(seconds) * 1000;
        return 0u;
    },
    []() { return cycle->now_ms; },
    fake_service_clock,
    [](struct timespec *now) {
        now->tv_sec = static_cast<time_t>(fake_system_seconds());
        now->tv_nsec = static_cast<long>(cycle->now_ms % 1000) * 1000000L + cycle->extra_ns;
    },
    []() {
        const size_t n = static_cast<size_t>(cycle->refreshes++);
        DST_correction = n < cycle->corrections.size()
                             ? cycle->corrections[n]
                             : correction_at(static_cast<time_t>(fake_system_seconds()));
    },
    [](const char *text, RWTime stamp) {
        cycle->log.push_back({text, stamp});
    },
    [](const ntp_sample *sample) {
        const size_t n = cycle->samples.size();
        cycle->samples.push_back(*sample);
        return n < cycle->deliver_results.size() ? cycle->deliver_results[n] : 0;
    },
    [](const char *text, std::size_t length) {
        cycle->states.emplace_back(text, length);
        return 0;
    },
    [](const char *state) {
        cycle->notices.emplace_back(state);
        return 1;
    },
    // Told on standard error, so that a test running an installation's end
    // in a child sees where the registration would be taken back.
    [](int failed) { fprintf(stderr, "deinstall %d\n", failed); },
};

FakeCycle::FakeCycle() : system_start(today_at(12, 0, 0)), saved_correction_(DST_correction)
{
    cycle = this;
    tempus_sync_io = fake_sync_io;
    DST_correction = correction_at(system_start);
    watch_line(LINE_FD, "/dev/term/a"); // as start_dcf leaves it
    const ntp_target no_daemon = {};
    start_ntp_feed(&no_daemon); // the clock is set unless a test chooses /N
}

FakeCycle::~FakeCycle()
{
    const ntp_target no_daemon = {};
    start_ntp_feed(&no_daemon);
    sync_io_restore_defaults();
    DST_correction = saved_correction_;
    cycle = nullptr;
}

void FakeCycle::feed_bytes(const std::vector<unsigned char> &bytes, long long first_ms)
{
    bool first = true;
    for (unsigned char b : bytes) {
        script.push_back({SERIAL_OK, b, first ? first_ms : BYTE_MS});
        first = false;
    }
}

void FakeCycle::feed_result(int result, long long elapsed_ms)
{
    script.push_back({result, 0, elapsed_ms});
}

std::vector<std::string> FakeCycle::logged() const
{
    std::vector<std::string> texts;
    for (const log_entry &e : log)
        texts.push_back(e.text);
    return texts;
}

std::vector<std::string> FakeCycle::log_times() const
{
    std::vector<std::string> times;
    for (const log_entry &e : log)
        times.push_back(stamp_text(e.stamp));
    return times;
}

// ---- the terminal behind the serial line unit ----

FakeTerminal::FakeTerminal()
{
    terminal = this;
    tempus_serial_io.get_attributes = [](int, struct termios *t) {
        *t = terminal->port;
        return 0;
    };
    tempus_serial_io.set_attributes = [](int, int when, const struct termios *t) {
        terminal->written = *t;
        terminal->written_when = when;
        ++terminal->set_calls;
        return terminal->set_result;
    };
}

FakeTerminal::~FakeTerminal()
{
    serial_io_restore_defaults();
    terminal = nullptr;
}

} // namespace fakes
