#include "timesvc/tm_srvce.h"

#include <ctime>

#include "calendar/sysclock.h"
#include "calendar/zone.h"
#include "platform/system_zone.h"
#include "timesvc/wall_clock.h"

int DST_correction = 0;

// The library's UTC offset for its local zone at `when`, in seconds east, by
// its own daylight rule.
static long library_offset(RWTime when)
{
    const RWZone &zone = RWZone::local();
    return -(when.isDST(zone) ? zone.altZoneOffset() : zone.timeZoneOffset());
}

static RWTime library_time(time_t unix_seconds)
{
    // The library's count is Unix time plus its epoch, modulo 2^32.
    return RWTime(static_cast<std::uint32_t>(unix_seconds) + rwEpoch);
}

int correction_at(time_t unix_seconds)
{
    // The wall clock counted from its fields, so that a zone's leap seconds
    // (the right/ zones) show in the stamps as in the system's clock.
    long system = 0; // [-16 h, +16 h]
    if (wall_clock_offset(unix_seconds, &system) != 0)
        return 0;
    // The shifted time is what the library renders, so its offset is the one
    // to take out: where the shift crosses one of the library's own changes,
    // a second try finds the correction that holds on the far side. The
    // library's skipped hour, which no count renders, keeps the first.
    const long first = system - library_offset(library_time(unix_seconds));
    RWTime shifted = library_time(unix_seconds);
    shifted += first;
    const long second = system - library_offset(shifted);
    if (second == first)
        return static_cast<int>(first);
    shifted = library_time(unix_seconds);
    shifted += second;
    return static_cast<int>(system - library_offset(shifted) == second ? second : first);
}

void update_DST_correction()
{
    follow_system_zone();
    DST_correction = correction_at(system_clock_seconds());
}

RWTime now_DST()
{
    return service_clock_at(system_clock_seconds());
}

RWTime service_clock_at(time_t unix_seconds)
{
    RWTime t = library_time(unix_seconds);
    t += DST_correction;
    return t;
}
