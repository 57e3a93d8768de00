#ifndef TEMPUS_CHECK_CHECK_RESTORE_H
#define TEMPUS_CHECK_CHECK_RESTORE_H

#include <termios.h>

// horolan-check leaves a line as it found it, also when a signal ends it: a
// getty, a modem tool or tempusd opening the port next finds the settings
// they left, not the receiver's.

// Remembers `fd` and the settings it had (`before`), and has SIGHUP, SIGINT,
// SIGTERM and SIGALRM put them back before they end the program.
void keep_line_settings(int fd, const struct termios *before);

// Puts the remembered settings back now; 0, or -1 with errno set. The
// signals no longer do it afterwards.
int restore_line_settings();

#endif
