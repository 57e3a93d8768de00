#ifndef TEMPUS_SERVICE_REGISTRY_IO_H
#define TEMPUS_SERVICE_REGISTRY_IO_H

#include <sys/types.h>

// The System V key 56142 of the registry set.
constexpr int DCF_REGISTRY_KEY = 56142;

// What the registry routines reach outside the process through, in one table,
// so that a test can use a key of its own. It starts out holding the real key and calls.
struct registry_io {
    int key;                                          // System V key of the registry set
    int (*run_command)(const char *command);          // system(3), for the kill command
    int (*runs_program)(pid_t pid, const char *name); // whether pid still runs that program
};

extern registry_io tempus_registry_io;

// Puts the real key and calls back into tempus_registry_io.
void registry_io_restore_defaults();

#endif
