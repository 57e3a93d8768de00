#include "link/serial_io.h"

static constexpr serial_io real_serial_io = {
    ::tcgetattr,
    ::tcsetattr,
};

serial_io tempus_serial_io = real_serial_io;

void serial_io_restore_defaults()
{
    tempus_serial_io = real_serial_io;
}
