#ifndef TEMPUS_EMULATOR_PACER_H
#define TEMPUS_EMULATOR_PACER_H

// When the receiver sends its next telegram. Times are milliseconds of the
// Unix clock. With alignment on, telegrams go out on whole seconds, so the
// seconds they carry are exact.

namespace horolan {

struct Pacer {
    long long min_delay_ms = 0;      // a requested telegram never leaves sooner
    bool align = true;               // send on whole seconds
    long long at_ms = 0;             // ... or this many ms (0..999) after them
    long long window_ms = 0;         // ... or up to this many ms later in the same second
    long long once_ms = -1;          // due time of a one-shot telegram, -1 none
    long long period_ms = 0;         // 0: no periodic sending
    long long periodic_base_ms = -1; // unaligned due time of the next periodic one
};

// Earliest sending time at or after `ms` (when aligned: `ms` itself when it
// falls from at_ms to at_ms + window_ms into its second, else rounded up to
// the next whole second plus at_ms).
long long pacer_align(const Pacer &pacer, long long ms);

// One telegram requested at `now_ms`.
void pacer_request_once(Pacer *pacer, long long now_ms);

// A telegram now and then every `period_ms` (0: only the one).
void pacer_request_periodic(Pacer *pacer, long long now_ms, long long period_ms);

// Periodic sending every `period_ms` starting one period after `now_ms`; 0 stops it.
void pacer_set_period(Pacer *pacer, long long now_ms, long long period_ms);

// Due time of the next telegram, or -1 when none is due.
long long pacer_next_due(const Pacer &pacer);

// The telegram due at `due_ms` went out at `now_ms`; plans the next one.
void pacer_sent(Pacer *pacer, long long due_ms, long long now_ms);

} // namespace horolan

#endif
