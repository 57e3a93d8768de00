#include <gtest/gtest.h>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <atomic>
#include <cstddef>
#include <thread>

#include "tests/support/chronyd.h"
#include "timesvc/ntp_shm.h"

namespace {

TEST(NtpShm, SegmentHasTheNinetySixByteLayout)
{
    if (sizeof(time_t) != 8)
        GTEST_SKIP() << "layout checked only where time_t is 8 bytes";
    EXPECT_EQ(sizeof(ntp_shm_time), 96u);
    EXPECT_EQ(offsetof(ntp_shm_time, receiveTimeStampSec), 24u);
    EXPECT_EQ(offsetof(ntp_shm_time, valid), 48u);
    EXPECT_EQ(offsetof(ntp_shm_time, receiveTimeStampNSec), 56u);
}

int load(const int &field)
{
    return __atomic_load_n(&field, __ATOMIC_RELAXED);
}

// A reader that copies the segment as the daemon does (count first, valid
// late in the copy, count again after it) must never accept a half-written
// sample, however the two threads interleave.
TEST(NtpShm, ConcurrentReaderNeverTakesATornSample)
{
    ntp_shm_time seg{};
    std::atomic<bool> done{false};
    std::atomic<long> accepted{0};
    long torn = 0;
    std::thread reader([&] {
        while (!done.load(std::memory_order_relaxed)) {
            const int count = load(seg.count);
            __atomic_thread_fence(__ATOMIC_SEQ_CST);
            const time_t clock_sec = __atomic_load_n(&seg.clockTimeStampSec, __ATOMIC_RELAXED);
            const time_t receive_sec = __atomic_load_n(&seg.receiveTimeStampSec, __ATOMIC_RELAXED);
            const int receive_usec = load(seg.receiveTimeStampUSec);
            const int valid = load(seg.valid);
            const unsigned receive_nsec = __atomic_load_n(&seg.receiveTimeStampNSec, __ATOMIC_RELAXED);
            __atomic_thread_fence(__ATOMIC_SEQ_CST);
            if (valid == 0 || load(seg.count) != count)
                continue;
            ++accepted;
            const bool whole = clock_sec == receive_sec + 7 &&
                               receive_nsec == static_cast<unsigned>(receive_sec % 1000) * 1000000U &&
                               receive_usec == static_cast<int>(receive_nsec / 1000) && count % 2 == 0;
            torn += whole ? 0 : 1;
        }
    });
    // Until the reader has taken enough samples to have met the writer mid-way.
    int samples = 0;
    for (int i = 1; i < 100000000 && (i <= 100000 || accepted.load() < 10000); ++i) {
        samples = i;
        ntp_sample s{};
        ASSERT_EQ(ntp_make_sample({i, static_cast<long>(i % 1000) * 1000000L}, 7, &s), 0);
        ntp_shm_write(&seg, &s);
    }
    done = true;
    reader.join();
    EXPECT_EQ(seg.count, 2 * samples); // two per sample
    EXPECT_EQ(seg.valid, 1);
    EXPECT_EQ(seg.mode, 1);
    EXPECT_EQ(seg.clockTimeStampNSec, static_cast<unsigned>(NTP_CHAR_TIME_NS));
    EXPECT_EQ(seg.clockTimeStampUSec, NTP_CHAR_TIME_NS / 1000);
    EXPECT_GE(accepted.load(), 10000);
    EXPECT_EQ(torn, 0);
}

void remove_segment(int unit)
{
    const int id = shmget(NTP_SHM_KEY_BASE + unit, 0, 0);
    if (id >= 0)
        shmctl(id, IPC_RMID, nullptr);
}

// Units 0 and 1 for the owner only, the others open to all (the NTP convention).
TEST(NtpShm, AttachCreatesTheUnitsSegment)
{
    const int free_unit = chrony_test::free_shm_unit();
    ASSERT_GE(free_unit, 2);
    for (const int unit : {0, 1, free_unit}) {
        SCOPED_TRACE(unit);
        if (shmget(NTP_SHM_KEY_BASE + unit, 0, 0) >= 0)
            continue; // a daemon's own segment: left alone
        ntp_shm_time *seg = ntp_shm_attach(unit);
        ASSERT_NE(seg, nullptr);
        struct shmid_ds info = {};
        ASSERT_EQ(shmctl(shmget(NTP_SHM_KEY_BASE + unit, 0, 0), IPC_STAT, &info), 0);
        EXPECT_EQ(info.shm_segsz, sizeof(ntp_shm_time));
        EXPECT_EQ(info.shm_perm.mode & 0777, unit < 2 ? 0600u : 0666u);
        ntp_shm_detach(seg);
        remove_segment(unit);
    }
}

TEST(NtpShm, RefusesUnitsOutOfRangeAndTooSmallSegments)
{
    EXPECT_EQ(ntp_shm_attach(-1), nullptr);
    EXPECT_EQ(ntp_shm_attach(256), nullptr);
    const int unit = chrony_test::free_shm_unit();
    ASSERT_GE(unit, 2);
    ASSERT_GE(shmget(NTP_SHM_KEY_BASE + unit, sizeof(ntp_shm_time) / 2, IPC_CREAT | 0666), 0);
    EXPECT_EQ(ntp_shm_attach(unit), nullptr);
    remove_segment(unit);
}

} // namespace
