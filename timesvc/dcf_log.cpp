#include "timesvc/dcf_log.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>

#include "calendar/zone.h"

void send_to_screen(const char *message)
{
    fprintf(stderr, "[%s]:- %s\n", DCF_PROGRAM_TITLE, message);
}

// dcf.log opened for appending, or -1. Only a regular file is taken: a
// symlink planted under the name is not followed, and a FIFO, which would
// hold the service until someone reads it, is neither waited for nor used.
static int open_log()
{
    int fd = open(DCF_LOG_FILE, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd == -1)
        return -1;
    struct stat info = {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Run by systemd (which sets INVOCATION_ID for every process of a unit),
// the service's lines go to the journal as well, under its unit.
static void tell_the_journal(const char *text, int priority)
{
    if (getenv("INVOCATION_ID") == nullptr)
        return;
    static bool opened = false;
    if (!opened) {
        openlog("tempusd", LOG_PID, LOG_DAEMON);
        opened = true;
    }
    // The final lines of an installation end with empty lines, which the journal does not need.
    int length = static_cast<int>(strlen(text));
    while (length > 0 && text[length - 1] == '\n')
        --length;
    syslog(priority, "%.*s", length, text);
}

static constexpr log_io real_log_io = {tell_the_journal};

log_io tempus_log_io = real_log_io;

void log_io_restore_defaults()
{
    tempus_log_io = real_log_io;
}

// Why a file could not be written, in the service's own words.
static const char *write_failure_text(int error)
{
    switch (error) {
    case ENOSPC: return "brak miejsca na dysku";
    case EDQUOT: return "przekroczony przydzial miejsca na dysku";
    case EACCES:
    case EPERM:
    case EROFS: return "brak uprawnien";
    case EIO: return "blad wejscia/wyjscia";
    default: return "inny blad";
    }
}

void journal_write_outcome(const char *file, int error, bool *failing)
{
    if ((error != 0) == *failing)
        return;
    *failing = error != 0;
    char text[DCF_TEXT_SIZE];
    if (*failing)
        snprintf(text, sizeof text, "Nie mozna zapisac pliku %s: %s.", file, write_failure_text(error));
    else
        snprintf(text, sizeof text, "Zapis pliku %s znow dziala.", file);
    tempus_log_io.journal(text, *failing ? LOG_ERR : LOG_NOTICE);
}

static void (*undo_on_loss)(int failed) = nullptr;
static bool undoing = false;

void undo_registration_on_lost_log(void (*undo)(int failed))
{
    undo_on_loss = undo;
}

void write_to_log(const char *text, RWTime stamp)
{
    // Opened and closed per line, so the installing, background and removing
    // processes can append one after another without any coordination.
    int log = open_log();
    if (log == -1) {
        // While the registration is taken back, its own lines are lost as well.
        if (undoing)
            return;
        send_to_screen("Nie mozna otworzyc dziennika zegara Horolan. Koniec ...");
        if (undo_on_loss != nullptr) {
            undoing = true;
            undo_on_loss(1);
        }
        exit(EXIT_REGISTRY);
    }
    struct tm fields = {};
    stamp.extract(&fields, RWZone::local());
    char head[DCF_TEXT_SIZE] = {};
    (void)snprintf(head, sizeof head, "[%02i/%02i/%04i %02i:%02i:%02i]:- ", fields.tm_mday, fields.tm_mon + 1,
                   fields.tm_year + 1900, fields.tm_hour, fields.tm_min, fields.tm_sec);
    // One write per line: lines of processes appending at the same moment never interleave.
    char newline = '\n';
    struct iovec parts[3] = {
        {head, strlen(head)},
        {const_cast<char *>(text), strlen(text)},
        {&newline, 1},
    };
    // A line the disk cannot take is lost; the service goes on, and the
    // journal, which has the line, says so. A short write is a full disk's.
    const ssize_t length = static_cast<ssize_t>(parts[0].iov_len + parts[1].iov_len + 1);
    const ssize_t written = writev(log, parts, 3);
    const int error = written == length ? 0 : (written < 0 ? errno : ENOSPC);
    close(log);
    static bool failing = false;
    journal_write_outcome(DCF_LOG_FILE, error, &failing);
    tempus_log_io.journal(text, LOG_INFO);
}

void report_at(const char *message, RWTime stamp)
{
    send_to_screen(message);
    write_to_log(message, stamp);
}

void report_and_exit(const char *message, RWTime stamp, int exit_code, void (*undo)(int failed))
{
    report_at(message, stamp);
    if (undo != nullptr)
        undo(1);
    exit(exit_code);
}
