#include "timesvc/dcf_log.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "calendar/zone.h"

void send_to_screen(const char *message)
{
    fprintf(stderr, "[%s]:- %s\n", DCF_PROGRAM_TITLE, message);
}

void write_to_log(const char *text, RWTime stamp)
{
    // Opened and closed per line, so the installing, background and removing
    // processes can append one after another without any coordination.
    FILE *log = fopen(DCF_LOG_FILE, "a");
    if (log == nullptr) {
        send_to_screen("Nie mozna otworzyc dziennika zegara Horolan. Koniec ...");
        exit(EXIT_REGISTRY);
    }
    struct tm fields = {};
    stamp.extract(&fields, RWZone::local());
    fprintf(log, "[%02i/%02i/%04i %02i:%02i:%02i]:- %s\n", fields.tm_mday, fields.tm_mon + 1,
            fields.tm_year + 1900, fields.tm_hour, fields.tm_min, fields.tm_sec, text);
    fclose(log);
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
