#ifndef TEMPUS_CHECK_CHECK_ZONE_H
#define TEMPUS_CHECK_CHECK_ZONE_H

#include <cstddef>

#include "check/check_report.h"

// Whether the receiver seems to send another zone's wall-clock time. tempusd
// reads the receiver's time in the system's zone, so a receiver left on
// another zone (a DCF77 receiver on German time beside a machine on UTC)
// differs from a right system clock by whole hours. horolan-check and
// tempusd-setup decide it here, once.

// How far from a whole number of hours a difference may lie and still count
// as zones apart: a clock that never was synchronised drifts a few seconds.
constexpr double CHECK_ZONE_SLACK_S = 10.0;

// The most hours two zones lie apart (UTC-12:00 to UTC+14:00).
constexpr int CHECK_ZONE_MAX_HOURS = 26;

// The whole hours (receiver minus system, 1 to CHECK_ZONE_MAX_HOURS either
// way) that `offset` seconds lies within CHECK_ZONE_SLACK_S of; 0 for any
// other difference.
int zone_hours_apart(double offset);

// The warning for zones `hours` apart: the system's zone (`zone`, its
// abbreviation, `utc_offset` seconds east of UTC), the offset the receiver
// seems to use, and what to do; one line without its end. Returns its length,
// or -1 when it does not fit.
int format_zone_warning(int hours, const char *zone, long utc_offset, char *out, std::size_t size);

// The hours apart that a reading shows (0 when it carries no difference), with
// its warning in `out` when they are not 0.
int reading_zone_warning(const check_reading *r, char *out, std::size_t size);

#endif
