#ifndef TEMPUS_PLATFORM_LINE_PARITY_H
#define TEMPUS_PLATFORM_LINE_PARITY_H

#include <termios.h>

// A pseudo-terminal (a receiver bridged over the network, the emulator) has no
// parity: it drops PARENB and PARODD from every setting, and the C library then
// reports a repeated setting as failed although the rest was applied.

// True when `held`, the line's settings read back after asking for `asked`,
// differ from them at most in parity: the line is usable, it just cannot mark
// parity errors.
bool line_refused_only_parity(const struct termios *asked, const struct termios *held);

#endif
