#include "oneshot/tikora_io.h"

// The receiver answers within a second; three leave room for a slow adapter.
static constexpr tikora_io program_tikora_io = {
    3000,
};

tikora_io tempus_tikora_io = program_tikora_io;

void tikora_io_restore_defaults()
{
    tempus_tikora_io = program_tikora_io;
}
