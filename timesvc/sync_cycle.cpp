#include "timesvc/sync_cycle.h"

#include <fcntl.h>
#include <syslog.h>

#include <cerrno>
#include <cstdio>

#include "calendar/rwtime.h"
#include "link/dcf_protocol.h"
#include "link/rd_wr_rp.h"
#include "timesvc/clock_diff.h"
#include "timesvc/dcf_log.h"
#include "timesvc/line_watch.h"
#include "timesvc/ntp_feed.h"
#include "timesvc/ntp_sample.h"
#include "timesvc/service_state.h"
#include "timesvc/sync_io.h"
#include "timesvc/telegram_instant.h"
#include "timesvc/tm_srvce.h"

// The telegram as it comes off the line, one buffer for the life of the process.
static unsigned char buf[DCF_TELEGRAM_SIZE];

static const char *const receiver_ports[4] = {
    "/dev/term/a",
    "/dev/term/b",
    "/dev/term/c",
    "/dev/term/d",
};

static constexpr char TEXT_BAD_PORT[] = "Nieoczekiwany numer portu szeregowego. Koniec ... ";
static constexpr char TEXT_PORT_UNUSABLE[] = "Nie mozna otworzyc portu szeregowego. Koniec ... ";
static constexpr char TEXT_STARTED[] = "Synchronizacja czasu rozpoczeta.";
static constexpr char TEXT_NO_TELEGRAM[] = "Nie mozna odczytac zegara Horolan w przewidywanym momencie.";
static constexpr char TEXT_UNEXPECTED[] = "Nieoczekiwany znak w trakcie odczytu informacji z zegara Horolan.";
static constexpr char TEXT_PARITY[] = "Blad parzystosci w trakcie odczytu informacji z zegara Horolan.";
static constexpr char TEXT_SYNC[] = "Blad synchronizacji w trakcie odczytu informacji z zegara Horolan.";
static constexpr char TEXT_READ[] = "Blad w trakcie odczytu informacji z zegara Horolan.";
static constexpr char TEXT_CHECKSUM[] = "Blad sumy kontrolnej w trakcie odczytu informacji z zegara Horolan.";
static constexpr char TEXT_UNCERTAIN[] = "Odczytano niepewny czas z zegara Horolan.";
static constexpr char TEXT_CLOCK_NOT_SET[] = "Nie mozna ustawic zegara systemowego.";
static constexpr char TEXT_SYNCHRONIZED[] = "Nastapila synchronizacja zegara systemowego. Przesuniecie o ";

// How much sooner than the line's time-out an empty read must come back to
// be taken for a dead line rather than a silent receiver, and a failed cycle
// to be taken for a receiver that streams garbage.
static constexpr long long DEAD_LINE_MS = 1000;

// A result of reading a telegram beside the SERIAL_* codes: the line has
// been dead for a whole read time-out.
static constexpr int LINE_GONE = 1;

// The moment byte 0 of a telegram arrived, read once.
struct reading {
    struct timespec arrival; // the system clock, to the nanosecond
    RWTime stamp;            // the service clock at that moment, whole seconds
};

// Console and log, then the registration is taken back, which ends the process.
[[noreturn]] static void abandon_installation(const char *text, RWTime stamp)
{
    report_and_exit(text, stamp, EXIT_PORT, tempus_sync_io.deinstall);
}

const char *receiver_port_path(int port)
{
    return port >= 1 && port <= 4 ? receiver_ports[port - 1] : "";
}

void start_dcf(int *fd, int interval, int port, int sflag)
{
    if (port < 1 || port > 4)
        abandon_installation(TEXT_BAD_PORT, tempus_sync_io.service_clock());
    start_dcf_on(fd, interval, receiver_ports[port - 1], sflag);
}

// The line cannot be used: before the installation ends as for any port, the
// journal alone is told which device and why, as /Q tells it of a lost line.
// So is the service manager: its status of a unit waiting to be restarted
// shows that line, not the journal's lines of the start that failed.
[[noreturn]] static void abandon_line(const char *device, int reason, RWTime stamp)
{
    static const char prefix[] = "STATUS=";
    char status[sizeof prefix + 2 * std::size_t{DCF_TEXT_SIZE}];
    snprintf(status, sizeof status, "%sNie mozna otworzyc %s: %s.", prefix, device, line_reason_text(reason));
    const char *const text = status + sizeof prefix - 1;
    tempus_log_io.journal(text, LOG_ERR);
    tempus_sync_io.notify(status);
    abandon_installation(TEXT_PORT_UNUSABLE, stamp);
}

