#include "timesvc/ntp_feed.h"

#include <cstdio>

#include "timesvc/dcf_log.h"
#include "timesvc/ntp_log_policy.h"
#include "timesvc/ntp_shm.h"
#include "timesvc/ntp_sock.h"
#include "timesvc/service_state.h"
#include "timesvc/sync_io.h"

static ntp_target target = {NTP_TARGET_NONE, 0, {}};
static ntp_shm_time *segment = nullptr;
static ntp_log_state log_state = {};
static unsigned long long lines_lost_seen = 0; // by the last sample

void ntp_target_text(const ntp_target *target, char *text, std::size_t size)
{
    if (target->kind == NTP_TARGET_SHM)
        snprintf(text, size, "%i", target->unit);
    else if (target->kind == NTP_TARGET_SOCK)
        snprintf(text, size, "%s", target->path);
    else if (size > 0)
        text[0] = '\0';
}

int start_ntp_feed(const ntp_target *chosen)
{
    if (chosen->kind == NTP_TARGET_SHM) {
        segment = ntp_shm_attach(chosen->unit);
        if (segment == nullptr)
            return -1;
    }
    target = *chosen;
    log_state = ntp_log_state{};
    lines_lost_seen = current_state().lines_lost;
    return 0;
}

bool ntp_feed_active()
{
    return target.kind != NTP_TARGET_NONE;
}

int deliver_ntp_sample(const ntp_sample *sample)
{
    if (target.kind == NTP_TARGET_SHM && segment != nullptr) {
        ntp_shm_write(segment, sample);
        return 0;
    }
    if (target.kind == NTP_TARGET_SOCK) {
        ntp_sock_sample datagram = {};
        ntp_sock_fill(sample, &datagram);
        return ntp_sock_send(target.path, &datagram);
    }
    return -1;
}

void feed_ntp(const struct timespec &arrival, long difference, int instants, RWTime stamp)
{
    if (instants != 1) {
        tempus_sync_io.log(NTP_TEXT_AMBIGUOUS, stamp);
        state_note_outcome(OUTCOME_AMBIGUOUS_TIME, arrival.tv_sec);
        return;
    }
    ntp_sample sample = {};
    if (ntp_make_sample(arrival, difference, &sample) != 0) {
        state_note_outcome(OUTCOME_SAMPLE_NOT_DELIVERED, arrival.tv_sec);
        return;
    }
    const bool delivered = tempus_sync_io.deliver_sample(&sample) == 0;
    // The state still holds how the cycle before this one ended.
    const service_state &before = current_state();
    if (before.last_outcome != OUTCOME_SAMPLE_DELIVERED || before.lines_lost != lines_lost_seen)
        ntp_log_note_gap(&log_state);
    lines_lost_seen = before.lines_lost;
    switch (ntp_log_decide(&log_state, delivered, sample.offset)) {
    case NTP_LOG_NONE: break;
    case NTP_LOG_NOT_DELIVERED: tempus_sync_io.log(NTP_TEXT_NOT_DELIVERED, stamp); break;
    case NTP_LOG_DELIVERED: {
        char line[DCF_TEXT_SIZE];
        ntp_format_delivered(sample.offset, line, sizeof line);
        tempus_sync_io.log(line, stamp);
        break;
    }
    }
    state_note_offset(sample.offset);
    state_note_outcome(delivered ? OUTCOME_SAMPLE_DELIVERED : OUTCOME_SAMPLE_NOT_DELIVERED, arrival.tv_sec);
}
