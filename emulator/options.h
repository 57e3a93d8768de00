#ifndef TEMPUS_EMULATOR_OPTIONS_H
#define TEMPUS_EMULATOR_OPTIONS_H

#include <cstddef>

#include "emulator/telegram.h"

// Command line of horolan-emu.

namespace horolan {

struct Options {
    const char *device = nullptr;    // serve this terminal instead of a new pseudo-terminal
    const char *log_path = nullptr;  // byte log; none when null
    long long minute_ms = 60000;     // length of one minute of interval
    long long offset_s = 0;          // added to the host's clock in every telegram
    long long command_wait_ms = 100; // how long a command byte waits for its interval byte
    long long min_delay_ms = 100;    // a requested telegram never goes out sooner
    long long linger_ms = 1000;      // pause between the last telegram and exit or hang-up
    bool align = true;               // send on whole seconds
    long long at_ms = 0;             // ... this many ms after them, with the whole second's time
    long long window_ms = 0;         // ... or up to this many ms later in the same second
    bool silent = false;             // never answer
    int telegrams = 0;               // exit after this many telegrams (0: never)
    int hangup_after = 0;            // close the line after this many telegrams (0: never)
    FaultPlan faults;
    long long random_offset_s = 0;   // each telegram's offset varies by up to this much (0: not at all)
    long long seed = 1;              // of the random offsets and garbage
    int fault_every = 0;             // every N-th telegram carries the next fault of the rotation
    long long down_ms = 3000;        // how long the line stays away after a hang-up of the rotation
    const char *link_path = nullptr; // symbolic link kept pointing at the host's end of the line
    bool help = false;
};

// Parses argv[1..argc-1]. Returns 0, or -1 with a one-line reason in `error`.
int parse_options(int argc, char **argv, Options *out, char *error, std::size_t error_size);

// The text of --help.
const char *usage_text();

} // namespace horolan

#endif
