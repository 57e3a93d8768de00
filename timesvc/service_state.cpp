#include "timesvc/service_state.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "timesvc/dcf_log.h"
#include "timesvc/sync_io.h"
#include "timesvc/text_buffer.h"

static service_state state = {};
static bool publishing = false;
static bool ready_told = false;

static const char *const outcome_names[OUTCOME_COUNT] = {
    "synchronised",    "sample_delivered",     "no_telegram",
    "unexpected_byte", "parity_error",         "break",
    "read_error",      "checksum_error",       "uncertain",
    "clock_not_set",   "sample_not_delivered", "ambiguous_time",
};

// The same in the service's own words.
static const char *const outcome_texts[OUTCOME_COUNT] = {
    "synchronizacja",
    "probka przekazana serwerowi NTP",
    "brak telegramu",
    "nieoczekiwany znak",
    "blad parzystosci",
    "blad synchronizacji",
    "blad odczytu",
    "blad sumy kontrolnej",
    "niepewny czas",
    "nie mozna ustawic zegara",
    "probka nieprzekazana serwerowi NTP",
    "niejednoznaczny czas",
};

static const char *const reason_texts[] = {
    "",         "brak urzadzenia", "brak uprawnien", "zajety przez inny proces", "to nie jest port szeregowy",
    "inny blad"};

static const char *const correction_names[CORRECTION_KINDS] = {"none", "slew", "step"};

static const char *const reason_names[] = {"", "missing", "permission", "held", "not_a_line", "other"};

bool state_outcome_is_failure(int outcome)
{
    return outcome != OUTCOME_SYNCHRONISED && outcome != OUTCOME_SAMPLE_DELIVERED &&
           outcome != OUTCOME_UNCERTAIN && outcome != OUTCOME_SAMPLE_NOT_DELIVERED;
}

unsigned long long state_failure_count(const service_state &s)
{
    unsigned long long failures = 0;
    for (int outcome = 0; outcome < OUTCOME_COUNT; ++outcome)
        if (state_outcome_is_failure(outcome))
            failures += s.outcomes[outcome];
    return failures;
}

const char *state_correction_name(int kind)
{
    return kind >= 0 && kind < CORRECTION_KINDS ? correction_names[kind] : "";
}

const char *state_outcome_name(int outcome)
{
    return outcome >= 0 && outcome < OUTCOME_COUNT ? outcome_names[outcome] : "none";
}

const char *state_outcome_text(int outcome)
{
    return outcome >= 0 && outcome < OUTCOME_COUNT ? outcome_texts[outcome] : "brak";
}

const char *line_reason_text(int reason)
{
    return reason > LINE_OK && reason <= LINE_OTHER ? reason_texts[reason] : "";
}

const char *line_reason_name(int reason)
{
    return reason > LINE_OK && reason <= LINE_OTHER ? reason_names[reason] : "";
}

int line_reason_of(int error)
{
    switch (error) {
    case ENOENT:
    case ENXIO: return LINE_MISSING;
    case EACCES:
    case EPERM:
    case EROFS: return LINE_NO_PERMISSION;
    case EBUSY: return LINE_HELD;
    case ENODEV:
    case ENOTTY: return LINE_NOT_A_LINE;
    default: return LINE_OTHER;
    }
}

const service_state &current_state()
{
    return state;
}

static void copy_text(char (&to)[STATE_TEXT_SIZE], const char *from)
{
    snprintf(to, sizeof to, "%s", from != nullptr ? from : "");
}

void state_begin(const char *mode, const char *ntp_target, const char *device, int interval, long long now)
{
    state = service_state{};
    snprintf(state.mode, sizeof state.mode, "%s", mode);
    copy_text(state.ntp_target, ntp_target);
    copy_text(state.device, device);
    state.interval_minutes = interval;
    state.start_time = now;
    state.line_up = true;
    state.last_outcome = OUTCOME_COUNT;
    publishing = false;
    ready_told = false;
}

void state_note_offset(double offset)
{
    state.has_offset = true;
    state.last_offset = offset;
}

void state_note_correction(int kind)
{
    if (kind >= 0 && kind < CORRECTION_KINDS)
        ++state.corrections[kind];
}

// A time noted moves with the clock; 0 stays "never".
static void move_with_clock(long long *time, long long seconds)
{
    if (*time != 0)
        *time += seconds;
}

