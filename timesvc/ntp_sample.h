#ifndef TEMPUS_TIMESVC_NTP_SAMPLE_H
#define TEMPUS_TIMESVC_NTP_SAMPLE_H

#include <ctime>

// One time sample for the NTP daemon, made from a valid telegram: when its
// first byte arrived by the system clock, and what the receiver's time was
// at that moment.

// How long one character takes on the receiver's line: 11 bits (start, 8 data,
// parity, stop) at 19200 baud, in nanoseconds. Byte 0 is only complete, and
// readable, this long after the receiver began to send it on its whole second.
constexpr long NTP_CHAR_TIME_NS = (11L * 1000000000L + 19200L / 2) / 19200L;

struct ntp_sample {
    struct timespec arrival; // CLOCK_REALTIME when byte 0 arrived (see ntp_tighten_arrival)
    struct timespec instant; // the receiver's time at that same moment
    double offset;           // instant - arrival, in seconds
};

// Byte 0's arrival no later than `so_far` nor than byte `index`'s reading
// `read_at` less `index` character times; a reading before `so_far` changes nothing.
struct timespec ntp_tighten_arrival(struct timespec so_far, struct timespec read_at, int index);

// Makes the sample of a telegram whose byte 0 arrived at `arrival` and whose
// time lies `difference` whole seconds from floor(arrival) (the cycle's D).
// Returns 0, or -1 (sample untouched) when the instant does not fit in time_t
// or arrival's nanoseconds are out of range.
int ntp_make_sample(struct timespec arrival, long long difference, ntp_sample *out);

#endif
