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
constexpr int TELEGRAM_UNEXPECTED = 1; // wrong start or status byte, or a time field out of range
constexpr int TELEGRAM_BAD_CHECKSUM = 2;
constexpr int TELEGRAM_UNCERTAIN = 3;

// The two bytes of a telegram request for `minutes`: 0x78, then 0x40 | (minutes & 0x3F).
void time_request_bytes(int minutes, unsigned char bytes[2]);

// Asks the receiver to send a telegram every `minutes` minutes: discards queued
// output, then writes 0x78 and 0x40 | (minutes & 0x3F). Results are ignored.
void time_request_to_DCF(int fd, int minutes);

// Checksum of a ten-byte telegram: bytes 1..7 summed, modulo 128.
int telegram_checksum(const unsigned char *buf);

// Classifies a ten-byte telegram: start/status bytes first, then the checksum,
// then the ranges of hour (0..23), minute (0..59) and second (0..60), then
// the uncertain status. Pure; reads exactly ten bytes.
int validate_telegram(const unsigned char *buf);

#endif
