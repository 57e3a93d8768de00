#ifndef TEMPUS_LINK_RD_WR_RP_SEAM_H
#define TEMPUS_LINK_RD_WR_RP_SEAM_H

#include <termios.h>

// Test seam of the serial line unit: the terminal attribute calls go through
// these pointers, which default to the C library's tcgetattr and tcsetattr.
// A test may point them at a recording fake (a pseudo-terminal silently drops
// some control flags, so reading the attributes back proves nothing) and must
// restore them afterwards. The service itself never changes them.
using serial_tcgetattr_fn = int (*)(int fd, struct termios *attrs);
using serial_tcsetattr_fn = int (*)(int fd, int when, const struct termios *attrs);

extern serial_tcgetattr_fn serial_tcgetattr;
extern serial_tcsetattr_fn serial_tcsetattr;

#endif
