#include "check/check_report.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "check/check_line.h"
#include "link/rd_wr_rp.h"
#include "timesvc/text_buffer.h"

static const char *const weekday_names[7] = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                                             "Friday", "Saturday", "Sunday"};

// The receiver's calendar fields, as ex_tikora reads them; what is no date
// or weekday is shown as the bytes it is.
static void add_receiver_time(text_buffer *t, const unsigned char *b)
{
    const unsigned year = b[DCF_OFS_YEAR];
    const unsigned month = b[DCF_OFS_MONTH];
    const unsigned day = b[DCF_OFS_DAY];
    const unsigned weekday = b[DCF_OFS_WEEKDAY];
    const int full_year = telegram_full_year(static_cast<int>(year));
    if (full_year >= 0 && month >= 1 && month <= 12 && day >= 1 && day <= 31)
        text_append(t, "%04d-%02u-%02u", full_year, month, day);
    else
        text_append(t, "year %u, month %u, day %u (no date)", year, month, day);
    text_append(t, " %02u:%02u:%02u, ", b[DCF_OFS_HOUR], b[DCF_OFS_MINUTE], b[DCF_OFS_SECOND]);
    if (weekday >= 1 && weekday <= 7)
        text_append(t, "%s\n", weekday_names[weekday - 1]);
    else
        text_append(t, "weekday %u (none)\n", weekday);
}

static void add_status(text_buffer *t, unsigned status)
{
    if (status == DCF_STATUS_VALID)
        text_append(t, "valid\n");
    else if (status == DCF_STATUS_UNCERTAIN)
        text_append(t, "uncertain\n");
    else
        text_append(t, "unknown (0x%02x)\n", status);
}

static void add_arrival(text_buffer *t, time_t seconds, const struct tm &local, long ms)
{
    if (local.tm_zone == nullptr) {
        text_append(t, "%lld.%03ld s after 1970 UTC (beyond the system's zone)\n",
                    static_cast<long long>(seconds), ms);
        return;
    }
    text_append(t, "%04d-%02d-%02d %02d:%02d:%02d.%03ld %s (UTC", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, ms, local.tm_zone);
    const long east = local.tm_gmtoff;
    const long magnitude = east < 0 ? -east : east;
    text_append(t, "%c%02ld:%02ld", east < 0 ? '-' : '+', magnitude / 3600, magnitude / 60 % 60);
    if (magnitude % 60 != 0) // a local mean time of old
        text_append(t, ":%02ld", magnitude % 60);
    text_append(t, ")\n");
}

// Whole milliseconds, rounded, so that a few microseconds either side of
// agreement read +0.000 rather than -0.000.
static void add_difference(text_buffer *t, double offset)
{
    const long long ms = std::llround(offset * 1000.0);
    const long long magnitude = ms < 0 ? -ms : ms;
    text_append(t, "%c%lld.%03lld s (receiver minus system clock)\n", ms < 0 ? '-' : '+', magnitude / 1000,
                magnitude % 1000);
}

int format_check_report(const check_reading *r, char *out, std::size_t size)
{
    text_buffer t = text_in(out, size);
    const unsigned char *b = r->telegram;
    text_append(&t, "Telegram:        ");
    for (int i = 0; i < DCF_TELEGRAM_SIZE; ++i)
        text_append(&t, i == 0 ? "%02x" : " %02x", b[i]);
    text_append(&t, "\nReceiver time:   ");
    add_receiver_time(&t, b);
    text_append(&t, "Status:          ");
    add_status(&t, b[DCF_OFS_STATUS]);
    text_append(&t, "Byte 0 arrived:  ");
    add_arrival(&t, r->arrival_s, r->arrival_local, r->arrival_ms);
    text_append(&t, "Difference:      ");
    switch (r->measurement) {
    case CHECK_MEASURED: add_difference(&t, r->offset); break;
    case CHECK_DAMAGED: text_append(&t, "not measured (damaged telegram)\n"); break;
    case CHECK_CLOCK_UNKNOWN:
        text_append(&t, "not measured (the system clock is beyond its zone's range)\n");
        break;
    }
    if (r->measurement == CHECK_MEASURED && r->instants != 1) {
        text_append(
            &t,
            "Note:            %02u:%02u:%02u %s that day in the system's zone; the nearest instant is "
            "taken, and tempusd /N hands no sample on for it\n",
            b[DCF_OFS_HOUR], b[DCF_OFS_MINUTE], b[DCF_OFS_SECOND],
            r->instants == 0 ? "is skipped (a skipped hour)" : "occurs twice (a repeated hour)");
    }
    return text_length(t);
}

