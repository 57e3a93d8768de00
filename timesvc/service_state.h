#ifndef TEMPUS_TIMESVC_SERVICE_STATE_H
#define TEMPUS_TIMESVC_SERVICE_STATE_H

// What the running service has seen since its start, for those who watch it:
// a state file beside dcf.log in the Prometheus text format (node_exporter's
// textfile collector reads it; tempusd /Q summarises it) and a status line
// for the service manager. Kept in the process's memory; the background
// process, which inherits what the start saw, publishes it.

#include <cstddef>

// The state file, relative to the working directory, and the name it is
// written under before it replaces the file (it must not end in ".prom", or
// the collector would read it half written).
constexpr char STATE_FILE[] = "tempusd.prom";
constexpr char STATE_FILE_NEW[] = "tempusd.prom.new";

// How a cycle ended, one counter each.
enum state_outcome {
    OUTCOME_SYNCHRONISED, // a valid telegram: the clock agreed, or was slewed or stepped
    OUTCOME_SAMPLE_DELIVERED,
    OUTCOME_NO_TELEGRAM,
    OUTCOME_UNEXPECTED_BYTE,
    OUTCOME_PARITY_ERROR,
    OUTCOME_BREAK,
    OUTCOME_READ_ERROR,
    OUTCOME_CHECKSUM_ERROR,
    OUTCOME_UNCERTAIN,
    OUTCOME_CLOCK_NOT_SET,
    OUTCOME_SAMPLE_NOT_DELIVERED,
    OUTCOME_AMBIGUOUS_TIME,
    OUTCOME_COUNT
};

// The name of an outcome in the state file ("synchronised", "no_telegram", ...).
const char *state_outcome_name(int outcome);

// An outcome in the service's own words ("synchronizacja", "brak telegramu", ...).
const char *state_outcome_text(int outcome);

// Whether an outcome counts as a failure: all but a usable telegram, an
// uncertain one and the samples, which are counted apart.
bool state_outcome_is_failure(int outcome);

// Corrections of the clock mode, each a kind of synchronisation.
enum state_correction { CORRECTION_KIND_NONE, CORRECTION_KIND_SLEW, CORRECTION_KIND_STEP, CORRECTION_KINDS };

// The name of a correction in the state file ("none", "slew", "step").
const char *state_correction_name(int kind);

// Why the line could not be opened again while it is lost.
enum line_reason { LINE_OK, LINE_MISSING, LINE_NO_PERMISSION, LINE_HELD, LINE_NOT_A_LINE, LINE_OTHER };

// The name of a reason in the state file ("missing", "permission", "held", ...).
const char *line_reason_name(int reason);

// A reason in the service's own words ("brak urzadzenia", ...).
const char *line_reason_text(int reason);

// The reason an open or configuration that failed with `error` (an errno) gives.
int line_reason_of(int error);

constexpr int STATE_TEXT_SIZE = 80;

struct service_state {
    char mode[8];                     // "clock", "shm" or "sock"
    char ntp_target[STATE_TEXT_SIZE]; // the shared-memory unit or socket path of /N
    char device[STATE_TEXT_SIZE];     // the receiver's line, by the name it is opened
    int interval_minutes;
    long long start_time; // Unix seconds, as every time below; 0 = never
    bool line_up;
    int line_reason; // line_reason, while the line is lost
    long long line_lost_time;
    long long last_telegram_time; // the last cycle's end: its telegram's byte 0, or its failure
    int last_outcome;             // state_outcome; OUTCOME_COUNT before the first
    bool has_offset;
    double last_offset;       // seconds: the clock mode's difference, or the sample's offset
    long long last_sync_time; // the last synchronisation or delivered sample
    unsigned long long outcomes[OUTCOME_COUNT];
    unsigned long long corrections[CORRECTION_KINDS];
    unsigned long long lines_lost;
    unsigned long long lines_restored;
    long long state_time; // when the state file read back was written; 0 in the service itself
};

// The cycles that failed, of every kind.
unsigned long long state_failure_count(const service_state &state);

// The state so far.
const service_state &current_state();

// A new state: the service works in `mode` (on `ntp_target`) on `device` every
// `interval` minutes from `now` on; its line is up.
void state_begin(const char *mode, const char *ntp_target, const char *device, int interval, long long now);

// A valid telegram put the receiver `offset` seconds ahead of the system
// clock (the clock mode's difference, or the sample's offset).
void state_note_offset(double offset);

// The clock was corrected (state_correction).
void state_note_correction(int kind);

// The system clock was stepped by `seconds`: the times noted before the step
// move with it, so that they stay in the clock's own time.
void state_note_clock_stepped(long long seconds);

// A cycle ended with `outcome` at `at`. This and the notes of the line below
// publish the state at once.
void state_note_outcome(int outcome, long long at);

// The line was lost at `at`; it cannot be opened again for `reason` (told at
// every try, so the state's own time stays fresh); it is back at `at`.
void state_note_line_lost(long long at);
void state_note_line_unusable(int reason);
void state_note_line_restored(long long at);

// The state in the Prometheus text exposition format, written at `now`, into
// text (size bytes); its length, or -1 when it does not fit.
int format_state_file(const service_state &state, long long now, char *text, std::size_t size);

// The one-line status for the service manager, in Polish; its length, or -1.
int format_state_status(const service_state &state, char *text, std::size_t size);

// From now on publish_state writes the state file and tells the service
// manager; before (in the installing process) it does nothing.
void start_publishing_state();

// Replaces the state file and sends the status (the first time also that
// the service is ready).
void publish_state();

#endif
