#ifndef TEMPUS_PLATFORM_MEMORY_LOCK_H
#define TEMPUS_PLATFORM_MEMORY_LOCK_H

// A process given a real-time scheduling policy (systemd's
// CPUSchedulingPolicy=, chrt) is woken at once; a page fault could still
// delay it. Such a process keeps its memory, about a megabyte, in RAM.

// Locks the process's memory, the pages it touches now and later, when it
// runs under a real-time policy (SCHED_FIFO or SCHED_RR). 1 when locked, 0
// when the policy is an ordinary one, -1 when locking was refused
// (RLIMIT_MEMLOCK below the mapped size and no CAP_IPC_LOCK): the process
// then runs on unlocked, as it would anyway.
int lock_memory_when_real_time();

#endif
