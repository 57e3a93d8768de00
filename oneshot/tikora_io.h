#ifndef TEMPUS_ONESHOT_TIKORA_IO_H
#define TEMPUS_ONESHOT_TIKORA_IO_H

// What the access layer waits for, in one table, so that a test can shorten
// the receiver's bound without waiting it out. ex_tikora never changes it.
struct tikora_io {
    int read_wait_ms; // how long one telegram read waits for its ten bytes
};

extern tikora_io tempus_tikora_io;

// Puts the program's own values back into tempus_tikora_io.
void tikora_io_restore_defaults();

#endif