void state_note_clock_stepped(long long seconds)
{
    move_with_clock(&state.start_time, seconds);
    move_with_clock(&state.line_lost_time, seconds);
    move_with_clock(&state.last_telegram_time, seconds);
    move_with_clock(&state.last_sync_time, seconds);
}

void state_note_outcome(int outcome, long long at)
{
    if (outcome < 0 || outcome >= OUTCOME_COUNT)
        return;
    ++state.outcomes[outcome];
    state.last_outcome = outcome;
    state.last_telegram_time = at;
    if (outcome == OUTCOME_SYNCHRONISED || outcome == OUTCOME_SAMPLE_DELIVERED)
        state.last_sync_time = at;
    publish_state(); // before any pause the cycle makes after it
}

void state_note_line_lost(long long at)
{
    state.line_up = false;
    state.line_reason = LINE_OK;
    state.line_lost_time = at;
    ++state.lines_lost;
    publish_state();
}

void state_note_line_unusable(int reason)
{
    state.line_reason = reason;
    publish_state(); // also when unchanged: the file's own time says the service still writes it
}

void state_note_line_restored(long long at)
{
    (void)at;
    state.line_up = true;
    state.line_reason = LINE_OK;
    state.line_lost_time = 0;
    ++state.lines_restored;
    publish_state();
}

// A label value as the format wants it: backslash, quote and line break escaped.
static void put_label_value(text_buffer *out, const char *value)
{
    for (const char *c = value; *c != '\0'; ++c) {
        if (*c == '\\')
            text_append(out, "\\\\");
        else if (*c == '"')
            text_append(out, "\\\"");
        else if (*c == '\n')
            text_append(out, "\\n");
        else
            text_append(out, "%c", *c);
    }
}

