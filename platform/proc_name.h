#ifndef TEMPUS_PLATFORM_PROC_NAME_H
#define TEMPUS_PLATFORM_PROC_NAME_H

#include <sys/types.h>

// 1 when process pid exists and runs a program called name (its command name
// or the file name of its executable), 0 otherwise. name must be at most 15
// characters, the length the kernel keeps of a command name.
int process_runs_program(pid_t pid, const char *name);

// 1 when process pid has ended (it is gone, or a zombie not yet reaped), 0
// while it still runs and may still write.
int process_has_ended(pid_t pid);

#endif
