#include "check/check_script.h"

#include "check/check_line.h"
#include "check/check_zone.h"
#include "link/rd_wr_rp.h"
#include "timesvc/text_buffer.h"

// Room for one value: a path, a message, a warning.
static constexpr int VALUE_SIZE = 512;

const char *open_failure_outcome(int outcome)
{
    switch (outcome) {
    case CHECK_OPEN_HELD: return "held";
    case CHECK_OPEN_NOT_LINE: return "not-a-line";
    default: return "unusable";
    }
}

const char *read_failure_outcome(int result, int got)
{
    return result == SERIAL_TIMEOUT && got == 0 ? "silent" : "broken";
}

// One line per name, whatever the value holds: a control character (a
// newline in a device's name) is shown as '?'.
static void add_value(text_buffer *t, const char *name, const char *value)
{
    text_append(t, "%s=", name);
    for (const char *c = value; *c != '\0'; ++c)
        text_append(t, "%c", static_cast<unsigned char>(*c) < 0x20 || *c == 0x7f ? '?' : *c);
    text_append(t, "\n");
}

static const char *telegram_outcome(int verdict)
{
    switch (verdict) {
    case TELEGRAM_VALID: return "valid";
    case TELEGRAM_UNCERTAIN: return "uncertain";
    default: return "damaged";
    }
}

int format_check_script(const char *path, const check_reading *r, char *out, std::size_t size)
{
    text_buffer t = text_in(out, size);
    char value[VALUE_SIZE];
    add_value(&t, "device", path);
    add_value(&t, "outcome", telegram_outcome(r->verdict));
    text_append(&t, "telegram=");
    for (int i = 0; i < DCF_TELEGRAM_SIZE; ++i)
        text_append(&t, i == 0 ? "%02x" : " %02x", r->telegram[i]);
    (void)format_receiver_time(r->telegram, value, sizeof value);
    text_append(&t, "\nreceiver_time=%s\ndifference=", value);
    if (r->measurement == CHECK_MEASURED)
        text_append(&t, "%+.6f", r->offset);
    text_append(&t, "\n");
    add_value(&t, "zone", r->arrival_local.tm_zone != nullptr ? r->arrival_local.tm_zone : "");
    text_append(&t, "utc_offset=%ld\n", r->arrival_local.tm_gmtoff);
    char warning[VALUE_SIZE];
    const int hours = reading_zone_warning(r, warning, sizeof warning);
    text_append(&t, "zone_hours=%d\n", hours);
    if (r->verdict != TELEGRAM_VALID) {
        (void)format_telegram_fault(r->telegram, r->verdict, value, sizeof value);
        add_value(&t, "message", value);
    }
    if (hours != 0)
        add_value(&t, "warning", warning);
    return text_length(t);
}

int format_check_script_failure(const char *path, const char *outcome, const char *message, char *out,
                                std::size_t size)
{
    text_buffer t = text_in(out, size);
    add_value(&t, "device", path);
    add_value(&t, "outcome", outcome);
    add_value(&t, "message", message);
    return text_length(t);
}
