#ifndef TEMPUS_TESTS_CYCLE_FAKE_H
#define TEMPUS_TESTS_CYCLE_FAKE_H

// A stand-in receiver line and a recording system clock for the
// synchronisation cycle, installed through its side-effect table. The line
// plays a script of read results; every read costs the fake monotonic clock
// the time the script says, and the service clock follows that clock, so
// 20-second time-outs cost no wall time. Request bytes reach a socket pair
// through the real request routine and are read back from its other end.

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "calendar/rwtime.h"
#include "calendar/zone.h"
#include "link/rd_wr_rp.h"
#include "timesvc/sync_io.h"
#include "timesvc/tm_srvce.h"

namespace cycle_fake {

constexpr long long READ_TIMEOUT_MS = 20000;
constexpr long long BYTE_MS = 1;

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

struct state {
    std::vector<read_step> script;
    size_t next_step = 0;
    long long now_ms = 0;
    RWTime base{0u}; // service clock at fake time 0
    int reads = 0;
    std::vector<int> flushes;
    std::vector<clock_call> slews;
    std::vector<time_t> steps;
    int clock_result = 0;
    std::vector<unsigned> pauses;
    std::vector<int> request_bytes_at_pause;
    int refreshes = 0;
    int peer_fd = -1; // far end of the line's socket pair
};

inline state &fake()
{
    static state the_state;
    return the_state;
}

inline int fake_read(int, unsigned char *byte)
{
    state &s = fake();
    ++s.reads;
    if (s.next_step >= s.script.size()) {
        s.now_ms += READ_TIMEOUT_MS; // a silent receiver
        return SERIAL_TIMEOUT;
    }
    const read_step step = s.script[s.next_step++];
    s.now_ms += step.elapsed_ms;
    if (step.result == SERIAL_OK || step.result == SERIAL_PARITY_ERROR)
        *byte = step.byte;
    return step.result;
}

inline int fake_flush(int, int selector)
{
    fake().flushes.push_back(selector);
    return 0;
}

inline int fake_slew(const struct timeval *delta, struct timeval *old_delta)
{
    fake().slews.push_back({delta->tv_sec, delta->tv_usec, old_delta != nullptr});
    return fake().clock_result;
}

inline int fake_step(const time_t *when)
{
    fake().steps.push_back(*when);
    return fake().clock_result;
}

inline int pending_bytes(int fd)
{
    int count = 0;
    if (fd < 0 || ioctl(fd, FIONREAD, &count) != 0)
        return -1;
    return count;
}

inline unsigned fake_pause(unsigned seconds)
{
    state &s = fake();
    s.pauses.push_back(seconds);
    s.request_bytes_at_pause.push_back(pending_bytes(s.peer_fd));
    s.now_ms += static_cast<long long>(seconds) * 1000;
    return 0;
}

inline long long fake_monotonic()
{
    return fake().now_ms;
}

inline RWTime fake_service_clock()
{
    RWTime t = fake().base;
    t += static_cast<long>(fake().now_ms / 1000);
    return t;
}

inline void fake_refresh()
{
    ++fake().refreshes;
}

// Today at h:m:s in the library's local zone, as the cycle builds telegram times.
inline RWTime today_at(unsigned h, unsigned m, unsigned s)
{
    return RWTime(h, m, s, RWZone::local());
}

inline std::vector<unsigned char> telegram(unsigned h, unsigned m, unsigned s, unsigned char status = 0xC5)
{
    std::vector<unsigned char> t = {0xBB,
                                    static_cast<unsigned char>(h),
                                    static_cast<unsigned char>(m),
                                    static_cast<unsigned char>(s),
                                    26,
                                    12,
                                    7,
                                    1,
                                    0,
                                    status};
    unsigned sum = 0;
    for (int i = 1; i <= 7; ++i)
        sum += t[static_cast<size_t>(i)];
    t[8] = static_cast<unsigned char>(sum % 128);
    return t;
}

inline void feed_bytes(const std::vector<unsigned char> &bytes, long long first_ms = BYTE_MS)
{
    bool first = true;
    for (unsigned char b : bytes) {
        fake().script.push_back({SERIAL_OK, b, first ? first_ms : BYTE_MS});
        first = false;
    }
}

inline void feed_result(int result, long long elapsed_ms)
{
    fake().script.push_back({result, 0, elapsed_ms});
}

// Fixture: fakes installed, a scratch working directory for dcf.log, a socket
// pair standing for the line, DST_correction saved.
class CycleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake() = state{};
        fake().base = today_at(12, 0, 0);
        tempus_sync_io.read_char = fake_read;
        tempus_sync_io.flush_port = fake_flush;
        tempus_sync_io.slew_clock = fake_slew;
        tempus_sync_io.step_clock = fake_step;
        tempus_sync_io.pause_seconds = fake_pause;
        tempus_sync_io.monotonic_ms = fake_monotonic;
        tempus_sync_io.service_clock = fake_service_clock;
        tempus_sync_io.refresh_correction = fake_refresh;
        tempus_sync_io.open_port = nullptr; // a test that opens installs its own
        tempus_sync_io.configure_line = nullptr;
        tempus_sync_io.deinstall = nullptr;
        saved_correction = DST_correction;
        DST_correction = 0;

