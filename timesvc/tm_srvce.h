#ifndef TEMPUS_TIMESVC_TM_SRVCE_H
#define TEMPUS_TIMESVC_TM_SRVCE_H

#include <ctime>

#include "calendar/rwdate.h"
#include "calendar/rwtime.h"

// Hours (-1, 0, +1) to add to a library time so that its local rendering
// matches the system's wall clock; written only by update_DST_correction.
extern int DST_correction;

// Compares the library's daylight flag for now with the system's and sets DST_correction.
void update_DST_correction();

// The service clock: RWTime::now() shifted by DST_correction hours.
RWTime now_DST();

// What the service clock read when the system clock read `unix_seconds`.
RWTime service_clock_at(time_t unix_seconds);

// The system's local calendar date at `unix_seconds` (the C library's zone);
// the invalid date when the C library cannot split it.
RWDate system_local_date(time_t unix_seconds);

#endif
