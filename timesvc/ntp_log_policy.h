#ifndef TEMPUS_TIMESVC_NTP_LOG_POLICY_H
#define TEMPUS_TIMESVC_NTP_LOG_POLICY_H

#include <cstddef>

// Which samples handed to the NTP daemon make a log line: enough to show that
// delivery works and when the receiver disagrees badly, without a line per
// telegram.

// A delivery that failed: no socket, refused, queue full, ...
extern const char NTP_TEXT_NOT_DELIVERED[];

// The telegram's local time is in an hour the zone repeats or skips.
extern const char NTP_TEXT_AMBIGUOUS[];

// Offsets this large either way, in seconds, are logged on every sample.
constexpr double NTP_LOG_OFFSET_LIMIT = 0.5;

// Room for a formatted line of ntp_format_delivered.
constexpr std::size_t NTP_LOG_LINE_SIZE = 160;

// Zero-initialised: the state right after the start.
struct ntp_log_state {
    bool delivered_since_failure; // a success has been logged since the start or the last failure
    bool failing;                 // the last delivery failed
};

enum ntp_log_line { NTP_LOG_NONE, NTP_LOG_DELIVERED, NTP_LOG_NOT_DELIVERED };

// Notes one delivery and says which line it earns: the success line for the
// first success after the start, a failure or a gap and for any |offset| >=
// 0.5 s, the failure line for the first failure of a run of them, else none.
ntp_log_line ntp_log_decide(ntp_log_state *state, bool delivered, double offset);

// Cycles brought no sample since the last (no telegram, a bad one, a lost
// line): the next success is logged, so the log shows when samples resumed.
void ntp_log_note_gap(ntp_log_state *state);

// "Przekazano probke czasu serwerowi NTP. Przesuniecie o %+.3f s." into
// `line` (NTP_LOG_LINE_SIZE bytes suffice); returns snprintf's result.
int ntp_format_delivered(double offset, char *line, std::size_t size);

#endif
