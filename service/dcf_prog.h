#ifndef TEMPUS_SERVICE_DCF_PROG_H
#define TEMPUS_SERVICE_DCF_PROG_H

#include "calendar/rwtime.h"
#include "timesvc/ntp_feed.h"

// Option codes returned by check_option.
constexpr int OPTION_BAD_FORMAT = 100;
constexpr int OPTION_UNKNOWN = 101;
constexpr int OPTION_C = 102;
constexpr int OPTION_S = 103;
constexpr int OPTION_T = 104;
constexpr int OPTION_N = 105;
constexpr int OPTION_D = 106;
constexpr int OPTION_Q = 107;

// Longest device path /C takes, so that every message naming it fits a message buffer.
constexpr int PORT_PATH_MAX = 64;

// What the command line asked for; all zero means "nothing given".
struct dcf_settings {
    int port;            // 1..4, 0 = not given (or given as a path)
    int sync_now;        // 1 = synchronise once before going to the background
    int interval;        // minutes 1..63, 0 = not given
    int deinstall;       // 1 = removal call form
    int error;           // 1 = at least one argument was rejected
    ntp_target ntp = {}; // /N: the NTP daemon fed instead of the clock; kind NTP_TARGET_NONE = not given
    char port_path[PORT_PATH_MAX + 1] = {}; // /C with an absolute device path; empty = not given
    int query = 0;                          // 1 = the status query /Q
};

// Outcomes of the command-line walk and its combination rules.
constexpr int WALK_INSTALL = 0;
constexpr int WALK_REMOVE = 1;
constexpr int WALK_REJECTED = 2;    // a bad argument; usage already shown
constexpr int WALK_D_NOT_ALONE = 3; // /D or /Q with other options; message and usage already shown
constexpr int WALK_QUERY = 4;

// Classifies one argument, stripping "/" and the letter in place for codes 101..106.
int check_option(char *arg);

// Each validates the rest of its option, counts its occurrences for the whole
// process, reports a rejection on console and log, and stores only on success.
// Return 0 when accepted, 1 when rejected.
// /C: one digit 1..4, or an absolute device path of at most 64 bytes (into
// `path`, PORT_PATH_MAX + 1 bytes; *port stays 0 then).
int check_C_option(const char *rest, int *port, char *path);
int check_S_option(const char *rest, int *sync_now);
int check_T_option(const char *rest, int *interval);
int check_D_option(const char *rest, int *deinstall);
int check_Q_option(const char *rest, int *query);
// /N: one to three digits 0..255 (an NTP shared-memory unit) or an absolute
// path of at most 64 bytes (chrony's SOCK socket).
int check_N_option(const char *rest, ntp_target *ntp);

// Writes the usage text to the console.
void show_usage(void);

// Walks argv[1..argc-1] into *s (zeroed first), reporting every bad argument,
// then applies the combination rules; returns one of the WALK_* outcomes.
int parse_command_line(int argc, char **argv, struct dcf_settings *s, RWTime start_stamp);

// The whole service program: installs, or with /D removes; returns the exit code.
int tempusd_main(int argc, char **argv);

#endif
