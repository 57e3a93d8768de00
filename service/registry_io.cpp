#include "service/registry_io.h"

#include <cstdlib>

#include "platform/proc_name.h"

static int run_shell_command(const char *command)
{
    return system(command);
}

static constexpr registry_io real_registry_io = {
    DCF_REGISTRY_KEY,
    run_shell_command,
    process_runs_program,
};

registry_io tempus_registry_io = real_registry_io;

void registry_io_restore_defaults()
{
    tempus_registry_io = real_registry_io;
}
