#include "timesvc/ntp_sample.h"

#include <climits>

static constexpr long long NS_PER_SECOND = 1000000000LL;

// Below this many whole seconds the offset in nanoseconds fits a long long.
static constexpr long long EXACT_DIFFERENCE_LIMIT = LLONG_MAX / NS_PER_SECOND - 1;

int ntp_make_sample(struct timespec arrival, long long difference, ntp_sample *out)
{
    if (arrival.tv_nsec < 0 || arrival.tv_nsec >= NS_PER_SECOND)
        return -1;
    time_t instant_seconds = 0;
    if (__builtin_add_overflow(arrival.tv_sec, difference, &instant_seconds))
        return -1;

    // The instant is the receiver's time when byte 0 was read, not the whole
    // second it names: so the SHM sample's clock minus receive time is the
    // same offset the SOCK datagram carries.
    out->arrival = arrival;
    out->instant.tv_sec = instant_seconds;
    out->instant.tv_nsec = NTP_CHAR_TIME_NS;

    // Whole nanoseconds first, one conversion at the end: the fraction of the
    // reading keeps its last digit even with D a day away.
    const long long fraction_ns = NTP_CHAR_TIME_NS - static_cast<long long>(arrival.tv_nsec);
    if (difference > -EXACT_DIFFERENCE_LIMIT && difference < EXACT_DIFFERENCE_LIMIT) {
        out->offset = static_cast<double>(difference * NS_PER_SECOND + fraction_ns) / 1e9;
    } else {
        out->offset = static_cast<double>(difference) + static_cast<double>(fraction_ns) / 1e9;
    }
    return 0;
}

static bool same_wall_clock(const struct tm &a, const struct tm &b)
{
    return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday &&
           a.tm_hour == b.tm_hour && a.tm_min == b.tm_min && a.tm_sec == b.tm_sec;
}

int ntp_local_time_instants(int year, int month, int day, int hour, int minute, int second)
{
    struct tm wall = {};
    wall.tm_year = year - 1900;
    wall.tm_mon = month - 1;
    wall.tm_mday = day;
    wall.tm_hour = hour;
    wall.tm_min = minute;
    wall.tm_sec = second > 59 ? 59 : second;

    // mktime cannot answer this: it returns one instant, chosen by the
    // tm_isdst guess, and zones that move their standard offset never change
    // tm_isdst at all. Instead every UTC offset the zone uses within a day of
    // the wall time is tried: each offset whose instant the zone renders with
    // that same offset names one instant.
    struct tm as_utc = wall;
    const time_t naive = timegm(&as_utc);
    if (!same_wall_clock(as_utc, wall))
        return 0; // no such date (31 April, hour 24): normalised away
    tzset();

    static constexpr int PROBES = 5;
    long offsets[PROBES] = {};
    int offset_count = 0;
    for (int k = 0; k < PROBES; ++k) {
        const time_t probe = naive + static_cast<time_t>(k - PROBES / 2) * 43200;
        struct tm local = {};
        if (localtime_r(&probe, &local) == nullptr)
            continue;
        bool known = false;
        for (int i = 0; i < offset_count; ++i)
            known = known || offsets[i] == local.tm_gmtoff;
        if (!known)
            offsets[offset_count++] = local.tm_gmtoff;
    }

    int instants = 0;
    for (int i = 0; i < offset_count; ++i) {
        const time_t candidate = naive - static_cast<time_t>(offsets[i]);
        struct tm local = {};
        if (localtime_r(&candidate, &local) != nullptr && local.tm_gmtoff == offsets[i])
            ++instants;
    }
    return instants;
}
