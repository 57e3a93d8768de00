#ifndef TEMPUS_TIMESVC_CLOCK_DIFF_H
#define TEMPUS_TIMESVC_CLOCK_DIFF_H

#include <ctime>

enum clock_correction { CORRECTION_NONE, CORRECTION_SLEW, CORRECTION_STEP };

// Largest difference, in seconds either way, that is slewed instead of stepped.
constexpr long SLEW_LIMIT_SECONDS = 5;

// Brings a receiver-minus-system difference back within half a day either way
// (the receiver's time of day may belong to the neighbouring day).
long fold_day_difference(long difference);

// How a difference is corrected: not at all (0), slewed (up to 5 s) or stepped.
clock_correction choose_correction(long difference);

// System clock value for a step: the telegram's library time moved by `fold`
// seconds, as Unix time, with the library's hour correction taken back out.
time_t stepped_clock_value(unsigned long telegram_seconds, long fold, unsigned long epoch_seconds,
                           int dst_correction);

#endif
