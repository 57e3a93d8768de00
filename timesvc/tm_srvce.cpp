#include "timesvc/tm_srvce.h"

#include <ctime>

#include "calendar/sysclock.h"
#include "calendar/zone.h"

int DST_correction = 0;

void update_DST_correction()
{
    // Two separate readings of the clock; a transition between them is caught at the next update.
    const bool library_dst = RWTime::now().isDST(RWZone::local());

    const time_t clock = system_clock_seconds();
    struct tm fields = {};
    int system_dst = -1;
    if (localtime_r(&clock, &fields) != nullptr)
        system_dst = fields.tm_isdst;

    DST_correction = 0;
    if (!library_dst && system_dst > 0)
        DST_correction = 1;
    if (library_dst && system_dst == 0)
        DST_correction = -1;
}

RWTime now_DST()
{
    RWTime t = RWTime::now();
    if (DST_correction != 0)
        t += static_cast<long>(DST_correction) * 3600L;
    return t;
}
