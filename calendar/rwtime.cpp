#include "calendar/rwtime.h"

#include "calendar/sysclock.h"
#include "calendar/zone.h"

// Constant-initialised, so they hold before any other static initialiser runs.
constinit const RWDate refDate(0u, 0u);
constinit const RWDate maxDate(49709u, 0u);

// Splits a count as GMT fields: the date of day count / 86400 after refDate and the time of day.
static void split_as_gmt(std::uint32_t count, struct tm *fields)
{
    RWDate(count / 86400u, 0u).extract(fields);
    fields->tm_hour = static_cast<int>((count % 86400u) / 3600u);
    fields->tm_min = static_cast<int>((count % 3600u) / 60u);
    fields->tm_sec = static_cast<int>(count % 60u);
    fields->tm_isdst = 0;
}

// Offsets are applied modulo 2^32 like every other count arithmetic.
static std::uint32_t minus_offset(std::uint32_t count, long offset)
{
    return count - static_cast<std::uint32_t>(offset);
}

RWTime::RWTime(unsigned h, unsigned m, unsigned s, const RWZone &zone)
    : sec(buildFrom(RWDate::now(), h, m, s, zone))
{
}

RWTime::RWTime(const struct tm *fields, const RWZone &zone) : sec(0)
{
    const RWDate date(fields);
    if (date.isValid())
        sec = buildFrom(date, static_cast<unsigned>(fields->tm_hour), static_cast<unsigned>(fields->tm_min),
                        static_cast<unsigned>(fields->tm_sec), zone);
}

std::uint32_t RWTime::currentTime()
{
    // time_t is wider than 32 bits; the conversion keeps it modulo 2^32.
    return static_cast<std::uint32_t>(system_clock_seconds()) + rwEpoch;
}

void RWTime::extract(struct tm *fields, const RWZone &zone) const
{
    if (sec == 0) {
        RWDate::clobber(fields);
        return;
    }
    if (zone.daylightObserved()) {
        // The rule is put to the daylight clock's reading of this instant.
        split_as_gmt(minus_offset(sec, zone.altZoneOffset()), fields);
        if (zone.isDaylight(fields)) {
            fields->tm_isdst = 1;
            return;
        }
    }
    split_as_gmt(minus_offset(sec, zone.timeZoneOffset()), fields);
}

bool RWTime::isDST(const RWZone &zone) const
{
    if (!zone.daylightObserved())
        return false;
    struct tm fields = {};
    split_as_gmt(minus_offset(sec, zone.altZoneOffset()), &fields);
    return zone.isDaylight(&fields);
}

unsigned RWTime::hour(const RWZone &zone) const
{
    struct tm fields = {};
    extract(&fields, zone);
    return static_cast<unsigned>(fields.tm_hour);
}

unsigned RWTime::minute(const RWZone &zone) const
{
    struct tm fields = {};
    extract(&fields, zone);
    return static_cast<unsigned>(fields.tm_min);
}

std::uint32_t RWTime::buildFrom(const RWDate &date, unsigned h, unsigned m, unsigned s, const RWZone &zone)
{
    const std::uint32_t base = (date.julian() - refDate.julian()) * 86400u + h * 3600u + m * 60u + s;
    const long standardOffset = zone.timeZoneOffset();
    if (!zone.daylightObserved())
        return base + static_cast<std::uint32_t>(standardOffset);
    // The wall-clock reading itself decides which offset applies.
    struct tm fields = {};
    date.extract(&fields);
    fields.tm_hour = static_cast<int>(h);
    fields.tm_min = static_cast<int>(m);
    fields.tm_sec = static_cast<int>(s); // extract has set tm_wday already
    const bool daylight = zone.isDaylight(&fields);
    const long daylightOffset = zone.altZoneOffset();
    // Over a year the answer is close to a coin toss, so both offsets are read and one
    // selected: a mispredicted branch here would cost more than the rule itself.
    return base + static_cast<std::uint32_t>(daylight ? daylightOffset : standardOffset);
}

bool RWTime::assertDate(const RWDate &date)
{
    return refDate.julian() <= date.julian() && date.julian() <= maxDate.julian();
}

// Empty fields of the year, filled by the zone with one of its daylight boundaries.
static RWTime daylight_boundary(unsigned year, const RWZone &zone, bool begin)
{
    if (!zone.daylightObserved())
        return RWTime(0u);
    struct tm fields = {};
    fields.tm_year = static_cast<int>(year - 1900u);
    if (begin)
        zone.getBeginDaylight(&fields);
    else
        zone.getEndDaylight(&fields);
    return RWTime(&fields, zone);
}

RWTime RWTime::beginDST(unsigned year, const RWZone &zone)
{
    return daylight_boundary(year, zone, true);
}

RWTime RWTime::endDST(unsigned year, const RWZone &zone)
{
    return daylight_boundary(year, zone, false);
}
