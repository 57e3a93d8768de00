#include "link/rd_wr_rp.h"

#include <cstdio>
#include <termios.h>
#include <unistd.h>

#include "link/serial_io.h"
#include "platform/line_parity.h"

// Speed codes 0..15 in the order of the classic terminal speed table.
static const speed_t speed_by_code[16] = {B0,   B50,   B75,   B110,  B134,  B150,  B200,   B300,
                                          B600, B1200, B1800, B2400, B4800, B9600, B19200, B38400};

static constexpr int default_timeout = 2;
static constexpr int default_baud_code = 13;
static constexpr int default_char_size = 48;
static constexpr int default_stop_bits = 1;

static bool timeout_is_valid(int timeout)
{
    return timeout >= 0 && timeout <= 255;
}

static int checked_timeout(int timeout)
{
    if (timeout_is_valid(timeout))
        return timeout;
    fprintf(stderr, "ERROR: invalid value of timeout.\nTimeout set to 0.2s.\n");
    return default_timeout;
}

// Size codes 0, 16, 32, 48 stand for 5..8 data bits.
static bool size_flag_for_code(int code, tcflag_t *flag)
{
    switch (code) {
    case 0: *flag = CS5; return true;
    case 16: *flag = CS6; return true;
    case 32: *flag = CS7; return true;
    case 48: *flag = CS8; return true;
    default: return false;
    }
}

static void make_raw_with_marked_errors(struct termios *t)
{
    // Errors must reach us as 0xFF 0x00 x marks, a break as 0xFF 0x00 0x00 and
    // a data 0xFF as 0xFF 0xFF; nothing may be translated, stripped or dropped
    // (IGNCR would drop every field equal to 13), whatever a previous program
    // left on the line, and no flow control may hold the receiver back.
    t->c_iflag &= ~static_cast<tcflag_t>(BRKINT | ISTRIP | INLCR | ICRNL | IUCLC | IXON | IGNCR | IGNPAR |
                                         IGNBRK | IXOFF | IXANY);
    t->c_iflag |= PARMRK | INPCK;
    t->c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t->c_lflag = 0;
}

static void set_frame(struct termios *t, tcflag_t size_flag, int stop_bits, int parity_on, int parity_odd)
{
    // The requested size replaces whatever size the port had. The receiver
    // has no modem lines to speak of: they are ignored, and so is hardware
    // flow control; the receiver must be read.
    t->c_cflag = (t->c_cflag & ~static_cast<tcflag_t>(CSIZE | CRTSCTS)) | size_flag | CLOCAL | CREAD;
    if (stop_bits == 2)
        t->c_cflag |= CSTOPB;
    else
        t->c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    if (parity_on) {
        t->c_cflag |= PARENB;
        if (parity_odd)
            t->c_cflag |= PARODD;
        else
            t->c_cflag &= ~static_cast<tcflag_t>(PARODD);
    } else {
        t->c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD);
    }
}

// A line without parity (a pseudo-terminal) refuses the setting as a whole
// though it took everything else: only reads can tell that it is gone.
static bool holds_all_but_parity(int fd, const struct termios *asked)
{
    struct termios held;
    return tempus_serial_io.get_attributes(fd, &held) == 0 && line_refused_only_parity(asked, &held);
}

