#include "emulator/telegram.h"

#include <ctime>

namespace horolan {

bool clock_fields_at(long long unix_seconds, ClockFields *out)
{
    const time_t t = static_cast<time_t>(unix_seconds);
    struct tm tm {};
    if (localtime_r(&t, &tm) == nullptr)
        return false;
    out->hour = tm.tm_hour;
    out->minute = tm.tm_min;
    out->second = tm.tm_sec;
    out->year = ((tm.tm_year % 100) + 100) % 100;
    out->month = tm.tm_mon + 1;
    out->day = tm.tm_mday;
    out->weekday = tm.tm_wday == 0 ? 7 : tm.tm_wday;
    return true;
}

unsigned char telegram_sum(const unsigned char *telegram)
{
    unsigned sum = 0;
    for (int i = 1; i <= 7; ++i)
        sum += telegram[i];
    return static_cast<unsigned char>(sum & 0x7F);
}

TelegramFaults faults_for_telegram(const FaultPlan &plan, int index)
{
    TelegramFaults f;
    f.uncertain = index < plan.uncertain;
    f.bad_checksum = index < plan.bad_checksum;
    f.bad_start = index < plan.bad_start;
    f.bad_status = index < plan.bad_status;
    f.bad_fields = index < plan.bad_fields;
    f.short_write = index < plan.short_write;
    f.parity_error = index < plan.parity_error;
    f.line_break = index < plan.line_break;
    f.ff_byte = plan.ff_byte;
    f.start_byte = plan.start_byte;
    return f;
}

static unsigned char low_byte(int v)
{
    return static_cast<unsigned char>(v & 0xFF);
}

static void fill_fields(const ClockFields &c, const TelegramFaults &f, unsigned char *t)
{
    if (f.bad_fields) {
        // Values no clock shows; the checksum below still covers them.
        t[1] = 25;
        t[2] = 61;
        t[3] = 62;
        t[4] = low_byte(c.year);
        t[5] = 13;
        t[6] = 32;
        t[7] = 8;
    } else {
        t[1] = low_byte(c.hour);
        t[2] = low_byte(c.minute);
        t[3] = low_byte(c.second);
        t[4] = low_byte(c.year);
        t[5] = low_byte(c.month);
        t[6] = low_byte(c.day);
        t[7] = low_byte(c.weekday);
    }
    // The weekday byte, which no program checks: the telegram stays valid.
    if (f.ff_byte)
        t[7] = 0xFF;
}

static unsigned char start_byte_for(const TelegramFaults &f)
{
    if (f.bad_start)
        return TELEGRAM_START_BAD;
    if (f.start_byte >= 0)
        return low_byte(f.start_byte);
    return TELEGRAM_START;
}

static unsigned char status_byte_for(const TelegramFaults &f)
{
    if (f.bad_status)
        return STATUS_BAD;
    if (f.uncertain)
        return STATUS_UNCERTAIN;
    return STATUS_VALID;
}

int encode_telegram(const ClockFields &fields, const TelegramFaults &faults, unsigned char *out)
{
    unsigned char t[TELEGRAM_BYTES];
    t[0] = start_byte_for(faults);
    fill_fields(fields, faults, t);
    t[8] = telegram_sum(t);
    if (faults.bad_checksum)
        t[8] = static_cast<unsigned char>((t[8] + 1) & 0x7F);
    t[9] = status_byte_for(faults);

    // The line marks a byte received in error as 0xFF 0x00 <byte> and a break
    // as 0xFF 0x00 0x00. Both hit the start byte: it is never 0, so a parity
    // mark cannot be mistaken for a break.
    int n = 0;
    for (int i = 0; i < TELEGRAM_BYTES; ++i) {
        if (i == 9 && faults.short_write)
            break;
        if (i == 0 && faults.line_break) {
            out[n++] = 0xFF;
            out[n++] = 0x00;
            out[n++] = 0x00;
            continue;
        }
        if (i == 0 && faults.parity_error) {
            out[n++] = 0xFF;
            out[n++] = 0x00;
        }
        out[n++] = t[i];
    }
    return n;
}

} // namespace horolan
