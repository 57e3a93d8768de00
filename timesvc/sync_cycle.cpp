#include "timesvc/sync_cycle.h"

#include <fcntl.h>

#include <cstdio>
#include <cstdlib>

#include "calendar/rwdate.h"
#include "calendar/rwtime.h"
#include "calendar/zone.h"
#include "link/dcf_protocol.h"
#include "link/rd_wr_rp.h"
#include "timesvc/clock_diff.h"
#include "timesvc/dcf_log.h"
#include "timesvc/sync_io.h"
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

// The line's read time-out, and how much sooner an empty read must come back
// to be taken for a dead line rather than a silent receiver.
static constexpr long long LINE_TIMEOUT_MS = 20000;
static constexpr long long DEAD_LINE_MS = 1000;

// Console and log, then the registration is taken back, which ends the process.
[[noreturn]] static void abandon_installation(const char *text, RWTime stamp)
{
    report_and_exit(text, stamp, EXIT_PORT, tempus_sync_io.deinstall);
}

void start_dcf(int *fd, int interval, int port, int sflag)
{
    const RWTime stamp = tempus_sync_io.service_clock();
    if (port < 1 || port > 4)
        abandon_installation(TEXT_BAD_PORT, stamp);

    // No controlling terminal: the receiver's line must never be able to
    // send this service a hang-up or a signal character.
    *fd = tempus_sync_io.open_port(receiver_ports[port - 1], O_RDWR | O_NOCTTY);
    if (*fd == -1)
        abandon_installation(TEXT_PORT_UNUSABLE, stamp);
    if (tempus_sync_io.configure_line(*fd) != 0)
        abandon_installation(TEXT_PORT_UNUSABLE, stamp);

    tempus_sync_io.log(TEXT_STARTED, tempus_sync_io.service_clock());
    if (sflag) {
        tempus_sync_io.request_telegrams(*fd, 1);
        synchronize_time(*fd, 1);
    }
    tempus_sync_io.request_telegrams(*fd, interval);
}

// A read that failed, or came back empty long before the line's time-out,
// means a dead line (hang-up, adapter pulled): wait out the rest of the
// time-out so that a dead receiver costs no CPU and only a few log lines.
static void wait_out_read_timeout(long long read_started_ms)
{
    long long spent = tempus_sync_io.monotonic_ms() - read_started_ms;
    if (spent < 0)
        spent = 0;
    if (spent >= LINE_TIMEOUT_MS)
        return;
    tempus_sync_io.pause_seconds(static_cast<unsigned>((LINE_TIMEOUT_MS - spent + 999) / 1000));
}

// Fills buf with one telegram. Returns SERIAL_OK with *stamp taken when its
// first byte arrived, or the result that ended the reading (SERIAL_TIMEOUT
// once more than three time-outs per minute of interval have passed), with
// *failed_read_ms the moment the failed read began.
static int read_telegram(int fd, int interval, RWTime *stamp, long long *failed_read_ms)
{
    int timeouts = 0;
    int index = 0;
    while (index < DCF_TELEGRAM_SIZE) {
        const long long started = tempus_sync_io.monotonic_ms();
        const int result = tempus_sync_io.read_char(fd, &buf[index]);
        if (result == SERIAL_OK) {
            if (index == 0)
                *stamp = tempus_sync_io.service_clock();
            ++index;
            continue;
        }
        if (result != SERIAL_TIMEOUT) {
            *failed_read_ms = started;
            return result;
        }
        if (tempus_sync_io.monotonic_ms() - started < DEAD_LINE_MS)
            wait_out_read_timeout(started);
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

// Slews or steps the system clock to the telegram's time of day and logs the
// outcome with the reading stamp; a difference of 0 is left alone silently.
static void correct_system_clock(RWTime stamp, RWTime epoch)
{
    const RWTime telegram(buf[DCF_OFS_HOUR], buf[DCF_OFS_MINUTE], buf[DCF_OFS_SECOND], RWZone::local());
    const long raw = static_cast<long>(telegram.seconds()) - static_cast<long>(stamp.seconds());
    const long difference = fold_day_difference(raw);

    int result = 0;
    switch (choose_correction(difference)) {
    case CORRECTION_NONE: return;
    case CORRECTION_SLEW: {
        struct timeval delta = {};
        delta.tv_sec = difference;
        delta.tv_usec = 0;
        result = tempus_sync_io.slew_clock(&delta, nullptr);
        break;
    }
    case CORRECTION_STEP: {
        const time_t when =
            stepped_clock_value(telegram.seconds(), difference - raw, epoch.seconds(), DST_correction);
        result = tempus_sync_io.step_clock(&when);
        break;
    }
    }
    if (result != 0) {
        tempus_sync_io.log(TEXT_CLOCK_NOT_SET, stamp);
        return;
    }
    char line[DCF_TEXT_SIZE];
    snprintf(line, sizeof line, "%s %li s.", TEXT_SYNCHRONIZED, difference);
    tempus_sync_io.log(line, stamp);
}

void synchronize_time(int fd, int interval)
{
    const RWTime epoch(RWDate(1, 1, 1970), 0, 0, 0, RWZone::utc());
    tempus_sync_io.flush_port(fd, FLUSH_INPUT);
    RWTime stamp = tempus_sync_io.service_clock();

    long long failed_read_ms = 0;
    const int result = read_telegram(fd, interval, &stamp, &failed_read_ms);
    if (result != SERIAL_OK) {
        tempus_sync_io.log(read_failure_text(result), tempus_sync_io.service_clock());
        tempus_sync_io.request_telegrams(fd, interval);
        if (result == SERIAL_READ_ERROR)
            wait_out_read_timeout(failed_read_ms);
        return;
    }

    switch (validate_telegram(buf)) {
    case TELEGRAM_VALID: correct_system_clock(stamp, epoch); return;
    case TELEGRAM_BAD_CHECKSUM:
        tempus_sync_io.log(TEXT_CHECKSUM, stamp);
        tempus_sync_io.request_telegrams(fd, interval);
        return;
    case TELEGRAM_UNCERTAIN:
        tempus_sync_io.log(TEXT_UNCERTAIN, stamp);
        tempus_sync_io.pause_seconds(static_cast<unsigned>(interval) * 60U);
        tempus_sync_io.request_telegrams(fd, interval);
        return;
    default:
        tempus_sync_io.log(TEXT_UNEXPECTED, stamp);
        tempus_sync_io.request_telegrams(fd, interval);
        return;
    }
}

void perform_synchronization(int fd, int interval)
{
    for (;;)
        synchronize_time(fd, interval);
}
