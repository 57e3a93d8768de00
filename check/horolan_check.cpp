// horolan-check: asks the Horolan receiver on the line named on the command
// line for one telegram and prints it beside the system clock, measured as
// tempusd /N measures it. Never sets the clock; needs no privilege beyond
// reading and writing the line, whose settings it puts back when it ends.
// Exit status 0 for a valid telegram, 1 for every failure.

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "check/check_line.h"
#include "check/check_measure.h"
#include "check/check_report.h"
#include "check/check_restore.h"
#include "check/check_script.h"
#include "check/check_zone.h"
#include "link/rd_wr_rp.h"

static constexpr const char *PROGRAM = "horolan-check";

// Room for the report, the script's lines and any one message.
static constexpr int TEXT_SIZE = 2048;

// The longest wait for the receiver's first byte that --wait takes, in seconds.
static constexpr int MAX_WAIT_S = 3600;

struct check_options {
    const char *path;
    int wait_s;  // for byte 0
    bool script; // name=value lines on standard output
};

static int usage(const char *name)
{
    (void)std::fprintf(stderr,
                       "Usage: %s [--wait SECONDS] [--script] DEVICE\n  e.g. %s /dev/term/a\n"
                       "  --wait SECONDS  how long the receiver has to answer (1-%d, default %d)\n"
                       "  --script        name=value lines for scripts instead of the report\n",
                       name, PROGRAM, MAX_WAIT_S, CHECK_FIRST_BYTE_WAIT_MS / 1000);
    return 1;
}

// 0, or -1 for a command line to refuse.
static int parse_options(int argc, char **argv, check_options *o)
{
    *o = {nullptr, CHECK_FIRST_BYTE_WAIT_MS / 1000, false};
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (std::strcmp(arg, "--script") == 0) {
            o->script = true;
        } else if (std::strcmp(arg, "--wait") == 0 && i + 1 < argc) {
            char *end = nullptr;
            errno = 0;
            const long seconds = std::strtol(argv[++i], &end, 10);
            if (errno != 0 || end == argv[i] || *end != '\0' || seconds < 1 || seconds > MAX_WAIT_S)
                return -1;
            o->wait_s = static_cast<int>(seconds);
        } else if (arg[0] == '-' || o->path != nullptr) {
            return -1;
        } else {
            o->path = arg;
        }
    }
    return o->path != nullptr ? 0 : -1;
}

// A failure before a whole telegram came: its line on standard error, and
// with --script the same as lines on standard output.
static int fail(const check_options &o, const char *outcome, const char *message)
{
    if (o.script) {
        char lines[TEXT_SIZE];
        if (format_check_script_failure(o.path, outcome, message, lines, sizeof lines) >= 0)
            (void)std::fputs(lines, stdout);
    }
    (void)std::fprintf(stderr, "%s: %s\n", PROGRAM, message);
    return 1;
}

static int report(const check_options &o, const check_reading &reading)
{
    char text[TEXT_SIZE];
    if (o.script)
        format_check_script(o.path, &reading, text, sizeof text);
    else
        format_check_report(&reading, text, sizeof text);
    (void)std::fputs(text, stdout);
    (void)std::fflush(stdout);
    if (reading_zone_warning(&reading, text, sizeof text) != 0)
        (void)std::fprintf(stderr, "%s: %s\n", PROGRAM, text);
    if (reading.verdict != TELEGRAM_VALID) {
        format_telegram_fault(reading.telegram, reading.verdict, text, sizeof text);
        (void)std::fprintf(stderr, "%s: %s\n", PROGRAM, text);
        return 1;
    }
    return 0;
}

int main(int argc, char **argv)
{
    check_options o = {};
    if (parse_options(argc, argv, &o) != 0)
        return usage(argc > 0 && argv[0] != nullptr ? argv[0] : PROGRAM);
    const char *path = o.path;
    tzset();
    char text[TEXT_SIZE];

    int fd = -1;
    struct termios before = {};
    const int opened = open_check_line(path, &fd, &before);
    if (opened != CHECK_OPEN_OK) {
        format_open_failure(opened, path, errno, text, sizeof text);
        return fail(o, open_failure_outcome(opened), text);
    }
    keep_line_settings(fd, &before);
    if (ask_for_telegram(fd) != SERIAL_OK) {
        (void)std::snprintf(text, sizeof text, "cannot send the request (0x%02x) to %s: %s", DCF_REQUEST_BYTE,
                            path, std::strerror(errno));
        (void)restore_line_settings();
        (void)close(fd);
        return fail(o, "broken", text);
    }

    check_reading reading = {};
    struct timespec arrival = {};
    int got = 0;
    const int result = read_check_telegram(fd, o.wait_s * 1000, reading.telegram, &arrival, &got);
    const int read_error = errno;
    (void)restore_line_settings();
    (void)close(fd);
    if (result != SERIAL_OK) {
        format_read_failure(result, got, o.wait_s, path, read_error, text, sizeof text);
        return fail(o, read_failure_outcome(result, got), text);
    }

    measure_telegram(arrival, &reading);
    return report(o, reading);
}
