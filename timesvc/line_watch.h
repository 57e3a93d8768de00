#ifndef TEMPUS_TIMESVC_LINE_WATCH_H
#define TEMPUS_TIMESVC_LINE_WATCH_H

// The receiver's line as the cycles see it: the descriptor, the device name
// it was opened by, and whether it has gone dead (hung up, adapter pulled).

// Read time-out of the line, in milliseconds.
constexpr long long LINE_TIMEOUT_MS = 20000;

// Makes fd, opened by the device name path, the line the cycles read; it has
// no dead reads behind it. The path must stay valid for the process's life.
void watch_line(int fd, const char *path);

// The descriptor the cycles read now (it changes when the line is opened again).
int watched_line();

// A read at at_ms that failed, or came back empty long before the line's
// time-out. True once such reads have lasted a whole read time-out.
bool note_dead_read(long long at_ms);

// A read that brought a byte or waited out the whole time-out: the line lives.
void note_live_read();

// Waits out the rest of the line's time-out after a read that began at
// started_ms, so that a dead line or a failing receiver costs no CPU and only
// a few log lines a minute.
void wait_out_read_timeout(long long started_ms);

// The line is dead: logs its loss, closes it, opens it again by its name
// every 20 s until it is back and can be configured, logs its return and asks
// the receiver for telegrams every `interval` minutes.
void reopen_line(int interval);

#endif
