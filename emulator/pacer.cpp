#include "emulator/pacer.h"

namespace horolan {

long long pacer_align(const Pacer &pacer, long long ms)
{
    if (!pacer.align)
        return ms;
    const long long rest = ((ms - pacer.at_ms) % 1000 + 1000) % 1000;
    return rest <= pacer.window_ms ? ms : ms + (1000 - rest);
}

void pacer_request_once(Pacer *pacer, long long now_ms)
{
    const long long due = pacer_align(*pacer, now_ms + pacer->min_delay_ms);
    if (pacer->once_ms < 0 || due < pacer->once_ms)
        pacer->once_ms = due;
}

void pacer_request_periodic(Pacer *pacer, long long now_ms, long long period_ms)
{
    pacer->once_ms = -1;
    pacer->period_ms = period_ms > 0 ? period_ms : 0;
    if (pacer->period_ms > 0) {
        pacer->periodic_base_ms = now_ms + pacer->min_delay_ms;
    } else {
        pacer->periodic_base_ms = -1;
        pacer_request_once(pacer, now_ms);
    }
}

void pacer_set_period(Pacer *pacer, long long now_ms, long long period_ms)
{
    pacer->period_ms = period_ms > 0 ? period_ms : 0;
    pacer->periodic_base_ms = pacer->period_ms > 0 ? now_ms + pacer->period_ms : -1;
}

long long pacer_next_due(const Pacer &pacer)
{
    const long long periodic = pacer.periodic_base_ms < 0 ? -1 : pacer_align(pacer, pacer.periodic_base_ms);
    if (pacer.once_ms < 0)
        return periodic;
    if (periodic < 0)
        return pacer.once_ms;
    return periodic < pacer.once_ms ? periodic : pacer.once_ms;
}

void pacer_sent(Pacer *pacer, long long due_ms, long long now_ms)
{
    if (pacer->once_ms >= 0 && pacer->once_ms <= due_ms)
        pacer->once_ms = -1;
    if (pacer->periodic_base_ms >= 0 && pacer_align(*pacer, pacer->periodic_base_ms) <= due_ms) {
        pacer->periodic_base_ms += pacer->period_ms;
        // One held back to the window's start: the beat goes on from there, not
        // with a second one at once.
        if (pacer->window_ms > 0 && pacer->periodic_base_ms < due_ms + pacer->period_ms)
            pacer->periodic_base_ms = due_ms + pacer->period_ms;
        // Fell behind (a stopped process, a slow machine): do not send a burst.
        if (pacer->periodic_base_ms < now_ms)
            pacer->periodic_base_ms = now_ms;
    }
}

} // namespace horolan
