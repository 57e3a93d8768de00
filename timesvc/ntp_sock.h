#ifndef TEMPUS_TIMESVC_NTP_SOCK_H
#define TEMPUS_TIMESVC_NTP_SOCK_H

#include <sys/time.h>

#include "timesvc/ntp_sample.h"

// Samples for chrony's SOCK reference clock: one datagram per sample to a
// Unix socket that chronyd listens on.

// chrony's sample datagram, in its own layout (40 bytes where timeval is 16).
struct ntp_sock_sample {
    struct timeval tv; // when the sample was taken, by the system clock
    double offset;     // reference time minus tv, in seconds
    int pulse;         // 0: a time sample, not a bare pulse
    int leap;          // 0: no leap second announced
    int pad;
    int magic;
};

// chrony accepts only datagrams carrying this magic ("SOCK").
constexpr int NTP_SOCK_MAGIC = 0x534f434b;

// The datagram for a sample; its offset is measured from tv, the arrival cut
// to the microsecond, so that tv + offset is still the sample's instant.
void ntp_sock_fill(const ntp_sample *sample, ntp_sock_sample *out);

// Sends one datagram to the socket at `path` from a fresh unbound socket,
// never waiting; nothing stays open. Returns 0, or -1 with errno (ENOENT,
// ECONNREFUSED, EAGAIN when chronyd's queue is full, ENAMETOOLONG, ...).
int ntp_sock_send(const char *path, const ntp_sock_sample *datagram);

#endif
