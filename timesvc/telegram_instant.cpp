#include "timesvc/telegram_instant.h"

#include <cstdlib>

#include "timesvc/wall_clock.h"

static constexpr long long SECONDS_PER_HOUR = 3600;

// An instant lies within 16 hours of the wall clock it shows (no zone's
// offset is larger); its offsets are looked for a little wider, over the
// telegram's date and the days either side.
static constexpr long long SEARCH_SPAN = 26 * SECONDS_PER_HOUR;
// A zone keeps each of its offsets for longer than this between changes.
static constexpr long long PROBE_STEP = 3 * SECONDS_PER_HOUR;
// Offsets a zone uses within a few days: two as a rule, three or four at most.
static constexpr int MAX_OFFSETS = 8;
// Instants of one wall-clock time: the two of a repeated hour, or, for a
// skipped time, its reading with each offset.
static constexpr int MAX_INSTANTS = MAX_OFFSETS;

static void add_distinct(long long value, long long *values, int *count, int capacity)
{
    for (int i = 0; i < *count; ++i)
        if (values[i] == value)
            return;
    if (*count < capacity)
        values[(*count)++] = value;
}

// Every offset the zone uses from `from` to `to` that lasts longer than PROBE_STEP.
static int offsets_between(long long from, long long to, long long *offsets)
{
    int count = 0;
    for (long long t = from;; t += PROBE_STEP) {
        const long long probe = t < to ? t : to;
        long offset = 0;
        if (wall_clock_offset(static_cast<time_t>(probe), &offset) == 0)
            add_distinct(offset, offsets, &count, MAX_OFFSETS);
        if (probe == to)
            return count;
    }
}

// The instants at which the zone shows the wall clock `wall`
// (wall_clock_count's seconds); how many there are.
static int instants_of(long long wall, const long long *offsets, int offset_count, long long *instants)
{
    int count = 0;
    for (int i = 0; i < offset_count; ++i) {
        // An offset seen nearby may be the wrong one; the offset in force at
        // the instant it gives is then tried too, which also finds an offset
        // that lasted too short for the probes. An instant counts only when
        // the zone shows `wall` at it.
        long long offset = offsets[i];
        for (int attempt = 0; attempt < 2; ++attempt) {
            const long long instant = wall - offset;
            long actual = 0;
            if (wall_clock_offset(static_cast<time_t>(instant), &actual) != 0)
                break;
            if (actual == offset) {
                add_distinct(instant, instants, &count, MAX_INSTANTS);
                break;
            }
            offset = actual;
        }
    }
    return count;
}

int find_telegram_instant(time_t reading, const dcf_wall_time *when, telegram_instant *out)
{
    if (!wall_time_in_range(when))
        return -1;
    // Only instants that show the telegram's own date are its instant: with
    // a clock days off, a neighbouring day's would lie nearer the reading.
    const long long wall =
        wall_clock_count(when->year, when->month, when->day, when->hour, when->minute, when->second);

    long long offsets[MAX_OFFSETS];
    const int offset_count = offsets_between(wall - SEARCH_SPAN, wall + SEARCH_SPAN, offsets);
    long long instants[MAX_INSTANTS];
    int count = instants_of(wall, offsets, offset_count, instants);
    const int occurrences = count;
    if (count == 0) {
        // Skipped: where the clock would have shown it with each offset.
        for (int i = 0; i < offset_count; ++i)
            add_distinct(wall - offsets[i], instants, &count, MAX_INSTANTS);
    }
    if (count == 0)
        return -1;

    long long best = instants[0];
    for (int i = 1; i < count; ++i) {
        const long long nearer = std::llabs(instants[i] - reading) - std::llabs(best - reading);
        if (nearer < 0 || (nearer == 0 && instants[i] < best))
            best = instants[i];
    }
    out->difference = static_cast<long>(best - reading);
    out->instants = occurrences;
    return 0;
}
