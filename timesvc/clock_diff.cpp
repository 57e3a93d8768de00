#include "timesvc/clock_diff.h"

clock_correction choose_correction(long difference)
{
    if (difference == 0)
        return CORRECTION_NONE;
    if (difference >= -SLEW_LIMIT_SECONDS && difference <= SLEW_LIMIT_SECONDS)
        return CORRECTION_SLEW;
    return CORRECTION_STEP;
}

time_t stepped_clock_value(time_t reading_seconds, long difference)
{
    return reading_seconds + static_cast<time_t>(difference);
}
