#ifndef TEMPUS_TIMESVC_SYNC_CYCLE_H
#define TEMPUS_TIMESVC_SYNC_CYCLE_H

// Opens and configures receiver port 1..4, stores the descriptor in *fd; with
// sflag set runs one cycle at once. Ends the process when the port is unusable.
void start_dcf(int *fd, int interval, int port, int sflag);

// One cycle: puts the line's settings back, reads one telegram from the
// receiver, corrects the system clock and asks the receiver for the next
// telegram in `interval` minutes when needed. A line dead for a whole read
// time-out is closed and opened again (then the port's descriptor changes).
void synchronize_time(int fd, int interval);

// The background loop: cycles for ever, on the line as last opened.
[[noreturn]] void perform_synchronization(int fd, int interval);

#endif
