#include "check/check_measure.h"

#include "link/dcf_protocol.h"
#include "timesvc/ntp_sample.h"
#include "timesvc/telegram_instant.h"

void measure_telegram(struct timespec arrival, check_reading *r)
{
    const unsigned char *b = r->telegram;
    r->verdict = validate_telegram(b);
    r->arrival_s = arrival.tv_sec;
    r->arrival_ms = arrival.tv_nsec / 1000000;
    r->measurement = CHECK_CLOCK_UNKNOWN;
    if (localtime_r(&arrival.tv_sec, &r->arrival_local) == nullptr) {
        r->arrival_local = {};
        return;
    }
    // Only these verdicts vouch for the date's and time's range and checksum.
    if (r->verdict != TELEGRAM_VALID && r->verdict != TELEGRAM_UNCERTAIN) {
        r->measurement = CHECK_DAMAGED;
        return;
    }
    dcf_wall_time when = {};
    telegram_instant found = {};
    ntp_sample sample = {};
    if (telegram_wall_time(b, &when) != 0 || find_telegram_instant(arrival.tv_sec, &when, &found) != 0 ||
        ntp_make_sample(arrival, found.difference, &sample) != 0)
        return;
    r->measurement = CHECK_MEASURED;
    r->instants = found.instants;
    r->offset = sample.offset;
}
