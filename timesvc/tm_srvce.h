#ifndef TEMPUS_TIMESVC_TM_SRVCE_H
#define TEMPUS_TIMESVC_TM_SRVCE_H

#include <ctime>

#include "calendar/rwtime.h"

// Seconds to add to a library time so that its rendering in the library's
// local zone is the system's wall-clock time: the system's UTC offset minus
// the library's (the library's built-in daylight rule, offsets and zone
// name may all differ from the system's). Written only by update_DST_correction.
extern int DST_correction;

// Follows a change of the system's zone, then sets DST_correction for now.
void update_DST_correction();

// The correction for the system clock reading `unix_seconds`.
int correction_at(time_t unix_seconds);

// The service clock: RWTime::now() shifted by DST_correction seconds.
RWTime now_DST();

// What the service clock read when the system clock read `unix_seconds`.
RWTime service_clock_at(time_t unix_seconds);

#endif
