#ifndef TEMPUS_LINK_SERIAL_IO_H
#define TEMPUS_LINK_SERIAL_IO_H

#include <termios.h>

// Every terminal-attribute call of the serial line unit goes through this
// table, so that a test can record what the line was asked for (a
// pseudo-terminal silently drops some control flags, so reading the
// attributes back proves nothing). It starts out holding the C library's calls.
struct serial_io {
    int (*get_attributes)(int fd, struct termios *attrs);                 // tcgetattr
    int (*set_attributes)(int fd, int when, const struct termios *attrs); // tcsetattr
};

extern serial_io tempus_serial_io;

// Puts the C library's calls back into tempus_serial_io.
void serial_io_restore_defaults();

#endif
