#ifndef TEMPUS_CHECK_CHECK_LINE_H
#define TEMPUS_CHECK_CHECK_LINE_H

#include <termios.h>

#include <ctime>

// The receiver's line as horolan-check uses it: opened only when no one holds
// it, set up as tempusd sets it up, one telegram asked for and read within
// bounds. Only reads and writes the line; the clock is only read.

// How long the receiver has to begin its telegram after the request (unless
// the caller gives another bound), and to complete it after byte 0.
constexpr int CHECK_FIRST_BYTE_WAIT_MS = 5000;
constexpr int CHECK_REST_WAIT_MS = 1000;

// Outcomes of open_check_line.
constexpr int CHECK_OPEN_OK = 0;
constexpr int CHECK_OPEN_FAILED = 1;     // open(2) failed; errno says why
constexpr int CHECK_OPEN_NOT_LINE = 2;   // no terminal (or a device that must not be opened)
constexpr int CHECK_OPEN_HELD = 3;       // another program (a running tempusd) holds it exclusively
constexpr int CHECK_OPEN_UNSETTABLE = 4; // the line's settings could not be made
constexpr int CHECK_OPEN_UNASKABLE = 5;  // whether it is held could not be told; errno says why

// A result of read_check_telegram beside the SERIAL_* codes: the line hung up.
constexpr int CHECK_READ_HUNG_UP = 1;

// Opens `path` if it may be the receiver's line and no one holds it
// exclusively, then sets it up as tempusd does (19200 baud, 8E1, raw, errors
// marked) and for blocking reads. A held line is left as it was: nothing is
// set, written or read. Returns CHECK_OPEN_*; on CHECK_OPEN_OK *fd is set and
// *before holds the line's settings as they were, to be put back.
int open_check_line(const char *path, int *fd, struct termios *before);

// Discards queued input, then asks for one telegram with the lone command
// byte (which leaves any periodic sending as it was). Returns a SERIAL_* code.
int ask_for_telegram(int fd);

// Reads one telegram into buf: byte 0 within first_byte_ms, the rest within
// CHECK_REST_WAIT_MS after it, each byte through link's read_char.
// *arrival is when byte 0 arrived by CLOCK_REALTIME, as ntp_tighten_arrival
// places it from the reading of each byte. Returns
// SERIAL_OK, SERIAL_TIMEOUT, CHECK_READ_HUNG_UP or read_char's failure, with
// *got the bytes read before it (the index of the failed byte).
int read_check_telegram(int fd, int first_byte_ms, unsigned char *buf, struct timespec *arrival, int *got);

#endif
