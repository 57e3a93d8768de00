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
    return service_clock_at(system_clock_seconds());
}

RWTime service_clock_at(time_t unix_seconds)
{
    // The library's count is Unix time plus its epoch, modulo 2^32.
    RWTime t(static_cast<std::uint32_t>(unix_seconds) + rwEpoch);
    if (DST_correction != 0)
        t += static_cast<long>(DST_correction) * 3600L;
    return t;
}

RWDate system_local_date(time_t unix_seconds)
{
    struct tm fields = {};
    if (localtime_r(&unix_seconds, &fields) == nullptr)
        return RWDate(0u, 0u, 0u); // no such date: the invalid one
    return RWDate(&fields);
}
