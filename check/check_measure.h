#ifndef TEMPUS_CHECK_CHECK_MEASURE_H
#define TEMPUS_CHECK_CHECK_MEASURE_H

#include <ctime>

#include "check/check_report.h"

// Fills the rest of a reading whose telegram is in r->telegram and whose byte
// 0 arrived at `arrival` (CLOCK_REALTIME): the verdict, the arrival in the
// system's zone, and for a valid or uncertain telegram the difference exactly
// as tempusd /N hands it to the NTP server (the instant the telegram's date
// and time name, plus one character, minus the arrival).
void measure_telegram(struct timespec arrival, check_reading *r);

#endif
