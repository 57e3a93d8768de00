#ifndef TEMPUS_TESTS_SUPPORT_CHRONYD_H
#define TEMPUS_TESTS_SUPPORT_CHRONYD_H

// Debian's chronyd as the NTP daemon of end-to-end tests. It runs as nobody,
// with -x (it never touches the clock) and a private configuration: no NTP
// or command port, its command socket, pid file and logs in a scratch
// folder, and only the reference clocks the test names. Its refclocks.log
// rows are what the tests compare.
//
//   chrony_test::Chronyd chronyd;
//   std::string why;
//   const int up = chrony_test::chronyd_start(&chronyd, {"refclock SOCK " + path + " refid DCF poll 0 filter
//   1"},
//                                             path, -1, &why);
//   if (up == chrony_test::CHRONYD_REFUSED) GTEST_SKIP() << why;
//   ASSERT_EQ(up, chrony_test::CHRONYD_UP) << why;
//   ... deliver samples ...
//   rows = chrony_test::chronyd_samples(chronyd);
//   chrony_test::chronyd_stop(&chronyd);   // also done by the destructor

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace chrony_test {

inline constexpr const char *kChronydPath = "/usr/sbin/chronyd";

struct Chronyd {
    pid_t pid = -1;
    std::string dir;    // scratch folder: configuration, pid file, logs, sockets
    int shm_unit = -1;  // segment removed at the stop; -1 none
    std::string output; // chronyd's stderr, kept after the stop
    Chronyd() = default;
    Chronyd(const Chronyd &) = delete;
    Chronyd &operator=(const Chronyd &) = delete;
    ~Chronyd(); // stops a running chronyd and removes the folder
};

enum { CHRONYD_UP, CHRONYD_FAILED, CHRONYD_REFUSED };

// A fresh scratch folder for a chronyd that chronyd_start will use; a test
// needs it first to name the SOCK path (inside it) in its refclock line.
void chronyd_prepare(Chronyd *c);

// Writes the configuration with `refclocks` (whole "refclock ..." lines) and
// starts chronyd, then waits at most 5 s until the socket `ready_path`
// exists and/or the SHM segment of `ready_unit` does (empty / -1: not
// waited for). CHRONYD_REFUSED when chronyd is missing or AppArmor's profile
// refuses the private configuration, CHRONYD_FAILED for any other failure;
// `why` says what happened.
int chronyd_start(Chronyd *c, const std::vector<std::string> &refclocks, const std::string &ready_path,
                  int ready_unit, std::string *why);

// One sample row of refclocks.log (the filter's output rows left out).
struct RefclockSample {
    double at;         // the sample's time, Unix seconds
    std::string refid; // e.g. "DCF"
    double raw_offset; // the offset as the driver delivered it, seconds
};

// Columns of refclocks.log: date and time (UTC) of the sample, refid, DP
// (the sample's index in the filter, "-" on the filter's output rows), leap
// status, pulse flag ("-" on output rows), raw offset, cooked offset and
// dispersion. Banner lines are skipped.
std::vector<RefclockSample> chronyd_samples(const Chronyd &c);

// Waits at most `timeout_ms` until refclocks.log holds `count` sample rows.
bool chronyd_wait_samples(const Chronyd &c, std::size_t count, int timeout_ms);

// SIGTERM, SIGKILL after 3 s; removes the SHM segment of `shm_unit`. The
// folder stays until the destructor (its logs may still be read).
void chronyd_stop(Chronyd *c);

// A unit 2..255 whose segment does not exist now (where the search starts
// depends on the pid).
int free_shm_unit();

} // namespace chrony_test

#endif
