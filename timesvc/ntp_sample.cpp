#include "timesvc/ntp_sample.h"

#include <climits>

static constexpr long long NS_PER_SECOND = 1000000000LL;

// Below this many whole seconds the offset in nanoseconds fits a long long.
static constexpr long long EXACT_DIFFERENCE_LIMIT = LLONG_MAX / NS_PER_SECOND - 1;

static long long total_ns(struct timespec t)
{
    return static_cast<long long>(t.tv_sec) * NS_PER_SECOND + t.tv_nsec;
}

// No line brings its bytes faster than one character time apart, so bytes
// that were held back and handed over together (a UART's FIFO, a busy kernel
// worker, a USB adapter) place byte 0 by the last of them. A receiver whose
// baud clock runs fast by p brings byte k sooner by k*p character times (9
// bytes at 0.1 %: 5 us). A reading before `so_far` can only come from the
// clock set back meanwhile, and tells nothing.
struct timespec ntp_tighten_arrival(struct timespec so_far, struct timespec read_at, int index)
{
    // index: 0..DCF_TELEGRAM_SIZE-1 in the cycle, so the bound lies at most
    // ~5.2 ms before read_at; both readings are system-clock values, well
    // inside the range of a long long of nanoseconds.
    const long long reading_ns = total_ns(read_at);
    if (index <= 0 || reading_ns < total_ns(so_far))
        return so_far;
    const long long bound_ns = reading_ns - static_cast<long long>(index) * NTP_CHAR_TIME_NS;
    if (bound_ns >= total_ns(so_far))
        return so_far;
    struct timespec bound = {};
    bound.tv_sec = static_cast<time_t>(bound_ns / NS_PER_SECOND);
    bound.tv_nsec = static_cast<long>(bound_ns % NS_PER_SECOND);
    if (bound.tv_nsec < 0) {
        bound.tv_nsec += NS_PER_SECOND;
        --bound.tv_sec;
    }
    return bound;
}

int ntp_make_sample(struct timespec arrival, long long difference, ntp_sample *out)
{
    if (arrival.tv_nsec < 0 || arrival.tv_nsec >= NS_PER_SECOND)
        return -1;
    time_t instant_seconds = 0;
    if (__builtin_add_overflow(arrival.tv_sec, difference, &instant_seconds))
        return -1;

    // The instant is the receiver's time when byte 0 arrived, not the whole
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
