#ifndef TEMPUS_TIMESVC_CLOCK_DIFF_H
#define TEMPUS_TIMESVC_CLOCK_DIFF_H

#include <cstdint>
#include <ctime>

enum clock_correction { CORRECTION_NONE, CORRECTION_SLEW, CORRECTION_STEP };

// Largest difference, in seconds either way, that is slewed instead of stepped.
constexpr long SLEW_LIMIT_SECONDS = 5;

// telegram − reading for two library counts, taken modulo 2^32 as a signed
// 32-bit value, so that counts on either side of the 2037 wrap still differ
// by the seconds between them.
long count_difference(std::uint32_t telegram_count, std::uint32_t reading_count);

// Brings a receiver-minus-system difference back within half a day either way
// (the receiver's time of day may belong to the neighbouring day).
long fold_day_difference(long difference);

// How a difference is corrected: not at all (0), slewed (up to 5 s) or stepped.
clock_correction choose_correction(long difference);

// System clock value for a step: the reading's own system time (whole
// seconds, 64-bit) moved by the difference; no library count takes part, so
// the value stays right after 2037.
time_t stepped_clock_value(time_t reading_seconds, long difference);

#endif
