#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>

#include "timesvc/ntp_sample.h"

namespace {

TEST(NtpSample, CharacterTimeIsElevenBitsAt19200Baud)
{
    EXPECT_EQ(NTP_CHAR_TIME_NS, 572917); // 11 / 19200 s = 572916.67 ns
}

// Byte 0 read at A, telegram D whole seconds from floor(A): the receiver's
// time at A is floor(A) + D + one character, the offset that minus A.
TEST(NtpSample, OffsetIsDifferencePlusCharacterTimeMinusFraction)
{
    struct {
        const char *name;
        long long sec, nsec, d;
        long long expected_ns; // the offset, in nanoseconds
    } const cases[] = {
        {"on the second, in step", 1790000000, 0, 0, 572917},
        {"character time after the second", 1790000000, 572917, 0, 0},
        {"sub-microsecond behind", 1790000000, 573000, 0, -83},
        {"late in the second", 1790000000, 999999999, 0, -999427082},
        {"one second ahead, late reading", 1790000000, 999999999, 1, 572918},
        {"an hour behind", 1790000000, 500000000, -3600, -3600LL * 1000000000 - 499427083},
        {"half a day ahead", 1790000000, 250000000, 43200, 43199LL * 1000000000 + 750572917},
        {"before 1970", -86400, 100000000, 5, 4LL * 1000000000 + 900572917},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ntp_sample s{};
        ASSERT_EQ(ntp_make_sample({static_cast<time_t>(c.sec), static_cast<long>(c.nsec)}, c.d, &s), 0);
        EXPECT_EQ(s.arrival.tv_sec, c.sec);
        EXPECT_EQ(s.arrival.tv_nsec, c.nsec);
        EXPECT_EQ(s.instant.tv_sec, c.sec + c.d);
        EXPECT_EQ(s.instant.tv_nsec, NTP_CHAR_TIME_NS);
        EXPECT_DOUBLE_EQ(s.offset, static_cast<double>(c.expected_ns) / 1e9);
    }
}

// Byte 0 placed so far at `so_far_ns`: byte `index` read at `read_ns` places
// it no later than read_ns - index character times (both nanoseconds after
// second 1790000000).
TEST(NtpSample, LaterBytesPlaceByteZeroNoLaterThanTheirPaceAllows)
{
    constexpr long long C = NTP_CHAR_TIME_NS;
    struct {
        const char *name;
        long long so_far_ns;
        int index;
        long long read_ns;
        long long expected_ns;
    } const cases[] = {
        {"byte 0 itself", 250000000, 0, 240000000, 250000000},
        {"read at the line's pace", 250000000, 3, 250000000 + 3 * C, 250000000},
        {"read later than the pace", 250000000, 9, 260000000, 250000000},
        {"held back with byte 0", 250000000, 4, 250010000, 250010000 - 4 * C},
        {"held back, placed in the second before", 3000, 9, 4000, 4000 - 9 * C},
        {"clock set back meanwhile", 250000000, 5, 249000000, 250000000},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        constexpr long long BASE = 1790000000LL * 1000000000;
        const auto at = [](long long ns) {
            return timespec{static_cast<time_t>((BASE + ns) / 1000000000),
                            static_cast<long>((BASE + ns) % 1000000000)};
        };
        const struct timespec placed = ntp_tighten_arrival(at(c.so_far_ns), at(c.read_ns), c.index);
        EXPECT_EQ(placed.tv_sec * 1000000000LL + placed.tv_nsec, BASE + c.expected_ns);
        EXPECT_GE(placed.tv_nsec, 0);
        EXPECT_LT(placed.tv_nsec, 1000000000);
    }
}

TEST(NtpSample, RefusesWhatNoInstantCanHoldAndCopesWithHugeDifferences)
{
    ntp_sample s{};
    s.offset = 42.0;
    EXPECT_EQ(ntp_make_sample({static_cast<time_t>(LLONG_MAX), 0}, 1, &s), -1);
    EXPECT_EQ(ntp_make_sample({static_cast<time_t>(LLONG_MIN), 0}, -1, &s), -1);
    EXPECT_EQ(ntp_make_sample({0, 1000000000}, 0, &s), -1);
    EXPECT_EQ(ntp_make_sample({0, -1}, 0, &s), -1);
    EXPECT_EQ(s.offset, 42.0);

    // Beyond what nanoseconds in a long long hold: still to the second.
    const long long d = LLONG_MAX / 1000000000LL;
    ASSERT_EQ(ntp_make_sample({0, 572917}, -d, &s), 0);
    EXPECT_DOUBLE_EQ(s.offset, -static_cast<double>(d));
}

} // namespace