static void put_head(text_buffer *out, const char *name, const char *type, const char *help)
{
    text_append(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

static void put_gauge(text_buffer *out, const char *name, long long value, const char *help)
{
    put_head(out, name, "gauge", help);
    text_append(out, "%s %lld\n", name, value);
}

static void put_counter(text_buffer *out, const char *name, unsigned long long value, const char *help)
{
    put_head(out, name, "counter", help);
    text_append(out, "%s %llu\n", name, value);
}

int format_state_file(const service_state &s, long long now, char *text, std::size_t size)
{
    text_buffer out = text_in(text, size);
    put_head(&out, "tempusd_info", "gauge",
             "The running service: its mode (clock, shm, sock), NTP target and line.");
    text_append(&out, "tempusd_info{mode=\"%s\",ntp_target=\"", s.mode);
    put_label_value(&out, s.ntp_target);
    text_append(&out, "\",device=\"");
    put_label_value(&out, s.device);
    text_append(&out, "\"} 1\n");
    put_gauge(&out, "tempusd_interval_seconds", s.interval_minutes * 60LL,
              "Time between the receiver's telegrams.");
    put_gauge(&out, "tempusd_start_time_seconds", s.start_time, "When the service started, in Unix time.");
    put_gauge(&out, "tempusd_state_time_seconds", now, "When this file was written, in Unix time.");
    put_head(&out, "tempusd_line_info", "gauge",
             "The receiver's line: up, or lost and why it cannot be opened again.");
    text_append(&out, "tempusd_line_info{state=\"%s\",reason=\"%s\"} 1\n", s.line_up ? "up" : "lost",
                line_reason_name(s.line_reason));
    put_gauge(&out, "tempusd_line_lost_time_seconds", s.line_lost_time,
              "When the line was lost, in Unix time; 0 while it is up.");
    put_gauge(&out, "tempusd_last_telegram_time_seconds", s.last_telegram_time,
              "When the last cycle ended, in Unix time; 0 before the first.");
    put_head(&out, "tempusd_last_telegram_info", "gauge", "How the last cycle ended.");
    text_append(&out, "tempusd_last_telegram_info{outcome=\"%s\"} 1\n", state_outcome_name(s.last_outcome));
    if (s.has_offset) {
        put_head(&out, "tempusd_last_offset_seconds", "gauge",
                 "The receiver's time less the system clock at the last valid telegram.");
        text_append(&out, "tempusd_last_offset_seconds %.6f\n", s.last_offset);
    }
    put_gauge(&out, "tempusd_last_sync_time_seconds", s.last_sync_time,
              "When the clock was last synchronised or a sample delivered, in Unix time; 0 never.");
    put_head(&out, "tempusd_synchronisations_total", "counter",
             "Valid telegrams that set the clock, by the correction they made.");
    for (int kind = 0; kind < CORRECTION_KINDS; ++kind)
        text_append(&out, "tempusd_synchronisations_total{correction=\"%s\"} %llu\n", correction_names[kind],
                    s.corrections[kind]);
    put_head(&out, "tempusd_failures_total", "counter", "Cycles that gave no usable time, by kind.");
    for (int outcome = 0; outcome < OUTCOME_COUNT; ++outcome)
        if (state_outcome_is_failure(outcome))
            text_append(&out, "tempusd_failures_total{kind=\"%s\"} %llu\n", outcome_names[outcome],
                        s.outcomes[outcome]);
    put_counter(&out, "tempusd_uncertain_telegrams_total", s.outcomes[OUTCOME_UNCERTAIN],
                "Telegrams the receiver marked uncertain.");
    put_counter(&out, "tempusd_line_lost_total", s.lines_lost, "Times the receiver's line was lost.");
    put_counter(&out, "tempusd_line_restored_total", s.lines_restored, "Times the line came back.");
    put_counter(&out, "tempusd_samples_delivered_total", s.outcomes[OUTCOME_SAMPLE_DELIVERED],
                "Samples handed to the NTP server (/N).");
    put_counter(&out, "tempusd_samples_not_delivered_total", s.outcomes[OUTCOME_SAMPLE_NOT_DELIVERED],
                "Samples the NTP server could not be given (/N).");
    return text_length(out);
}

int format_state_status(const service_state &s, char *text, std::size_t size)
{
    text_buffer out = text_in(text, size);
    const bool clock_mode = strcmp(s.mode, "clock") == 0;
    if (!s.line_up) {
        text_append(&out, "Utracono polaczenie z zegarem Horolan (%s) ", s.device);
        text_append_wall_clock(&out, s.line_lost_time);
        if (s.line_reason != LINE_OK)
            text_append(&out, ": %s", line_reason_text(s.line_reason));
        text_append(&out, "; ");
    }
    if (s.last_sync_time != 0) {
        text_append(&out, clock_mode ? "Ostatnia synchronizacja " : "Ostatnia probka dla serwera NTP ");
        text_append_wall_clock(&out, s.last_sync_time);
        if (s.has_offset)
            text_append(&out, clock_mode ? ", przesuniecie %+.0f s" : ", przesuniecie %+.3f s",
                        s.last_offset);
    } else {
        text_append(&out, "Brak synchronizacji od ");
        text_append_wall_clock(&out, s.start_time);
    }
    text_append(&out, "; bledow: %llu", state_failure_count(s));
    if (s.last_outcome != OUTCOME_COUNT && s.last_outcome != OUTCOME_SYNCHRONISED &&
        s.last_outcome != OUTCOME_SAMPLE_DELIVERED)
        text_append(&out, " (ostatnio: %s)", state_outcome_text(s.last_outcome));
    text_append(&out, ".");
    return text_length(out);
}

void start_publishing_state()
{
    publishing = true;
}

void publish_state()
{
    if (!publishing)
        return;
    static char text[8192];
    const int length = format_state_file(state, sync_io_seconds(), text, sizeof text);
    // A state that cannot be written (a full disk) is said in the journal;
    // /Q tells the file's age, and the service goes on keeping the clock.
    static bool failing = false;
    if (length > 0)
        journal_write_outcome(
            STATE_FILE, tempus_sync_io.write_state(text, static_cast<std::size_t>(length)) == 0 ? 0 : errno,
            &failing);
    // Ready as soon as the background process keeps the clock: what waits for
    // the first synchronisation asks /Q (tempusd-wait.service), within a bound
    // of its own, so a receiver that cannot be heard holds up nothing for ever.
    char message[512];
    const bool ready = !ready_told;
    const int head = snprintf(message, sizeof message, "%sSTATUS=", ready ? "READY=1\n" : "");
    if (format_state_status(state, message + head, sizeof message - static_cast<std::size_t>(head)) < 0)
        return;
    if (tempus_sync_io.notify(message) >= 0 && ready)
        ready_told = true;
}
