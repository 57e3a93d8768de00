#include "platform/line_parity.h"

bool line_refused_only_parity(const struct termios *asked, const struct termios *held)
{
    constexpr tcflag_t PARITY = PARENB | PARODD;
    return held->c_iflag == asked->c_iflag && held->c_oflag == asked->c_oflag &&
           held->c_lflag == asked->c_lflag && (held->c_cflag & ~PARITY) == (asked->c_cflag & ~PARITY) &&
           held->c_cc[VMIN] == asked->c_cc[VMIN] && held->c_cc[VTIME] == asked->c_cc[VTIME] &&
           cfgetispeed(held) == cfgetispeed(asked) && cfgetospeed(held) == cfgetospeed(asked);
}
