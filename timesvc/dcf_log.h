#ifndef TEMPUS_TIMESVC_DCF_LOG_H
#define TEMPUS_TIMESVC_DCF_LOG_H

// How tempusd speaks: the console line, the log line, and the end of the
// process after a report. A leaf unit: every layer of the service may call
// it, and it calls nothing of theirs.

#include "calendar/rwtime.h"

// Title that heads every console line.
constexpr char DCF_PROGRAM_TITLE[] = "Program obslugi zegara Horolan";

// Log file, relative to the working directory.
constexpr char DCF_LOG_FILE[] = "dcf.log";

// Working buffer size for one argument or one formatted message, terminator included.
constexpr int DCF_TEXT_SIZE = 160;

// Exit codes of tempusd.
constexpr int EXIT_INSTALLED = 0;    // the background process runs
constexpr int EXIT_COMMAND_LINE = 1; // an argument was rejected
constexpr int EXIT_REGISTRY = 2;     // every end through the registry (a removal too), fork failure, lost log
constexpr int EXIT_PORT = 3;         // unusable port, when undoing the registration returned

// What the log writer reaches besides dcf.log, in one table, so that a test
// can see what goes to the journal. It starts out holding the real writer.
struct log_io {
    // Under a service manager, text goes to the journal at this syslog
    // priority; elsewhere nowhere.
    void (*journal)(const char *text, int priority);
};

extern log_io tempus_log_io;

// Puts the real journal writer back into tempus_log_io.
void log_io_restore_defaults();

// Tells the journal once when writing `file` begins to fail, with why (error,
// an errno), and once when it works again: error 0 is a write that worked.
// *failing keeps what the last write of that file did.
void journal_write_outcome(const char *file, int error, bool *failing);

// Writes "[title]:- message\n" on standard error; failures are ignored.
void send_to_screen(const char *message);

// Appends "[dd/mm/yyyy hh:mm:ss]:- text\n" to dcf.log, stamp rendered in the
// library's local zone; ends the process with EXIT_REGISTRY if the log cannot
// be opened, after undo(1) when a registration to take back is named below.
// A line the file system cannot take is lost (the journal has it), and so
// said in the journal as journal_write_outcome says.
void write_to_log(const char *text, RWTime stamp);

// Names what takes the registration back (and ends the process) should the
// log be lost before the installation is complete; nullptr when there is none.
void undo_registration_on_lost_log(void (*undo)(int failed));

// The message on the console first, then in the log with the given stamp.
void report_at(const char *message, RWTime stamp);

// Reports like report_at, then calls undo(1) when one is given (it takes back
// the registration and normally ends the process itself), then exits with exit_code.
[[noreturn]] void report_and_exit(const char *message, RWTime stamp, int exit_code, void (*undo)(int failed));

#endif
