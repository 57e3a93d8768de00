#ifndef TEMPUS_SERVICE_DCF_SEM_H
#define TEMPUS_SERVICE_DCF_SEM_H

// Opens the existing one-semaphore set with this key; identifier or -1.
int sem_open(int key);

// Creates the one-semaphore set with this key exclusively (0600); identifier,
// or -1 (errno EEXIST when the set already exists).
int sem_create(int key);

// Registers this installation; returns the identifier of the new set, or ends
// the process with EXIT_REGISTRY when already installed, the key is held by
// another user's set (left untouched), or creation fails.
int sem_install(void);

// Sets semaphore 0 to value, which records the caller's pid; 0 or -1.
int sem_leave_pid(int id, int value);

// Pid recorded by the last operation on semaphore 0 (0 if none); -1 on failure.
int sem_last_pid(int id);

// Removes the set; 0 or -1.
int sem_remove(int id);

// Stops the recorded background process (only while it is still a tempusd),
// removes the set, reports and ends with EXIT_REGISTRY; another user's set is
// reported and left untouched, its pid unused. failed = 0 for a removal asked
// for with /D, non-zero when undoing a failed installation. Returns only when
// the recorded pid cannot be read.
void sem_deinstall(int failed);

#endif
