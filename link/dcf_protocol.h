#ifndef TEMPUS_LINK_DCF_PROTOCOL_H
#define TEMPUS_LINK_DCF_PROTOCOL_H

// The receiver's byte protocol: the time request and the ten-byte time telegram.

constexpr int DCF_TELEGRAM_SIZE = 10;
constexpr int DCF_START_BYTE = 0xBB;       // byte 0 of every telegram
constexpr int DCF_STATUS_VALID = 0xC5;     // byte 9: the receiver's time is valid
constexpr int DCF_STATUS_UNCERTAIN = 0xD2; // byte 9: the receiver's time is uncertain
constexpr int DCF_REQUEST_BYTE = 0x78;     // command byte of the time request
constexpr int DCF_INTERVAL_BASE = 0x40;    // interval byte = base | (minutes & 0x3F)

// Offsets of the fields within the telegram.
constexpr int DCF_OFS_START = 0;
constexpr int DCF_OFS_HOUR = 1;
constexpr int DCF_OFS_MINUTE = 2;
constexpr int DCF_OFS_SECOND = 3;
constexpr int DCF_OFS_YEAR = 4;
constexpr int DCF_OFS_MONTH = 5;
constexpr int DCF_OFS_DAY = 6;
constexpr int DCF_OFS_WEEKDAY = 7;
constexpr int DCF_OFS_CHECKSUM = 8;
constexpr int DCF_OFS_STATUS = 9;

// Outcomes of validate_telegram.
constexpr int TELEGRAM_VALID = 0;
constexpr int TELEGRAM_UNEXPECTED = 1; // wrong start or status byte, or a date or time field out of range
constexpr int TELEGRAM_BAD_CHECKSUM = 2;
constexpr int TELEGRAM_UNCERTAIN = 3;

// A telegram's date and time: the local wall clock of the host's zone.
struct dcf_wall_time {
    int year;   // in full, by telegram_full_year
    int month;  // 1..12
    int day;    // 1..the month's last
    int hour;   // 0..23
    int minute; // 0..59
    int second; // 0..60, 60 being a leap second
};

// The year a two-digit year byte stands for: 0..69 are 2000..2069, 70..99
// are 1970..1999; -1 above 99.
int telegram_full_year(int two_digit_year);

// Whether every field of `when` lies in its range, the day within its month.
bool wall_time_in_range(const dcf_wall_time *when);

// The date and time a ten-byte telegram carries; 0, or -1 when a field is
// out of range. Pure; reads bytes 1 to 6.
int telegram_wall_time(const unsigned char *buf, dcf_wall_time *out);

// The two bytes of a telegram request for `minutes`: 0x78, then 0x40 | (minutes & 0x3F).
void time_request_bytes(int minutes, unsigned char bytes[2]);

// Asks the receiver to send a telegram every `minutes` minutes: discards queued
// output, then writes 0x78 and 0x40 | (minutes & 0x3F). Results are ignored.
void time_request_to_DCF(int fd, int minutes);

// Checksum of a ten-byte telegram: bytes 1..7 summed, modulo 128.
int telegram_checksum(const unsigned char *buf);

// Classifies a ten-byte telegram: start/status bytes first, then the checksum,
// then the ranges of the date and time (telegram_wall_time), then the
// uncertain status. Pure; reads exactly ten bytes.
int validate_telegram(const unsigned char *buf);

#endif
