#include "timesvc/ntp_shm.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdint>

// -10: about 1 ms. The reading itself is to the nanosecond, but byte 0 of a
// real line reaches the reader late by a UART's receive time-out or a USB
// adapter's latency, which is of that order; claiming more would only make
// the daemon trust the receiver beyond what it delivers.
static constexpr int SAMPLE_PRECISION = -10;

// 0: each sample is one reading; the daemon's filter does any averaging.
static constexpr int SAMPLE_COUNT = 0;

ntp_shm_time *ntp_shm_attach(int unit)
{
    if (unit < 0 || unit > 255)
        return nullptr;
    // Units 0 and 1 are the privileged ones by the NTP convention.
    const int permissions = unit < 2 ? 0600 : 0666;
    // An existing segment smaller than the layout makes shmget fail (EINVAL).
    const int id =
        shmget(static_cast<key_t>(NTP_SHM_KEY_BASE + unit), sizeof(ntp_shm_time), IPC_CREAT | permissions);
    if (id < 0)
        return nullptr;
    void *address = shmat(id, nullptr, 0);
    if (reinterpret_cast<std::intptr_t>(address) == -1) // shmat's failure value
        return nullptr;
    return static_cast<ntp_shm_time *>(address);
}

void ntp_shm_detach(ntp_shm_time *segment)
{
    shmdt(segment);
}

void ntp_shm_write(ntp_shm_time *segment, const ntp_sample *sample)
{
    // The daemon is another process reading the same memory: the fences keep
    // both the compiler and the CPU from moving the fields' stores across
    // the count and valid stores that frame them.
    __atomic_store_n(&segment->valid, 0, __ATOMIC_RELAXED);
    __atomic_fetch_add(&segment->count, 1, __ATOMIC_RELAXED);
    __atomic_thread_fence(__ATOMIC_SEQ_CST);

    segment->mode = 1;
    segment->clockTimeStampSec = sample->instant.tv_sec;
    segment->clockTimeStampUSec = static_cast<int>(sample->instant.tv_nsec / 1000);
    segment->clockTimeStampNSec = static_cast<unsigned>(sample->instant.tv_nsec);
    segment->receiveTimeStampSec = sample->arrival.tv_sec;
    segment->receiveTimeStampUSec = static_cast<int>(sample->arrival.tv_nsec / 1000);
    segment->receiveTimeStampNSec = static_cast<unsigned>(sample->arrival.tv_nsec);
    segment->leap = 0;
    segment->precision = SAMPLE_PRECISION;
    segment->nsamples = SAMPLE_COUNT;

    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    __atomic_fetch_add(&segment->count, 1, __ATOMIC_RELAXED);
    __atomic_store_n(&segment->valid, 1, __ATOMIC_RELAXED);
}
