// horolan-check: asks the Horolan receiver on the line named on the command
// line for one telegram and prints it beside the system clock, measured as
// tempusd /N measures it. Never sets the clock; needs no privilege beyond
// reading and writing the line. Exit status 0 for a valid telegram, 1 for
// every failure.

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "check/check_line.h"
#include "check/check_measure.h"
#include "check/check_report.h"
#include "link/rd_wr_rp.h"

static constexpr const char *PROGRAM = "horolan-check";

// Room for the report and for any one message.
static constexpr int TEXT_SIZE = 1024;

static int fail(const char *message)
{
    (void)std::fprintf(stderr, "%s: %s\n", PROGRAM, message);
    return 1;
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        (void)std::fprintf(stderr, "Usage: %s DEVICE\n  e.g. %s /dev/term/a\n",
                           argc > 0 && argv[0] != nullptr ? argv[0] : PROGRAM, PROGRAM);
        return 1;
    }
    const char *path = argv[1];
    tzset();
    char text[TEXT_SIZE];

    int fd = -1;
    const int opened = open_check_line(path, &fd);
    if (opened != CHECK_OPEN_OK) {
        format_open_failure(opened, path, errno, text, sizeof text);
        return fail(text);
    }
    if (ask_for_telegram(fd) != SERIAL_OK) {
        (void)std::snprintf(text, sizeof text, "cannot send the request (0x%02x) to %s: %s", DCF_REQUEST_BYTE,
                            path, std::strerror(errno));
        return fail(text);
    }

    check_reading reading = {};
    struct timespec arrival = {};
    int got = 0;
    const int result = read_check_telegram(fd, reading.telegram, &arrival, &got);
    const int read_error = errno;
    (void)close(fd);
    if (result != SERIAL_OK) {
        format_read_failure(result, got, path, read_error, text, sizeof text);
        return fail(text);
    }

    measure_telegram(arrival, &reading);
    format_check_report(&reading, text, sizeof text);
    (void)std::fputs(text, stdout);
    (void)std::fflush(stdout);
    if (reading.verdict != TELEGRAM_VALID) {
        format_telegram_fault(reading.telegram, reading.verdict, text, sizeof text);
        return fail(text);
    }
    return 0;
}
