#ifndef TEMPUS_TIMESVC_SYNC_IO_H
#define TEMPUS_TIMESVC_SYNC_IO_H

#include <sys/time.h>

#include <cstddef>
#include <ctime>

#include "calendar/rwtime.h"
#include "timesvc/ntp_sample.h"

// Every side effect of the synchronisation cycle goes through this table, so
// that a stand-in receiver line and a recording clock can replace the real
// ones. The table starts out holding the real functions, except `deinstall`,
// which lives in the service program above this layer: tempusd's main
// registers it.
struct sync_io {
    int (*open_port)(const char *path, int flags);  // open(2)
    int (*configure_line)(int fd);                  // line settings, exclusive use; 0, or -1 when unusable
    int (*close_port)(int fd);                      // close(2)
    int (*flush_port)(int fd, int selector);        // 0 input, 1 output
    int (*read_char)(int fd, unsigned char *byte);  // one byte or a SERIAL_* code
    void (*request_telegrams)(int fd, int minutes); // time_request_to_DCF
    int (*slew_clock)(const struct timeval *delta, struct timeval *old_delta); // adjtime
    int (*step_clock)(const time_t *when);                                     // stime
    unsigned (*pause_seconds)(unsigned seconds);                               // sleep
    long long (*monotonic_ms)();                              // for telling a dead line from a silent one
    RWTime (*service_clock)();                                // now_DST
    void (*realtime)(struct timespec *now);                   // CLOCK_REALTIME, to the nanosecond
    void (*refresh_correction)();                             // update_DST_correction
    void (*log)(const char *text, RWTime stamp);              // write_to_log
    int (*deliver_sample)(const ntp_sample *sample);          // to the NTP daemon of /N; 0 or -1
    int (*write_state)(const char *text, std::size_t length); // replace_state_file
    int (*notify)(const char *state);                         // notify_service_manager
    void (*deinstall)(int failed); // sem_deinstall, registered by tempusd's main; none by default
};

extern sync_io tempus_sync_io;

// The system clock in whole seconds, read through the table.
long long sync_io_seconds();

// Puts the real functions back into tempus_sync_io (and no deinstall).
void sync_io_restore_defaults();

#endif
