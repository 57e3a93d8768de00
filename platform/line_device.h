#ifndef TEMPUS_PLATFORM_LINE_DEVICE_H
#define TEMPUS_PLATFORM_LINE_DEVICE_H

// Telling a serial line from other device files before anything reaches their
// driver: opening some devices acts (a watchdog arms itself), writing to
// others is harmful (the kernel's log, a disk).

// Opens `path` for reading and writing as a receiver's line (flags as for open,
// O_RDWR among them) only if it may be one: a terminal (a character device of
// the tty class, or a pseudo-terminal, which the kernel lists in no class), a
// FIFO or a socket. Every other file is refused, with errno ENODEV for a
// character device of another class, before its driver is reached. Returns the
// descriptor or -1.
int open_line_device(const char *path, int flags);

// Whether another program holds the open terminal fd exclusively (TIOCEXCL):
// root opens such a line all the same, so it must be asked. 1 held, 0 not,
// -1 when the line cannot say (errno set).
int line_held_exclusively(int fd);

#endif
