#ifndef TEMPUS_SERVICE_DCF_PROG_H
#define TEMPUS_SERVICE_DCF_PROG_H

#include "calendar/rwtime.h"

// Title that heads every console line.
#define DCF_PROGRAM_TITLE "Program obslugi zegara Horolan"

// Working buffer size for one argument or one formatted message, terminator included.
#define DCF_TEXT_SIZE 160

// Option codes returned by check_option.
#define OPTION_BAD_FORMAT 100
#define OPTION_UNKNOWN 101
#define OPTION_C 102
#define OPTION_S 103
#define OPTION_T 104
#define OPTION_D 106

// What the command line asked for; all zero means "nothing given".
struct dcf_settings {
    int port;      // 1..4, 0 = not given
    int sync_now;  // 1 = synchronise once before going to the background
    int interval;  // minutes 1..63, 0 = not given
    int deinstall; // 1 = removal call form
    int error;     // 1 = at least one argument was rejected
};

// Outcomes of the command-line walk and its combination rules.
#define WALK_INSTALL 0
#define WALK_REMOVE 1
#define WALK_REJECTED 2    // a bad argument; usage already shown
#define WALK_D_NOT_ALONE 3 // /D with other options; message and usage already shown

// Writes "[title]:- message\n" on standard error; failures are ignored.
void send_to_screen(const char *message);

// Classifies one argument, stripping "/" and the letter in place for codes 101..106.
int check_option(char *arg);

// Each validates the rest of its option, counts its occurrences for the whole
// process, reports a rejection on console and log, and stores only on success.
// Return 0 when accepted, 1 when rejected.
int check_C_option(const char *rest, int *port);
int check_S_option(const char *rest, int *sync_now);
int check_T_option(const char *rest, int *interval);
int check_D_option(const char *rest, int *deinstall);

// Writes the usage text to the console.
void show_usage(void);

// Walks argv[1..argc-1] into *s (zeroed first), reporting every bad argument,
// then applies the combination rules; returns one of the WALK_* outcomes.
int parse_command_line(int argc, char **argv, struct dcf_settings *s, RWTime start_stamp);

// The whole service program: installs, or with /D removes; returns the exit code.
int tempusd_main(int argc, char **argv);

#endif
