#include "timesvc/clock_diff.h"

static constexpr long SECONDS_PER_DAY = 86400;
static constexpr long HALF_DAY = SECONDS_PER_DAY / 2;

long fold_day_difference(long difference)
{
    if (difference > HALF_DAY)
        return difference - SECONDS_PER_DAY;
    if (difference < -HALF_DAY)
        return difference + SECONDS_PER_DAY;
    return difference;
}

clock_correction choose_correction(long difference)
{
    if (difference == 0)
        return CORRECTION_NONE;
    if (difference >= -SLEW_LIMIT_SECONDS && difference <= SLEW_LIMIT_SECONDS)
        return CORRECTION_SLEW;
    return CORRECTION_STEP;
}

time_t stepped_clock_value(unsigned long telegram_seconds, long fold, unsigned long epoch_seconds,
                           int dst_correction)
{
    return static_cast<time_t>(static_cast<long>(telegram_seconds) + fold - static_cast<long>(epoch_seconds) -
                               static_cast<long>(dst_correction) * 3600L);
}
