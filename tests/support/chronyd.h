#ifndef TEMPUS_TESTS_SUPPORT_CHRONYD_H
#define TEMPUS_TESTS_SUPPORT_CHRONYD_H

// Debian's chronyd as the NTP daemon of end-to-end tests: run as nobody with
// -x (it never touches the clock), no NTP or command port, its command
// socket, pid file and logs in a scratch folder, only the reference clocks
// the test names. Its refclocks.log rows are what the tests compare.

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

#include "tests/support/proc.h"

namespace chrony_test {

struct Chronyd {
    pid_t pid = -1;
    std::string dir = tproc::make_scratch_dir(); // configuration, logs, sockets
    int shm_unit = -1;                           // segment removed at the stop; -1 none
    std::string output;                          // chronyd's stderr, read at the stop
    Chronyd() = default;
    Chronyd(const Chronyd &) = delete;
    Chronyd &operator=(const Chronyd &) = delete;
    ~Chronyd(); // stops a running chronyd and removes the folder
};

enum { CHRONYD_UP, CHRONYD_FAILED, CHRONYD_REFUSED };

// Writes the configuration with these "refclock ..." lines, starts chronyd and
// waits at most 5 s for the socket `ready_path` and/or the SHM segment of
// `ready_unit` (empty / -1: not waited for). CHRONYD_REFUSED when chronyd is
// not installed or AppArmor's profile refuses the private configuration;
// `why` says what happened.
int chronyd_start(Chronyd *c, const std::vector<std::string> &refclocks, const std::string &ready_path,
                  int ready_unit, std::string *why);

// A sample row of refclocks.log. Its columns: date and time (UTC), refid, DP
// (the sample's place in the filter; "-" on the filter's output rows, which
// are left out), leap, pulse, raw offset, cooked offset, dispersion.
struct RefclockSample {
    double at; // Unix seconds; once chronyd has selected the source, its own corrected time
    std::string refid;
    double raw_offset; // seconds, as the driver delivered it
};

std::vector<RefclockSample> chronyd_samples(const Chronyd &c);

// True once refclocks.log holds `count` sample rows; false after `timeout_ms`.
bool chronyd_wait_samples(const Chronyd &c, std::size_t count, int timeout_ms);

// SIGTERM, SIGKILL after 3 s; removes the SHM segment of `shm_unit`.
void chronyd_stop(Chronyd *c);

// A unit 2..255 without a segment now; the search starts at a pid-given unit
// so that tests running side by side rarely meet.
int free_shm_unit();

} // namespace chrony_test

#endif
