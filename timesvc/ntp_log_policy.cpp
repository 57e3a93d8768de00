#include "timesvc/ntp_log_policy.h"

#include <cmath>
#include <cstdio>

const char NTP_TEXT_NOT_DELIVERED[] = "Nie mozna przekazac probki czasu serwerowi NTP.";
const char NTP_TEXT_AMBIGUOUS[] = "Niejednoznaczny czas z zegara Horolan. Probka pominieta.";

ntp_log_line ntp_log_decide(ntp_log_state *state, bool delivered, double offset)
{
    if (!delivered) {
        const bool first = !state->failing;
        state->failing = true;
        state->delivered_since_failure = false;
        return first ? NTP_LOG_NOT_DELIVERED : NTP_LOG_NONE;
    }
    const bool first = !state->delivered_since_failure;
    state->failing = false;
    state->delivered_since_failure = true;
    if (first || std::fabs(offset) >= NTP_LOG_OFFSET_LIMIT)
        return NTP_LOG_DELIVERED;
    return NTP_LOG_NONE;
}

void ntp_log_note_gap(ntp_log_state *state)
{
    state->delivered_since_failure = false;
}

int ntp_format_delivered(double offset, char *line, std::size_t size)
{
    return std::snprintf(line, size, "Przekazano probke czasu serwerowi NTP. Przesuniecie o %+.3f s.",
                         offset);
}
