#include "timesvc/dcf_log.h"

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
static void tell_the_journal(const char *text)
{
    static const bool under_systemd = getenv("INVOCATION_ID") != nullptr;
    if (!under_systemd)
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
    syslog(LOG_INFO, "%.*s", length, text);
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
    // A line the disk cannot take is lost; the service goes on (the journal may have it).
    (void)writev(log, parts, 3);
    close(log);
    tell_the_journal(text);
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