void start_dcf_on(int *fd, int interval, const char *device, int sflag)
{
    const RWTime stamp = tempus_sync_io.service_clock();
    // The line is opened again by this name whenever it is lost.
    static char line_name[DCF_TEXT_SIZE];
    snprintf(line_name, sizeof line_name, "%s", device);

    // No controlling terminal: the receiver's line must never be able to
    // send this service a hang-up or a signal character. Not blocking, so
    // that a port without carrier cannot hold the start.
    *fd = tempus_sync_io.open_port(line_name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (*fd == -1)
        abandon_line(line_name, line_reason_of(errno), stamp);
    if (tempus_sync_io.configure_line(*fd) != 0)
        abandon_line(line_name, LINE_NOT_A_LINE, stamp);
    watch_line(*fd, line_name);

    tempus_sync_io.log(TEXT_STARTED, tempus_sync_io.service_clock());
    if (sflag) {
        tempus_sync_io.request_telegrams(*fd, 1);
        synchronize_time(*fd, 1);
        *fd = watched_line();
    }
    tempus_sync_io.request_telegrams(*fd, interval);
}

// Byte 0 has arrived: the clock is read at once, one reading for the stamp,
// the difference and the sample alike. The hour correction is brought up to
// date before the stamp is made of it, so that a change of either daylight
// rule since the last time-out cannot shift the telegram by an hour.
static reading take_reading()
{
    reading r = {};
    tempus_sync_io.realtime(&r.arrival);
    tempus_sync_io.refresh_correction();
    r.stamp = service_clock_at(r.arrival.tv_sec);
    return r;
}

// With /N the sample wants byte 0's arrival, not its reading: byte `index`
// has just been read and tells how late byte 0 was read at most. The stamp
// and the whole-second mode keep byte 0's own reading.
static void place_byte0_by(int index, reading *r)
{
    struct timespec now = {};
    tempus_sync_io.realtime(&now);
    r->arrival = ntp_tighten_arrival(r->arrival, now, index);
}

// Fills buf with one telegram. Returns SERIAL_OK with *r taken when its first
// byte arrived, LINE_GONE, or the result that ended the reading
// (SERIAL_TIMEOUT once more than three time-outs per minute of interval have
// passed), with *failed_read_ms the moment the failed read began.
static int read_telegram(int fd, int interval, reading *r, long long *failed_read_ms)
{
    int timeouts = 0;
    int index = 0;
    while (index < DCF_TELEGRAM_SIZE) {
        const long long started = tempus_sync_io.monotonic_ms();
        const int result = tempus_sync_io.read_char(fd, &buf[index]);
        if (result == SERIAL_OK) {
            note_live_read();
            if (index == 0)
                *r = take_reading();
            else if (ntp_feed_active())
                place_byte0_by(index, r);
            ++index;
            continue;
        }
        if (result == SERIAL_READ_ERROR && note_dead_read(started))
            return LINE_GONE;
        if (result != SERIAL_TIMEOUT) {
            *failed_read_ms = started;
            return result;
        }
        if (tempus_sync_io.monotonic_ms() - started < DEAD_LINE_MS) {
            if (note_dead_read(started))
                return LINE_GONE;
            wait_out_read_timeout(started);
        } else {
            note_live_read();
        }
        tempus_sync_io.refresh_correction();
        if (++timeouts > 3 * interval)
            return SERIAL_TIMEOUT;
        index = 0; // a telegram cut by a time-out starts again at its first byte
    }
    return SERIAL_OK;
}

static const char *read_failure_text(int result)
{
    switch (result) {
    case SERIAL_TIMEOUT: return TEXT_NO_TELEGRAM;
    case SERIAL_UNEXPECTED_CHAR: return TEXT_UNEXPECTED;
    case SERIAL_PARITY_ERROR: return TEXT_PARITY;
    case SERIAL_SYNC_ERROR: return TEXT_SYNC;
    default: return TEXT_READ;
    }
}

static int read_failure_outcome(int result)
{
    switch (result) {
    case SERIAL_TIMEOUT: return OUTCOME_NO_TELEGRAM;
    case SERIAL_UNEXPECTED_CHAR: return OUTCOME_UNEXPECTED_BYTE;
    case SERIAL_PARITY_ERROR: return OUTCOME_PARITY_ERROR;
    case SERIAL_SYNC_ERROR: return OUTCOME_BREAK;
    default: return OUTCOME_READ_ERROR;
    }
}

// Slews or steps the system clock by `difference`; the correction made (none
// for a difference of 0, which is left alone silently), or -1 when the clock
// could not be set.
static int set_system_clock(const reading &r, long difference)
{
    int result = 0;
    const clock_correction correction = choose_correction(difference);
    switch (correction) {
    case CORRECTION_NONE: return CORRECTION_KIND_NONE;
    case CORRECTION_SLEW: {
        struct timeval delta = {};
        delta.tv_sec = difference;
        delta.tv_usec = 0;
        result = tempus_sync_io.slew_clock(&delta, nullptr);
        break;
    }
    case CORRECTION_STEP: {
        const time_t when = stepped_clock_value(r.arrival.tv_sec, difference);
        result = tempus_sync_io.step_clock(&when);
        break;
    }
    }
    if (result != 0)
        return -1;
    char line[DCF_TEXT_SIZE];
    snprintf(line, sizeof line, "%s %li s.", TEXT_SYNCHRONIZED, difference);
    tempus_sync_io.log(line, r.stamp);
    return correction == CORRECTION_SLEW ? CORRECTION_KIND_SLEW : CORRECTION_KIND_STEP;
}

// Slews or steps the system clock to the instant the telegram's date and
// time name in the system's own zone, and logs the outcome with the reading
// stamp. With /N the telegram goes to the NTP daemon instead, and the clock
// is left alone. The outcome is noted once, in the clock's time after the
// correction: a step moves the times noted before it.
static void correct_system_clock(const reading &r)
{
    dcf_wall_time when = {};
    telegram_instant found = {};
    // Not met: validation has refused a date or time out of range.
    const bool placed =
        telegram_wall_time(buf, &when) == 0 && find_telegram_instant(r.arrival.tv_sec, &when, &found) == 0;
    if (placed && ntp_feed_active()) {
        feed_ntp(r.arrival, found.difference, found.instants, r.stamp);
        return;
    }
    const int correction = placed ? set_system_clock(r, found.difference) : -1;
    if (placed)
        state_note_offset(static_cast<double>(found.difference));
    if (correction < 0)
        tempus_sync_io.log(TEXT_CLOCK_NOT_SET, r.stamp);
    else
        state_note_correction(correction);
    long long now = r.arrival.tv_sec;
    if (correction == CORRECTION_KIND_STEP) {
        state_note_clock_stepped(found.difference);
        now += found.difference;
    }
    state_note_outcome(correction < 0 ? OUTCOME_CLOCK_NOT_SET : OUTCOME_SYNCHRONISED, now);
}

// A cycle that failed within a second of its start (a receiver streaming
// garbage, a line that breaks every byte) waits out the rest of the line's
// time-out before the next one, so such a line writes at most three lines
// a minute; failures at the receiver's own pace are logged one by one.
static void slow_down_fast_failure(long long began_ms)
{
    if (tempus_sync_io.monotonic_ms() - began_ms < DEAD_LINE_MS)
        wait_out_read_timeout(began_ms);
}

void synchronize_time(int fd, int interval)
{
    const long long began = tempus_sync_io.monotonic_ms();
    // Another program may have changed the line's settings since the last
    // cycle (a tool run by root on the same port); they are put back first.
    // A line that cannot take them is as good as dead.
    if (tempus_sync_io.configure_line(fd) != 0) {
        if (note_dead_read(began))
            reopen_line(interval);
        else
            wait_out_read_timeout(began);
        return;
    }
    tempus_sync_io.flush_port(fd, FLUSH_INPUT);

    reading r = {};
    long long failed_read_ms = 0;
    const int result = read_telegram(fd, interval, &r, &failed_read_ms);
    if (result == LINE_GONE) {
        reopen_line(interval);
        return;
    }
    if (result != SERIAL_OK) {
        tempus_sync_io.log(read_failure_text(result), tempus_sync_io.service_clock());
        state_note_outcome(read_failure_outcome(result), sync_io_seconds());
        tempus_sync_io.request_telegrams(fd, interval);
        if (result == SERIAL_READ_ERROR)
            wait_out_read_timeout(failed_read_ms);
        else if (result != SERIAL_TIMEOUT)
            slow_down_fast_failure(began);
        return;
    }

    switch (validate_telegram(buf)) {
    case TELEGRAM_VALID: correct_system_clock(r); return;
    case TELEGRAM_BAD_CHECKSUM:
        tempus_sync_io.log(TEXT_CHECKSUM, r.stamp);
        state_note_outcome(OUTCOME_CHECKSUM_ERROR, r.arrival.tv_sec);
        tempus_sync_io.request_telegrams(fd, interval);
        slow_down_fast_failure(began);
        return;
    case TELEGRAM_UNCERTAIN:
        tempus_sync_io.log(TEXT_UNCERTAIN, r.stamp);
        state_note_outcome(OUTCOME_UNCERTAIN, r.arrival.tv_sec);
        tempus_sync_io.pause_seconds(static_cast<unsigned>(interval) * 60U);
        tempus_sync_io.request_telegrams(fd, interval);
        return;
    default:
        tempus_sync_io.log(TEXT_UNEXPECTED, r.stamp);
        state_note_outcome(OUTCOME_UNEXPECTED_BYTE, r.arrival.tv_sec);
        tempus_sync_io.request_telegrams(fd, interval);
        slow_down_fast_failure(began);
        return;
    }
}

void perform_synchronization(int fd, int interval)
{
    if (fd != watched_line())
        watch_line(fd, nullptr);
    start_publishing_state();
    publish_state();
    for (;;)
        synchronize_time(watched_line(), interval);
}
