#include "check/check_report.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "check/check_line.h"
#include "link/rd_wr_rp.h"

static const char *const weekday_names[7] = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                                             "Friday", "Saturday", "Sunday"};

// A bounded text being filled piece by piece; its length counts what would
// have been written, as snprintf's does.
struct report_text {
    char *out;
    std::size_t size;
    int length;
};

__attribute__((format(printf, 2, 3))) static void add(report_text *t, const char *format, ...)
{
    if (t->length < 0)
        return;
    const std::size_t used = static_cast<std::size_t>(t->length);
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(used < t->size ? t->out + used : nullptr,
                                 used < t->size ? t->size - used : 0, format, args);
    va_end(args);
    t->length = n < 0 ? n : t->length + n;
}

// The receiver's calendar fields, as ex_tikora reads them; what is no date
// or weekday is shown as the bytes it is.
static void add_receiver_time(report_text *t, const unsigned char *b)
{
    const unsigned year = b[DCF_OFS_YEAR];
    const unsigned month = b[DCF_OFS_MONTH];
    const unsigned day = b[DCF_OFS_DAY];
    const unsigned weekday = b[DCF_OFS_WEEKDAY];
    if (year <= 99 && month >= 1 && month <= 12 && day >= 1 && day <= 31)
        add(t, "%04u-%02u-%02u", (year < 70 ? 2000U : 1900U) + year, month, day);
    else
        add(t, "year %u, month %u, day %u (no date)", year, month, day);
    add(t, " %02u:%02u:%02u, ", b[DCF_OFS_HOUR], b[DCF_OFS_MINUTE], b[DCF_OFS_SECOND]);
    if (weekday >= 1 && weekday <= 7)
        add(t, "%s\n", weekday_names[weekday - 1]);
    else
        add(t, "weekday %u (none)\n", weekday);
}

static void add_status(report_text *t, unsigned status)
{
    if (status == DCF_STATUS_VALID)
        add(t, "valid\n");
    else if (status == DCF_STATUS_UNCERTAIN)
        add(t, "uncertain\n");
    else
        add(t, "unknown (0x%02x)\n", status);
}

static void add_arrival(report_text *t, time_t seconds, const struct tm &local, long ms)
{
    if (local.tm_zone == nullptr) {
        add(t, "%lld.%03ld s after 1970 UTC (beyond the system's zone)\n", static_cast<long long>(seconds),
            ms);
        return;
    }
    add(t, "%04d-%02d-%02d %02d:%02d:%02d.%03ld %s (UTC", local.tm_year + 1900, local.tm_mon + 1,
        local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, ms, local.tm_zone);
    const long east = local.tm_gmtoff;
    const long magnitude = east < 0 ? -east : east;
    add(t, "%c%02ld:%02ld", east < 0 ? '-' : '+', magnitude / 3600, magnitude / 60 % 60);
    if (magnitude % 60 != 0) // a local mean time of old
        add(t, ":%02ld", magnitude % 60);
    add(t, ")\n");
}

// Whole milliseconds, rounded, so that a few microseconds either side of
// agreement read +0.000 rather than -0.000.
static void add_difference(report_text *t, double offset)
{
    const long long ms = std::llround(offset * 1000.0);
    const long long magnitude = ms < 0 ? -ms : ms;
    add(t, "%c%lld.%03lld s (receiver minus system clock)\n", ms < 0 ? '-' : '+', magnitude / 1000,
        magnitude % 1000);
}

int format_check_report(const check_reading *r, char *out, std::size_t size)
{
    report_text t = {out, size, 0};
    if (size > 0)
        out[0] = '\0';
    const unsigned char *b = r->telegram;
    add(&t, "Telegram:        ");
    for (int i = 0; i < DCF_TELEGRAM_SIZE; ++i)
        add(&t, i == 0 ? "%02x" : " %02x", b[i]);
    add(&t, "\nReceiver time:   ");
    add_receiver_time(&t, b);
    add(&t, "Status:          ");
    add_status(&t, b[DCF_OFS_STATUS]);
    add(&t, "Byte 0 arrived:  ");
    add_arrival(&t, r->arrival_s, r->arrival_local, r->arrival_ms);
    add(&t, "Difference:      ");
    switch (r->measurement) {
    case CHECK_MEASURED: add_difference(&t, r->offset); break;
    case CHECK_DAMAGED: add(&t, "not measured (damaged telegram)\n"); break;
    case CHECK_CLOCK_UNKNOWN: add(&t, "not measured (the system clock is beyond its zone's range)\n"); break;
    }
    if (r->measurement == CHECK_MEASURED && r->instants != 1) {
        add(&t,
            "Note:            %02u:%02u:%02u %s that day in the system's zone; the nearest instant is "
            "taken, and tempusd /N hands no sample on for it\n",
            b[DCF_OFS_HOUR], b[DCF_OFS_MINUTE], b[DCF_OFS_SECOND],
            r->instants == 0 ? "is skipped (a skipped hour)" : "occurs twice (a repeated hour)");
    }
    return t.length;
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
    return std::snprintf(out, size, "hour, minute or second out of range (%u:%u:%u)", telegram[DCF_OFS_HOUR],
                         telegram[DCF_OFS_MINUTE], telegram[DCF_OFS_SECOND]);
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

int format_read_failure(int result, int got, const char *path, int error, char *out, std::size_t size)
{
    switch (result) {
    case SERIAL_TIMEOUT:
        if (got == 0)
            return std::snprintf(
                out, size, "no telegram from the receiver on %s within %d s after asking for one (0x%02x)",
                path, CHECK_FIRST_BYTE_WAIT_MS / 1000, DCF_REQUEST_BYTE);
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
