#ifndef TEMPUS_LINK_RD_WR_RP_H
#define TEMPUS_LINK_RD_WR_RP_H

// Serial line to the receiver: line configuration and single-byte transfers.
// The caller opens and owns the descriptor; nothing here opens or closes one.

// Serial result codes of write_char and read_char: 0 is success, positive
// codes are conditions of the exchange, negative codes errors of the line or
// of the system call.
constexpr int SERIAL_OK = 0;
constexpr int SERIAL_TIMEOUT = 100;
constexpr int SERIAL_NOTHING_WRITTEN = 200;
constexpr int SERIAL_UNEXPECTED_CHAR = 500;
constexpr int SERIAL_WRITE_UNEXPECTED = 600;
constexpr int SERIAL_PARITY_ERROR = -301;
constexpr int SERIAL_SYNC_ERROR = -302;
constexpr int SERIAL_WRITE_ERROR = -801;
constexpr int SERIAL_READ_ERROR = -901;

// Flush selectors of flush_port (the terminal interface's TCIFLUSH, TCOFLUSH, TCIOFLUSH).
constexpr int FLUSH_INPUT = 0;
constexpr int FLUSH_OUTPUT = 1;
constexpr int FLUSH_BOTH = 2;

// Puts the line into raw mode with marked parity errors, VMIN 0, VTIME = timeout
// (tenths of a second, 0..255), speed code 0..15, size code 0/16/32/48 (5..8 bits),
// stop bits 1 or 2, parity on/off and odd/even, receiver on, modem lines and
// all flow control off, no byte ignored. Bad arguments are reported on
// stderr and replaced by defaults. Returns 0 (also on a line that took all
// but parity, as a pseudo-terminal does), or -1 after an "ERROR: ..." line
// when the terminal calls fail.
int set_port_paramers(int fd, int timeout, int baud_code, int char_size, int stop_bits, int parity_on,
                      int parity_odd);

// Changes only VTIME (tenths of a second, 0..255; bad values become 2).
// Returns 0, or -1 after an "ERROR: ..." line when the terminal calls fail.
int set_port_timeout(int fd, int timeout);

// Writes one byte with a single write call; returns a serial result code.
int write_char(int fd, unsigned char c);

// Reads one logical byte, decoding the driver's 0xFF escapes and error marks;
// returns a serial result code. Stores into *c only as the result code says.
int read_char(int fd, unsigned char *c);

// Discards queued input (0), output (1) or both (2); other selectors are
// reported and become 2. Returns the result of tcflush.
int flush_port(int fd, int selector);

#endif