int set_port_paramers(int fd, int timeout, int baud_code, int char_size, int stop_bits, int parity_on,
                      int parity_odd)
{
    struct termios attrs;
    int rc = tempus_serial_io.get_attributes(fd, &attrs);
    if (rc != 0) {
        fprintf(stderr, "ERROR: tcgetattr failed: rc = %d\n", rc);
        return -1;
    }

    timeout = checked_timeout(timeout);
    if (baud_code < 0 || baud_code > 15) {
        fprintf(stderr, "ERROR: invalid value of baud_rate.\nBaud_rate set to 9600.\n");
        baud_code = default_baud_code;
    }
    tcflag_t size_flag = CS8;
    if (!size_flag_for_code(char_size, &size_flag)) {
        fprintf(stderr, "ERROR: invalid value of character size.\nCharacter size set to 8.\n");
        size_flag_for_code(default_char_size, &size_flag);
    }
    if (stop_bits != 1 && stop_bits != 2) {
        fprintf(stderr, "ERROR: invalid number of stop bits.\nNumber of stop bits set to 1.\n");
        stop_bits = default_stop_bits;
    }

    make_raw_with_marked_errors(&attrs);
    set_frame(&attrs, size_flag, stop_bits, parity_on, parity_odd);
    attrs.c_cc[VMIN] = 0;
    attrs.c_cc[VTIME] = static_cast<cc_t>(timeout);

    speed_t speed = speed_by_code[baud_code];
    rc = cfsetospeed(&attrs, speed);
    if (rc != 0) {
        fprintf(stderr, "ERROR: cfsetospeed failed: rc = %d\n", rc);
        return -1;
    }
    rc = cfsetispeed(&attrs, speed);
    if (rc != 0) {
        fprintf(stderr, "ERROR: cfsetispeed failed: rc = %d\n", rc);
        return -1;
    }
    rc = tempus_serial_io.set_attributes(fd, TCSANOW, &attrs);
    if (rc != 0 && !holds_all_but_parity(fd, &attrs)) {
        fprintf(stderr, "ERROR: tcsetattr failed: rc = %d\n", rc);
        return -1;
    }
    return 0;
}

int set_port_timeout(int fd, int timeout)
{
    struct termios attrs;
    int rc = tempus_serial_io.get_attributes(fd, &attrs);
    if (rc != 0) {
        fprintf(stderr, "ERROR: tcgetattr failed: rc = %d\n", rc);
        return -1;
    }
    attrs.c_cc[VTIME] = static_cast<cc_t>(checked_timeout(timeout));
    rc = tempus_serial_io.set_attributes(fd, TCSANOW, &attrs);
    if (rc != 0) {
        fprintf(stderr, "ERROR: tcsetattr failed: rc = %d\n", rc);
        return -1;
    }
    return 0;
}

int write_char(int fd, unsigned char c)
{
    ssize_t n = write(fd, &c, 1);
    if (n == -1)
        return SERIAL_WRITE_ERROR;
    if (n == 0)
        return SERIAL_NOTHING_WRITTEN;
    if (n == 1)
        return SERIAL_OK;
    return SERIAL_WRITE_UNEXPECTED;
}

// Reads the byte that follows a 0xFF mark; a time-out here cuts the sequence short.
static int read_marked_byte(int fd, unsigned char *c)
{
    ssize_t n = read(fd, c, 1);
    if (n == -1)
        return SERIAL_READ_ERROR;
    if (n != 1)
        return SERIAL_UNEXPECTED_CHAR;
    return SERIAL_OK;
}

int read_char(int fd, unsigned char *c)
{
    unsigned char first = 0;
    ssize_t n = read(fd, &first, 1);
    if (n == -1)
        return SERIAL_READ_ERROR;
    if (n == 0)
        return SERIAL_TIMEOUT;
    if (n != 1)
        return SERIAL_UNEXPECTED_CHAR;
    *c = first;
    if (first != 0xFF)
        return SERIAL_OK;

    unsigned char next = 0;
    int rc = read_marked_byte(fd, &next);
    if (rc != SERIAL_OK)
        return rc;
    if (next == 0xFF)
        return SERIAL_OK;
    if (next != 0x00)
        return SERIAL_UNEXPECTED_CHAR;

    rc = read_marked_byte(fd, &next);
    if (rc != SERIAL_OK)
        return rc;
    if (next == 0x00)
        return SERIAL_SYNC_ERROR;
    *c = next;
    return SERIAL_PARITY_ERROR;
}

int flush_port(int fd, int selector)
{
    if (selector != 0 && selector != 1 && selector != 2) {
        fprintf(stderr, "ERROR: invalid indicator of buffer(input and/or output).\n"
                        "Indicator set to <input and output> buffer.\n");
        selector = 2;
    }
    static const int queue_by_selector[3] = {TCIFLUSH, TCOFLUSH, TCIOFLUSH};
    return tcflush(fd, queue_by_selector[selector]);
}