        char pattern[] = "/tmp/cycle_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        scratch = pattern;
        ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
        ASSERT_EQ(chdir(scratch.c_str()), 0);

        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        line = pair[0];
        fake().peer_fd = pair[1];
        fcntl(pair[1], F_SETFL, O_NONBLOCK);
    }

    void TearDown() override
    {
        sync_io_restore_defaults();
        DST_correction = saved_correction;
        close(line);
        close(fake().peer_fd);
        if (chdir(old_cwd) != 0)
            ADD_FAILURE() << "cannot return to " << old_cwd;
        std::string log = scratch + "/dcf.log";
        unlink(log.c_str());
        std::string console = scratch + "/console.txt";
        unlink(console.c_str());
        rmdir(scratch.c_str());
    }

    // The messages of dcf.log, without their stamps.
    std::vector<std::string> logged() const { return log_field(false); }
    // The hh:mm:ss of each log line's stamp.
    std::vector<std::string> log_times() const { return log_field(true); }

    // Every request byte the cycle has written to the line so far.
    std::vector<unsigned char> requests() const
    {
        std::vector<unsigned char> bytes;
        unsigned char chunk[256];
        ssize_t n;
        while ((n = read(fake().peer_fd, chunk, sizeof chunk)) > 0)
            bytes.insert(bytes.end(), chunk, chunk + n);
        return bytes;
    }

    int line = -1;
    std::string scratch;

private:
    std::vector<std::string> log_field(bool stamp_time) const
    {
        std::vector<std::string> fields;
        std::ifstream in(scratch + "/dcf.log");
        std::string text;
        while (std::getline(in, text)) {
            const size_t mark = text.find("]:- ");
            if (text.size() < 21 || text[0] != '[' || mark == std::string::npos)
                continue;
            fields.push_back(stamp_time ? text.substr(12, 8) : text.substr(mark + 4));
        }
        return fields;
    }

    int saved_correction = 0;
    char old_cwd[4096] = {};
};

// The table of real functions, leaving the installed one as it is.
inline sync_io real_sync_table()
{
    const sync_io installed = tempus_sync_io;
    sync_io_restore_defaults();
    const sync_io real = tempus_sync_io;
    tempus_sync_io = installed;
    return real;
}

inline std::string stamp_text(RWTime t)
{
    struct tm fields = {};
    t.extract(&fields, RWZone::local());
    char text[16];
    snprintf(text, sizeof text, "%02d:%02d:%02d", fields.tm_hour, fields.tm_min, fields.tm_sec);
    return text;
}

struct child_outcome {
    int exit_code = -1;
    std::string console;
};

// Runs body in a forked child (it is expected to end the process) with its
// standard error collected in the working directory.
inline child_outcome run_in_child(const std::function<void()> &body)
{
    child_outcome outcome;
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(20);
        const int err = open("console.txt", O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(err, 2);
        close(err);
        body();
        _exit(99);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return outcome;
    if (WIFEXITED(status))
        outcome.exit_code = WEXITSTATUS(status);
    std::ifstream in("console.txt");
    std::stringstream text;
    text << in.rdbuf();
    outcome.console = text.str();
    return outcome;
}

} // namespace cycle_fake

#endif
