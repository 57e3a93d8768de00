// Feeds arbitrary line bytes to read_char through a pipe and checks that every
// call consumes one to three bytes (or none, at the end), returns a known code,
// and never touches more than the caller's one byte.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "link/rd_wr_rp.h"

static int queued_bytes(int fd)
{
    int n = 0;
    if (ioctl(fd, FIONREAD, &n) != 0)
        abort();
    return n;
}

static bool is_read_code(int rc)
{
    return rc == SERIAL_OK || rc == SERIAL_TIMEOUT || rc == SERIAL_UNEXPECTED_CHAR ||
           rc == SERIAL_PARITY_ERROR || rc == SERIAL_SYNC_ERROR || rc == SERIAL_READ_ERROR;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 4096) // stays well inside a pipe's buffer, so the write cannot block
        return 0;
    int p[2];
    if (pipe(p) != 0)
        abort();
    if (size > 0 && write(p[1], data, size) != static_cast<ssize_t>(size))
        abort();
    close(p[1]); // end of input reads as a time-out

    // A single heap byte, so that any store beyond it is caught.
    std::unique_ptr<unsigned char> byte(new unsigned char(0x5A));
    size_t calls = 0;
    for (;;) {
        int before = queued_bytes(p[0]);
        unsigned char old = *byte;
        int rc = read_char(p[0], byte.get());
        int consumed = before - queued_bytes(p[0]);
        if (!is_read_code(rc) || rc == SERIAL_READ_ERROR)
            abort();
        if (rc == SERIAL_TIMEOUT) {
            if (consumed != 0 || before != 0 || *byte != old)
                abort();
            break;
        }
        if (consumed < 1 || consumed > 3)
            abort();
        if (++calls > size)
            abort();
    }
    close(p[0]);
    return 0;
}
