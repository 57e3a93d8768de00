#ifndef TEMPUS_TIMESVC_NTP_SHM_H
#define TEMPUS_TIMESVC_NTP_SHM_H

#include <ctime>

#include "timesvc/ntp_sample.h"

// Samples for the NTP shared-memory reference clock: a System V segment per
// unit that the NTP daemon polls.

// The segment's layout as NTP daemons read it (96 bytes on 64-bit Linux).
// count and valid are only touched through the handshake in ntp_shm_write.
struct ntp_shm_time {
    int mode; // 1: the count/valid handshake is used
    int count;
    time_t clockTimeStampSec; // the reference clock's time ...
    int clockTimeStampUSec;
    time_t receiveTimeStampSec; // ... and the system's, at the same moment
    int receiveTimeStampUSec;
    int leap;
    int precision; // log2 of the sample's precision in seconds
    int nsamples;
    int valid;
    unsigned clockTimeStampNSec;
    unsigned receiveTimeStampNSec;
    int dummy[8];
};

// System V key of unit 0; unit n uses this plus n.
constexpr int NTP_SHM_KEY_BASE = 0x4E545030;

// Attaches the segment of `unit` (0..255), creating it if absent with mode
// 0600 for units 0 and 1 and 0666 from 2 on. Null when it cannot be had or is
// smaller than ntp_shm_time.
ntp_shm_time *ntp_shm_attach(int unit);

// Detaches a segment from ntp_shm_attach; the segment itself stays.
void ntp_shm_detach(ntp_shm_time *segment);

// Publishes one sample in mode 1: a reader that sees valid set and count
// unchanged over its copy has a whole sample. count grows by two.
void ntp_shm_write(ntp_shm_time *segment, const ntp_sample *sample);

#endif
