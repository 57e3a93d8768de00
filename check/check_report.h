#ifndef TEMPUS_CHECK_CHECK_REPORT_H
#define TEMPUS_CHECK_CHECK_REPORT_H

#include <cstddef>
#include <ctime>

#include "link/dcf_protocol.h"

// What one telegram showed beside the system clock, and the report an
// administrator reads of it. Pure: everything the text says is in the reading.

// Whether a reading carries a difference.
enum check_measurement {
    CHECK_MEASURED,      // offset and instants hold
    CHECK_DAMAGED,       // the telegram is not one to measure (bad checksum, unexpected bytes)
    CHECK_CLOCK_UNKNOWN, // the system clock lies beyond what its zone can render
};

struct check_reading {
    unsigned char telegram[DCF_TELEGRAM_SIZE]; // as it came off the line
    int verdict;                               // validate_telegram's outcome
    time_t arrival_s;                          // byte 0's arrival by the system clock (CLOCK_REALTIME)
    long arrival_ms;                           // ... and its milliseconds
    struct tm arrival_local; // ... in the system's zone; tm_zone null when it cannot be rendered
    check_measurement measurement;
    int instants;  // as telegram_instant: 1; 2 in a repeated hour, 0 in a skipped one
    double offset; // the receiver's time minus the system clock's at byte 0, in seconds
};

// The report of `r`, lines ending in '\n': the telegram's bytes, the
// receiver's date, time and weekday (two-digit years below 70 are 20xx), its
// status, byte 0's arrival (local time to the millisecond, zone and UTC
// offset) and the difference to the millisecond, with a note when the time of
// day is repeated or skipped that day. Returns its length, or -1 when it does not fit.
int format_check_report(const check_reading *r, char *out, std::size_t size);

// Why a telegram of this verdict is no good, in words ("" for a valid one).
// Returns its length, or -1 when it does not fit.
int format_telegram_fault(const unsigned char *telegram, int verdict, char *out, std::size_t size);

// Why horolan-check could not use the line at `path`, for an outcome of
// open_check_line other than CHECK_OPEN_OK; `error` is the errno it left.
int format_open_failure(int outcome, const char *path, int error, char *out, std::size_t size);

// Why no whole telegram came, for a result of read_check_telegram other than
// SERIAL_OK after `got` bytes, byte 0 having been waited for `first_byte_s`
// seconds; `error` is the errno it left.
int format_read_failure(int result, int got, int first_byte_s, const char *path, int error, char *out,
                        std::size_t size);

// The receiver's date, time and weekday as the report shows them, without
// the line's end. Returns its length, or -1 when it does not fit.
int format_receiver_time(const unsigned char *telegram, char *out, std::size_t size);

#endif
