#ifndef TEMPUS_ONESHOT_TIKORA_H
#define TEMPUS_ONESHOT_TIKORA_H

// Access to the Horolan receiver for the one-shot setter: open the device,
// ask for one time telegram, read and check it, close. One device at a time.

// Result codes; each is the index of its own name in error_name.
constexpr int TIKORA_OK = 0;
constexpr int TIKORA_ERR_OPEN = 1;
constexpr int TIKORA_ERR_CLOSE = 2;
constexpr int TIKORA_ERR_READ = 3;
constexpr int TIKORA_ERR_WRITE = 4;
constexpr int TIKORA_ERR_TIMEOUT = 5;
constexpr int TIKORA_ERR_BAD_DATA = 6;
constexpr int TIKORA_ERR_BAD_CHECKSUM = 7;

// The receiver's ten-byte time telegram, in the order it arrives.
struct TIKORA_packet {
    unsigned char start; // 0xBB (0xBA accepted too)
    unsigned char hour;
    unsigned char minute;
    unsigned char second;
    unsigned char year; // two digits of the year
    unsigned char month;
    unsigned char day;
    unsigned char weekday;
    unsigned char checksum; // sum of hour..weekday modulo 128
    unsigned char status;   // 0xC5 valid, 0xD2 uncertain
};

constexpr int TIKORA_START = 0xBB;
constexpr int TIKORA_START_ALT = 0xBA;
constexpr int TIKORA_STATUS_VALID = 0xC5;
constexpr int TIKORA_STATUS_UNCERTAIN = 0xD2;
constexpr int TIKORA_CMD_TIME = 0x78;
constexpr int TIKORA_CMD_OTHER = 0x75;
constexpr int TIKORA_OPEN_BYTE = 0x40;

// Printable names of the result codes, "TIKORA_OK" .. "TIKORA_ERR_BAD_CHECKSUM".
extern const char *const error_name[8];
// "valid" at index 0, "invalid" at index 1.
extern const char *const vstr[2];
// Descriptor of the open device; -1 after a failed tikora_open.
extern int rs_fd;
// Bytes of the last telegram read, good or bad.
extern TIKORA_packet data;

// Opens the named device (names longer than 34 characters are refused), puts a
// terminal into the receiver's raw 19200 8E1 mode and sends 0x40:
// TIKORA_OK or TIKORA_ERR_OPEN (then nothing was sent and rs_fd is -1).
int tikora_open(const char *device_name);

// Sends the command (0x78 or 0x75) and reads one telegram into data; on
// TIKORA_OK all outputs are written (valid is 1 for status 0xC5), otherwise none.
int tikora_read_time(unsigned command, unsigned *year, unsigned *month, unsigned *day, unsigned *weekday,
                     unsigned *hour, unsigned *minute, unsigned *second, unsigned *valid);

// Closes rs_fd: TIKORA_OK or TIKORA_ERR_CLOSE.
int tikora_close();

// Sends the command byte and reads one checked telegram into *packet, waiting
// at most the read wait for all ten bytes; count must not be negative.
int _tikora_read_time(int command, TIKORA_packet *packet, int count); // NOLINT(bugprone-reserved-identifier)

// 1 when start byte, status byte and checksum are all acceptable, else 0.
int _check_packet(const TIKORA_packet *packet); // NOLINT(bugprone-reserved-identifier)

#endif
