#ifndef TEMPUS_TIMESVC_SYNC_CYCLE_H
#define TEMPUS_TIMESVC_SYNC_CYCLE_H

// Opens and configures receiver port 1..4, stores the descriptor in *fd; with
// sflag set runs one cycle at once. Ends the process when the port is unusable.
void start_dcf(int *fd, int interval, int port, int sflag);

// start_dcf on the line named `device` (an absolute path) instead of a port's.
void start_dcf_on(int *fd, int interval, const char *device, int sflag);

// The device of receiver port 1..4 ("/dev/term/a" ...); "" for any other number.
const char *receiver_port_path(int port);

// One cycle: puts the line's settings back, reads one telegram from the
// receiver, corrects the system clock and asks the receiver for the next
// telegram in `interval` minutes when needed. A line dead for a whole read
// time-out is closed and opened again (then the port's descriptor changes).
void synchronize_time(int fd, int interval);

// The background loop: cycles for ever, on the line as last opened.
[[noreturn]] void perform_synchronization(int fd, int interval);

#endif
