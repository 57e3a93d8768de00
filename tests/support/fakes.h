#ifndef TEMPUS_TESTS_SUPPORT_FAKES_H
#define TEMPUS_TESTS_SUPPORT_FAKES_H

// The one place where the programs' side-effect tables are replaced: a fake
// receiver line, clocks and log for the synchronisation cycle, and a recording
// terminal for the serial line unit. Each fake takes its table over when it is
// made and puts the real one back when it goes, so a test or one case of a
// case table makes a fresh one.

#include <termios.h>

#include <cerrno>

#include <ctime>
#include <string>
#include <vector>

#include "calendar/rwtime.h"
#include "timesvc/sync_io.h"

namespace fakes {

constexpr long long READ_TIMEOUT_MS = 20000;
constexpr long long BYTE_MS = 1;
constexpr int LINE_FD = 42; // what the fake open hands out; no real descriptor is used

struct read_step {
    int result;
    unsigned char byte;
    long long elapsed_ms;
};

struct clock_call {
    long seconds;
    long microseconds;
    bool old_delta_asked;
};

struct log_entry {
    std::string text;
    RWTime stamp;
};

// Today at wall-clock h:m:s in the system's zone, as Unix seconds.
time_t today_at(int h, int m, int s);

// The hh:mm:ss of an instant in the library's local zone, as a log stamp shows it.
std::string stamp_text(RWTime t);

// The hh:mm:ss of the system's wall clock at `when`.
std::string wall_text(time_t when);

// The telegram with its checksum worked out again, whatever its bytes 1 to 7 now hold.
std::vector<unsigned char> with_checksum(std::vector<unsigned char> t);

// A good ten-byte telegram (status 0xC5 unless given) with its checksum, of
// h:m:s on the local date of the fake system clock (of today without a FakeCycle).
std::vector<unsigned char> telegram(unsigned h, unsigned m, unsigned s, unsigned char status = 0xC5);

// The telegram of a receiver whose clock reads `when`: its wall-clock date
// and time in the system's zone.
std::vector<unsigned char> telegram_at(time_t when);

// The cycle's side-effect table with the real functions, whatever is installed.
sync_io real_sync_table();

// The synchronisation cycle's world: the line plays a script of read
// results, every read costs the fake monotonic clock the time the script
// says, and the system clock (and with it the service clock) follows that
// clock and the steps made, so 20-second time-outs cost no wall time. Clock calls, pauses,
// requests and log lines are recorded. DST_correction starts as the
// system's zone has it at system_start and is put back after.
class FakeCycle {
public:
    FakeCycle();
    ~FakeCycle();
    FakeCycle(const FakeCycle &) = delete;
    FakeCycle &operator=(const FakeCycle &) = delete;

    // The bytes arrive one by one, the first `first_ms` after the previous step.
    void feed_bytes(const std::vector<unsigned char> &bytes, long long first_ms = BYTE_MS);
    void feed_result(int result, long long elapsed_ms);

    std::vector<std::string> logged() const;    // the logged messages
    std::vector<std::string> log_times() const; // the hh:mm:ss of their stamps
    const std::vector<unsigned char> &requests() const { return request_bytes; }

    std::vector<read_step> script;
    size_t next_step = 0;
    long long now_ms = 0;
    time_t system_start; // system clock at fake time 0; today 12:00:00 unless changed
    int reads = 0;
    std::vector<int> flushes;
    std::vector<clock_call> slews;
    std::vector<time_t> steps;
    long long stepped_by = 0; // what the steps moved the system clock by
    int clock_result = 0;     // what the clock calls answer
    std::vector<unsigned> pauses;
    std::vector<int> request_bytes_at_pause;
    int refreshes = 0;
    std::vector<int> corrections; // DST_correction after each refresh in turn; then the system's
    std::vector<unsigned char> request_bytes;
    std::vector<log_entry> log;
    std::vector<ntp_sample> samples;  // handed to the NTP daemon
    std::vector<int> deliver_results; // what the deliveries answer in turn; 0 after them
    long extra_ns = 0;                // added to the system clock's fraction of a second
    std::string opened_path;          // what the fake open was last asked for
    int opened_flags = 0;
    int opens = 0;
    std::vector<int> open_results; // what the opens answer in turn; LINE_FD after them
    int open_errno = ENOENT;       // errno of an open that fails
    int configures = 0;
    std::vector<int> configure_results; // what the line settings answer in turn; 0 after them
    std::vector<int> closed;            // descriptors closed
    std::vector<std::string> states;    // state files written, whole
    std::vector<std::string> notices;   // what the service manager was told

private:
    int saved_correction_;
};

// A terminal whose attributes are what a test says; every attribute write is
// recorded instead of reaching a device.
class FakeTerminal {
public:
    FakeTerminal();
    ~FakeTerminal();
    FakeTerminal(const FakeTerminal &) = delete;
    FakeTerminal &operator=(const FakeTerminal &) = delete;

    struct termios port = {};    // what the port reads as
    struct termios written = {}; // the last attributes written
    int written_when = -1;
    int set_calls = 0;
    int set_result = 0;
};

} // namespace fakes

#endif
