#ifndef TEMPUS_TIMESVC_CLOCK_DIFF_H
#define TEMPUS_TIMESVC_CLOCK_DIFF_H

#include <ctime>

enum clock_correction { CORRECTION_NONE, CORRECTION_SLEW, CORRECTION_STEP };

// Largest difference, in seconds either way, that is slewed instead of stepped.
constexpr long SLEW_LIMIT_SECONDS = 5;

// How a difference is corrected: not at all (0), slewed (up to 5 s) or stepped.
clock_correction choose_correction(long difference);

// System clock value for a step: the reading's own system time (whole
// seconds, 64-bit) moved by the difference, so the value stays right after 2037.
time_t stepped_clock_value(time_t reading_seconds, long difference);

#endif