int format_telegram_fault(const unsigned char *telegram, int verdict, char *out, std::size_t size)
{
    const unsigned start = telegram[DCF_OFS_START];
    const unsigned status = telegram[DCF_OFS_STATUS];
    switch (verdict) {
    case TELEGRAM_VALID: return std::snprintf(out, size, "%s", "");
    case TELEGRAM_BAD_CHECKSUM:
        return std::snprintf(out, size,
                             "checksum error: byte 8 is 0x%02x, bytes 1 to 7 sum to 0x%02x (modulo 128)",
                             telegram[DCF_OFS_CHECKSUM], static_cast<unsigned>(telegram_checksum(telegram)));
    case TELEGRAM_UNCERTAIN:
        return std::snprintf(out, size, "the receiver's time is uncertain (status 0x%02x)", status);
    default: break;
    }
    // In the order validate_telegram looks at them.
    if (start != DCF_START_BYTE)
        return std::snprintf(out, size, "unexpected start byte 0x%02x (0x%02x expected)", start,
                             DCF_START_BYTE);
    if (status != DCF_STATUS_VALID && status != DCF_STATUS_UNCERTAIN)
        return std::snprintf(out, size, "unexpected status byte 0x%02x (0x%02x or 0x%02x expected)", status,
                             DCF_STATUS_VALID, DCF_STATUS_UNCERTAIN);
    if (telegram[DCF_OFS_HOUR] > 23 || telegram[DCF_OFS_MINUTE] > 59 || telegram[DCF_OFS_SECOND] > 60)
        return std::snprintf(out, size, "hour, minute or second out of range (%u:%u:%u)",
                             telegram[DCF_OFS_HOUR], telegram[DCF_OFS_MINUTE], telegram[DCF_OFS_SECOND]);
    return std::snprintf(out, size, "no such date (year %u, month %u, day %u)", telegram[DCF_OFS_YEAR],
                         telegram[DCF_OFS_MONTH], telegram[DCF_OFS_DAY]);
}

int format_open_failure(int outcome, const char *path, int error, char *out, std::size_t size)
{
    switch (outcome) {
    case CHECK_OPEN_NOT_LINE:
        return std::snprintf(out, size, "%s is not a serial line; nothing was sent", path);
    case CHECK_OPEN_HELD:
        return std::snprintf(out, size, "%s is held by a running tempusd; ask it with: tempusd /Q", path);
    case CHECK_OPEN_UNSETTABLE:
        return std::snprintf(out, size, "cannot set up the line %s: %s", path, std::strerror(error));
    case CHECK_OPEN_UNASKABLE:
        return std::snprintf(out, size, "cannot tell whether another program holds %s: %s", path,
                             std::strerror(error));
    default: return std::snprintf(out, size, "cannot open %s: %s", path, std::strerror(error));
    }
}

int format_read_failure(int result, int got, int first_byte_s, const char *path, int error, char *out,
                        std::size_t size)
{
    switch (result) {
    case SERIAL_TIMEOUT:
        if (got == 0)
            return std::snprintf(
                out, size, "no telegram from the receiver on %s within %d s after asking for one (0x%02x)",
                path, first_byte_s, DCF_REQUEST_BYTE);
        return std::snprintf(
            out, size,
            "the telegram from the receiver on %s stopped after %d of %d bytes: no more within %d s", path,
            got, DCF_TELEGRAM_SIZE, CHECK_REST_WAIT_MS / 1000);
    case SERIAL_PARITY_ERROR:
        return std::snprintf(out, size, "byte %d of the telegram on %s came with a parity or framing error",
                             got, path);
    case SERIAL_SYNC_ERROR:
        return std::snprintf(out, size, "a break came on %s in place of byte %d", path, got);
    case SERIAL_UNEXPECTED_CHAR:
        return std::snprintf(out, size, "an unexpected error mark came on %s at byte %d", path, got);
    case CHECK_READ_HUNG_UP: return std::snprintf(out, size, "%s hung up at byte %d", path, got);
    default: return std::snprintf(out, size, "reading from %s failed: %s", path, std::strerror(error));
    }
}

int format_receiver_time(const unsigned char *telegram, char *out, std::size_t size)
{
    text_buffer t = text_in(out, size);
    add_receiver_time(&t, telegram);
    const int length = text_length(t);
    if (length <= 0)
        return length;
    out[length - 1] = '\0'; // the report's line ends there
    return length - 1;
}
