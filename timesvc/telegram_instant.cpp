#include "timesvc/telegram_instant.h"

#include <cstdlib>

static constexpr long long SECONDS_PER_HOUR = 3600;
static constexpr long long SECONDS_PER_DAY = 86400;

// The nearest instant naming the wall-clock time lies within half a day and
// an offset change of the reading; offsets are looked for a little wider.
static constexpr long long SEARCH_SPAN = 26 * SECONDS_PER_HOUR;
// A zone keeps each of its offsets for longer than this between changes.
static constexpr long long PROBE_STEP = 3 * SECONDS_PER_HOUR;
// Offsets a zone uses within a few days: two as a rule, three or four at most.
static constexpr int MAX_OFFSETS = 8;
// Instants of one wall-clock time: the two of a repeated hour, or, for a
// skipped time, its reading with each offset.
static constexpr int MAX_PER_DAY = MAX_OFFSETS;

// The system zone's UTC offset at t, in seconds east.
static bool offset_at(time_t t, long *offset)
{
    struct tm fields = {};
    if (localtime_r(&t, &fields) == nullptr)
        return false;
    *offset = fields.tm_gmtoff;
    return true;
}

static void add_distinct(long long value, long long *values, int *count, int capacity)
{
    for (int i = 0; i < *count; ++i)
        if (values[i] == value)
            return;
    if (*count < capacity)
        values[(*count)++] = value;
}

// Every offset the zone uses from `from` to `to` that lasts longer than PROBE_STEP.
static int offsets_between(time_t from, time_t to, long long *offsets)
{
    int count = 0;
    for (time_t t = from;; t += PROBE_STEP) {
        const time_t probe = t < to ? t : to;
        long offset = 0;
        if (offset_at(probe, &offset))
            add_distinct(offset, offsets, &count, MAX_OFFSETS);
        if (probe == to)
            return count;
    }
}

// The instants at which the zone shows the local wall-clock time `wall`
// (seconds counted as timegm counts them); how many there are.
static int instants_of(long long wall, const long long *offsets, int offset_count, long long *instants)
{
    int count = 0;
    for (int i = 0; i < offset_count; ++i) {
        // An offset seen nearby may be the wrong one; the offset in force at
        // the instant it gives is then tried too, which also finds an offset
        // that lasted too short for the probes.
        long long offset = offsets[i];
        for (int attempt = 0; attempt < 2; ++attempt) {
            const auto instant = static_cast<time_t>(wall - offset);
            long actual = 0;
            if (!offset_at(instant, &actual))
                break;
            if (actual == offset) {
                add_distinct(instant, instants, &count, MAX_PER_DAY);
                break;
            }
            offset = actual;
        }
    }
    return count;
}

static long long floor_div(long long a, long long b)
{
    const long long q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

int find_telegram_instant(time_t reading, int hour, int minute, int second, telegram_instant *out)
{
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60)
        return -1;
    long reading_offset = 0;
    if (!offset_at(reading, &reading_offset))
        return -1;
    const long long local = static_cast<long long>(reading) + reading_offset; // the reading's wall clock
    const long long midnight = floor_div(local, SECONDS_PER_DAY) * SECONDS_PER_DAY; // its date's start
    const long long time_of_day = hour * SECONDS_PER_HOUR + minute * 60LL + second; // [0, 86400]

    long long offsets[MAX_OFFSETS];
    const int offset_count = offsets_between(reading - SEARCH_SPAN, reading + SEARCH_SPAN, offsets);

    bool found = false;
    long long best = 0;
    int best_day_instants = 0;
    for (long long day = -1; day <= 1; ++day) {
        const long long wall = midnight + day * SECONDS_PER_DAY + time_of_day;
        long long instants[MAX_PER_DAY];
        int count = instants_of(wall, offsets, offset_count, instants);
        const int occurrences = count;
        if (count == 0) {
            // Skipped: where the clock would have shown it with each offset.
            for (int i = 0; i < offset_count; ++i)
                add_distinct(wall - offsets[i], instants, &count, MAX_PER_DAY);
        }
        for (int i = 0; i < count; ++i) {
            if (!found || std::llabs(instants[i] - reading) < std::llabs(best - reading)) {
                found = true;
                best = instants[i];
                best_day_instants = occurrences;
            }
        }
    }
    if (!found)
        return -1;
    out->difference = static_cast<long>(best - reading);
    out->instants = best_day_instants;
    return 0;
}
