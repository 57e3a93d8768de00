#ifndef TEMPUS_EMULATOR_VARIETY_H
#define TEMPUS_EMULATOR_VARIETY_H

// What changes from telegram to telegram in a long run: a random offset per
// telegram and faults in rotation. A small generator of our own, seeded from
// the command line, makes every run repeatable.

namespace horolan {

struct Random {
    unsigned long long state = 0;
};

// The next 64 random bits (splitmix64).
unsigned long long random_next(Random *r);

// A whole number from lo to hi, both included (lo <= hi).
long long random_between(Random *r, long long lo, long long hi);

// A random offset of at most `max` seconds either way, of a size class chosen
// per telegram: 0 (one in ten), 1..5 s (five in ten), 6 s..1 h (one in four),
// above 1 h (the rest). A class that does not fit under `max` gives a
// uniform offset from -max to max instead.
long long random_offset(Random *r, long long max);

enum RotatingFault { FAULT_NONE, FAULT_GARBAGE, FAULT_BAD_CHECKSUM, FAULT_UNCERTAIN, FAULT_HANGUP };

// The fault of telegram number `index` (0 = the first) when every `every`-th
// one carries a fault (0: never): garbage, bad checksum, uncertain, hang-up,
// and again from the start.
RotatingFault rotating_fault(int every, int index);

// The fault's name in the log.
const char *fault_name(RotatingFault fault);

// Bytes no receiver sends as a telegram: 1..0x7F, so never a start byte, a
// status byte, a marked sequence or a break.
constexpr int GARBAGE_BYTES = 13;
void garbage_burst(Random *r, unsigned char *out);

} // namespace horolan

#endif
