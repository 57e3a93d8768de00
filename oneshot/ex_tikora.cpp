// ex_tikora: sets the system clock once from the Horolan receiver named on
// the command line. Exit status 0 once the clock is set, 1 for every failure.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <unistd.h>

#include "oneshot/telegram_time.h"
#include "oneshot/tikora.h"
#include "platform/stime.h"

static unsigned year;
static unsigned month;
static unsigned dom;
static unsigned dow;
static unsigned hour;
static unsigned minute;
static unsigned second;
static unsigned valid_time;

// Hang-up: leave at once; the process's end closes the device.
static void empty_hup(int /*signal_number*/)
{
    _exit(1);
}

static void print_usage(const char *program_name)
{
    (void)fprintf(stderr, "Usage :\n");
    (void)fprintf(stderr, "  %s special_file_name\n", program_name);
}

[[noreturn]] static void close_and_exit(int status)
{
    (void)tikora_close();
    exit(status);
}

// Reads telegrams until the receiver is certain of its time; any failed read ends the program.
static void read_until_valid()
{
    do {
        if (tikora_read_time(TIKORA_CMD_TIME, &year, &month, &dom, &dow, &hour, &minute, &second,
                             &valid_time) != TIKORA_OK) {
            close_and_exit(1);
        }
    } while (valid_time == 0);
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        print_usage(argc > 0 && argv[0] != nullptr ? argv[0] : "ex_tikora");
        return 1;
    }
    const char *device_name = argv[1];
    int opened = tikora_open(device_name);
    if (opened != TIKORA_OK) {
        (void)fprintf(stderr, "Error %s while opening serial device %s\n", error_name[opened], device_name);
        return 1;
    }
    (void)signal(SIGHUP, empty_hup);

    read_until_valid();

    const tikora_telegram_fields fields = {year, month, dom, hour, minute, second};
    struct tm checked = {};
    if (tikora_telegram_to_tm(&fields, &checked) != 0) {
        close_and_exit(1); // a field out of range is a damaged telegram, like a bad checksum
    }
    time_t when = tikora_telegram_to_time(&fields);
    if (when == static_cast<time_t>(-1)) {
        (void)fprintf(stderr,
                      "Cannot convert the receiver's time %02u.%02u.%02u %02u:%02u:%02u to a system time\n",
                      dom, month, year, hour, minute, second);
        close_and_exit(1);
    }
    if (stime(&when) != 0) {
        (void)fprintf(stderr, "Cannot set the system clock: %s\n", strerror(errno));
        close_and_exit(1);
    }
    close_and_exit(0);
}
