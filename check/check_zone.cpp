#include "check/check_zone.h"

#include <cmath>

#include "timesvc/text_buffer.h"

int zone_hours_apart(double offset)
{
    const double hours = std::round(offset / 3600.0);
    if (hours == 0.0 || std::fabs(hours) > CHECK_ZONE_MAX_HOURS)
        return 0;
    return std::fabs(offset - hours * 3600.0) <= CHECK_ZONE_SLACK_S ? static_cast<int>(hours) : 0;
}

static void add_utc_offset(text_buffer *t, long east)
{
    const long magnitude = east < 0 ? -east : east;
    text_append(t, "UTC%c%02ld:%02ld", east < 0 ? '-' : '+', magnitude / 3600, magnitude / 60 % 60);
}

int format_zone_warning(int hours, const char *zone, long utc_offset, char *out, std::size_t size)
{
    text_buffer t = text_in(out, size);
    text_append(&t, "the receiver's time is %d h %s the system clock: it seems to send the time of ",
                hours < 0 ? -hours : hours, hours < 0 ? "behind" : "ahead of");
    add_utc_offset(&t, utc_offset + hours * 3600L);
    text_append(&t, " while this machine's zone is %s (", zone);
    add_utc_offset(&t, utc_offset);
    text_append(&t, "); tempusd reads the receiver's time in the machine's zone, so set the receiver to the "
                    "machine's zone or the machine's zone to the receiver's (timedatectl set-timezone), "
                    "unless the system clock itself is off by whole hours");
    return text_length(t);
}

int reading_zone_warning(const check_reading *r, char *out, std::size_t size)
{
    if (r->measurement != CHECK_MEASURED)
        return 0;
    const int hours = zone_hours_apart(r->offset);
    if (hours != 0)
        (void)format_zone_warning(hours, r->arrival_local.tm_zone, r->arrival_local.tm_gmtoff, out, size);
    return hours;
}
