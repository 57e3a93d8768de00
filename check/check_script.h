#ifndef TEMPUS_CHECK_CHECK_SCRIPT_H
#define TEMPUS_CHECK_CHECK_SCRIPT_H

#include <cstddef>

#include "check/check_report.h"

// horolan-check --script: what the check found as `name=value` lines, one
// name a line, for a script to read without parsing the report. Names and
// outcome words stay as they are; new names may be added. Pure.

// The outcome word of an open_check_line result other than CHECK_OPEN_OK:
// held, not-a-line or unusable.
const char *open_failure_outcome(int outcome);

// The outcome word of a read_check_telegram result other than SERIAL_OK after
// `got` bytes: silent (nothing came), or broken.
const char *read_failure_outcome(int result, int got);

// A whole telegram's lines: device, outcome (valid, uncertain or damaged),
// telegram, receiver_time, difference (receiver minus system clock in seconds,
// empty when not measured), zone, utc_offset (seconds east), zone_hours (see
// zone_hours_apart), then message (why it is no good) and warning (zones
// apart) when there is one. Returns its length, or -1 when it does not fit.
int format_check_script(const char *path, const check_reading *r, char *out, std::size_t size);

// The lines of a line that gave no whole telegram: device, outcome, message.
int format_check_script_failure(const char *path, const char *outcome, const char *message, char *out,
                                std::size_t size);

#endif
