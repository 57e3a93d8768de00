#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "timesvc/ntp_log_policy.h"

namespace {

TEST(NtpLogPolicy, FirstSampleAfterStartOrFailureFailuresOnceAndLargeOffsets)
{
    struct {
        bool delivered;
        double offset;
        ntp_log_line expected;
    } const steps[] = {
        {true, 0.01, NTP_LOG_DELIVERED}, // first after the start
        {true, 0.01, NTP_LOG_NONE},      {true, 0.499, NTP_LOG_NONE},
        {true, -0.499, NTP_LOG_NONE},    {true, 0.5, NTP_LOG_DELIVERED},
        {true, -0.5, NTP_LOG_DELIVERED}, {true, 3600.0, NTP_LOG_DELIVERED},
        {true, 0.0, NTP_LOG_NONE},       {false, 0.0, NTP_LOG_NOT_DELIVERED}, // one line per run of failures
        {false, 0.0, NTP_LOG_NONE},      {false, 0.7, NTP_LOG_NONE}, // an undelivered offset is nobody's news
        {true, 0.0, NTP_LOG_DELIVERED},                              // first after the failures
        {true, 0.0, NTP_LOG_NONE},       {false, 0.0, NTP_LOG_NOT_DELIVERED},
        {true, -0.8, NTP_LOG_DELIVERED}, {true, 0.2, NTP_LOG_NONE},
    };
    ntp_log_state state{};
    int step = 0;
    for (const auto &s : steps) {
        SCOPED_TRACE("step " + std::to_string(step++));
        EXPECT_EQ(ntp_log_decide(&state, s.delivered, s.offset), s.expected);
    }
}

TEST(NtpLogPolicy, SuccessLineShowsSignedMilliseconds)
{
    struct {
        double offset;
        const char *text;
    } const cases[] = {
        {0.25, "Przekazano probke czasu serwerowi NTP. Przesuniecie o +0.250 s."},
        {-0.0123, "Przekazano probke czasu serwerowi NTP. Przesuniecie o -0.012 s."},
        {0.0, "Przekazano probke czasu serwerowi NTP. Przesuniecie o +0.000 s."},
        {-43200.25, "Przekazano probke czasu serwerowi NTP. Przesuniecie o -43200.250 s."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        char line[NTP_LOG_LINE_SIZE];
        EXPECT_EQ(ntp_format_delivered(c.offset, line, sizeof line), static_cast<int>(strlen(c.text)));
        EXPECT_STREQ(line, c.text);
    }
}

} // namespace
