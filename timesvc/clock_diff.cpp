#include "timesvc/clock_diff.h"

static constexpr long SECONDS_PER_DAY = 86400;
static constexpr long HALF_DAY = SECONDS_PER_DAY / 2;

long count_difference(std::uint32_t telegram_count, std::uint32_t reading_count)
{
    // Unsigned subtraction wraps modulo 2^32; the two's-complement reading of
    // the result is the shorter way from one count to the other.
    return static_cast<long>(static_cast<std::int32_t>(telegram_count - reading_count));
}

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

time_t stepped_clock_value(time_t reading_seconds, long difference)
{
    return reading_seconds + static_cast<time_t>(difference);
}
