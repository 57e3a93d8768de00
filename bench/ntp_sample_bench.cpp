// How far the samples tempusd /N hands to an NTP daemon are from the truth,
// beside what the whole-second mode would make of the same telegrams. The
// real tempusd runs under the test interposer against the emulator paced
// fast on a pseudo-terminal and sends its samples to a datagram socket held
// here, where chronyd's would be. The truth of each sample is the emulator's
// last telegram begun before byte 0 was placed: as it writes byte 0 the
// receiver's time is the telegram's second plus one character time (11 bits
// at 19200 baud, what a real line takes to deliver byte 0, which a
// pseudo-terminal delivers at once; the emulator paces the other bytes as
// the line would).
//
//   ntp_sample_bench [--load] [--fifo PRIORITY] [telegrams]
//
//   telegrams        samples to measure (default 250)
//   --load           one CPU hog per online core for the whole run: children
//                    busy-looping at the ordinary policy and nice 0, killed
//                    and reaped at the end, and killed by the kernel should
//                    the bench itself die
//   --fifo PRIORITY  tempusd and the emulator run SCHED_FIFO at PRIORITY
//                    (1..99), as the service unit runs tempusd: the bench
//                    takes the policy while it starts them, so they inherit
//                    it, and then returns to the ordinary one. Needs root
//                    (CAP_SYS_NICE); refused, the bench says so and exits 1.
//
// It prints the load and the policies it ran with (read back from tempusd and
// the emulator), the machine's load before the run, then the errors. Exit
// status 0 when the median error is at most 0.2 ms, the worst at most 2 ms and
// no clock call was made; 2 otherwise; 1 when the run could not be set up or
// was interrupted (SIGINT, SIGTERM: tempusd and the emulator are stopped all
// the same).

#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/emu_process.h"
#include "tests/support/proc.h"
#include "timesvc/ntp_sample.h"
#include "timesvc/ntp_sock.h"

namespace {

// Telegram minus the local time of day of `seconds`, folded into half a day.
long long telegram_difference(const unsigned char *telegram, time_t seconds)
{
    struct tm local = {};
    localtime_r(&seconds, &local);
    long long d = (telegram[1] - local.tm_hour) * 3600LL + (telegram[2] - local.tm_min) * 60LL +
                  (telegram[3] - local.tm_sec);
    if (d > 43200)
        d -= 86400;
    if (d < -43200)
        d += 86400;
    return d;
}

int bound_datagram_socket(const std::string &path)
{
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0)
        return -1;
    return fd;
}

struct Errors {
    std::vector<double> sample;       // |sample offset - truth|
    std::vector<double> whole_second; // |the step's difference - truth|
};

void print(const char *what, std::vector<double> errors)
{
    std::sort(errors.begin(), errors.end());
    const size_t n = errors.size();
    std::printf("%-14s telegrams %zu  |error| median %.3f ms  p90 %.3f ms  worst %.3f ms\n", what, n,
                errors[n / 2] * 1e3, errors[n * 9 / 10] * 1e3, errors[n - 1] * 1e3);
}

volatile sig_atomic_t interrupted = 0;

void on_interrupt(int /*signal*/)
{
    interrupted = 1;
}

struct Options {
    size_t telegrams = 250;
    bool load = false;
    int fifo = 0; // 0: the policy the bench was started with
};

// A whole decimal number in [low, high], or -1.
long number_in(const char *text, long low, long high)
{
    char *end = nullptr;
    const long n = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && n >= low && n <= high ? n : -1;
}

bool parse_options(int argc, char **argv, Options *o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--load") {
            o->load = true;
        } else if (arg == "--fifo" && i + 1 < argc) {
            o->fifo = static_cast<int>(number_in(argv[++i], 1, 99));
            if (o->fifo < 0)
                return false;
        } else {
            const long n = number_in(argv[i], 1, 1000000);
            if (n < 0)
                return false;
            o->telegrams = static_cast<size_t>(n);
        }
    }
    return true;
}

// Busy-loops until killed, at the ordinary policy and nice 0 whatever the
// bench was started with; dies with the bench (PR_SET_PDEATHSIG).
[[noreturn]] void hog(pid_t bench)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != bench)
        _exit(0);
    prctl(PR_SET_NAME, "bench-hog");
    close_range(0, ~0U, 0);
    struct sched_param ordinary = {};
    sched_setscheduler(0, SCHED_OTHER, &ordinary);
    setpriority(PRIO_PROCESS, 0, 0);
    volatile unsigned long spins = 0;
    for (;;)
        spins = spins + 1;
}

// The CPU hogs of --load; killed and reaped when this goes, on every way out of main.
class Hogs {
public:
    Hogs() = default;
    Hogs(const Hogs &) = delete;
    Hogs &operator=(const Hogs &) = delete;
    ~Hogs()
    {
        for (const pid_t pid : pids_)
            kill(pid, SIGKILL);
        for (const pid_t pid : pids_)
            waitpid(pid, nullptr, 0);
    }
    bool start(long count)
    {
        const pid_t bench = getpid();
        for (long i = 0; i < count; ++i) {
            const pid_t pid = fork();
            if (pid < 0)
                return false;
            if (pid == 0)
                hog(bench);
            pids_.push_back(pid);
        }
        return true;
    }
    size_t count() const { return pids_.size(); }

private:
    std::vector<pid_t> pids_;
};

bool set_own_policy(int policy, int priority)
{
    struct sched_param param = {};
    param.sched_priority = priority;
    return sched_setscheduler(0, policy, &param) == 0;
}

// The policy a process runs under, read back from the kernel.
std::string policy_of(pid_t pid)
{
    struct sched_param param = {};
    const int policy = pid > 0 ? sched_getscheduler(pid) & ~SCHED_RESET_ON_FORK : -1;
    if (policy < 0 || sched_getparam(pid, &param) != 0)
        return "unknown (not running)";
    if (policy == SCHED_FIFO)
        return "SCHED_FIFO " + std::to_string(param.sched_priority);
    if (policy == SCHED_OTHER)
        return "SCHED_OTHER nice " + std::to_string(getpriority(PRIO_PROCESS, static_cast<id_t>(pid)));
    return "policy " + std::to_string(policy);
}

// The background process, once it has recorded itself in the registry
// (the installing process may be gone before it has); -1 after 2 s.
pid_t background_pid(int key)
{
    for (int i = 0; i < 200; ++i) {
        const pid_t pid = tproc::registered_pid(key);
        if (pid > 0 && kill(pid, 0) == 0)
            return pid;
        usleep(10000);
    }
    return -1;
}

// Memory the process has locked, in kB ("?" when it cannot be read).
std::string locked_kb(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    std::string value;
    while (in >> key >> value)
        if (key == "VmLck:")
            return value;
    return "?";
}

// Busy and total CPU time of all CPUs so far, in ticks, from /proc/stat.
void cpu_ticks(unsigned long long *busy, unsigned long long *total)
{
    std::ifstream in("/proc/stat");
    std::string cpu;
    in >> cpu;
    *busy = 0;
    *total = 0;
    unsigned long long field = 0;
    for (int i = 0; i < 8 && in >> field; ++i) {
        *total += field;
        if (i != 3 && i != 4) // idle, iowait
            *busy += field;
    }
}

// What the machine's other work was doing just before the run: the load
// averages and the share of the CPUs left idle over one second.
std::string machine_before()
{
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    unsigned long long busy0 = 0, total0 = 0, busy1 = 0, total1 = 0;
    cpu_ticks(&busy0, &total0);
    sleep(1);
    cpu_ticks(&busy1, &total1);
    const unsigned long long total = total1 > total0 ? total1 - total0 : 1;
    const unsigned long long idle = 100 - (busy1 - busy0) * 100 / total;
    return "load average " + one + " " + five + " " + fifteen + ", CPUs " + std::to_string(idle) +
           "% idle over 1 s";
}

} // namespace

int main(int argc, char **argv)
{
    Options opt;
    if (!parse_options(argc, argv, &opt)) {
        std::fprintf(stderr, "usage: ntp_sample_bench [--load] [--fifo PRIORITY 1..99] [telegrams]\n");
        return 1;
    }
    const size_t wanted = opt.telegrams;
    // Interrupted, the bench still stops tempusd: left running as root, it
    // would reopen its dead line by name and take another program's terminal.
    struct sigaction stop = {};
    stop.sa_handler = on_interrupt;
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    const std::string before = machine_before(); // before the hogs start

    Hogs hogs;
    if (opt.load && !hogs.start(sysconf(_SC_NPROCESSORS_ONLN))) {
        std::fprintf(stderr, "cannot start the CPU hogs: %s\n", std::strerror(errno));
        return 1;
    }
    if (opt.fifo > 0 && !set_own_policy(SCHED_FIFO, opt.fifo)) {
        std::fprintf(stderr,
                     "cannot have SCHED_FIFO %d for tempusd and the emulator: %s (needs root or "
                     "CAP_SYS_NICE, and real-time time in the bench's cgroup)\n",
                     opt.fifo, std::strerror(errno));
        return 1;
    }
    const std::string dir = tproc::make_scratch_dir();
    const std::string sock_path = dir + "/dcf.sock";
    const int sock = bound_datagram_socket(sock_path);
    horolan_test::EmuProcess emu;
    // One "minute" of 40 ms: 25 telegrams a second, each 5 ms on the line, so
    // that the next cycle has flushed its input long before the next one
    // starts (a telegram cut by the flush costs a 20 s pause). The first one
    // goes out the emulator's default 100 ms after the request, once the
    // background process has started its first cycle.
    if (sock < 0 || !horolan_test::emu_start({"--no-align", "--minute-ms", "40"}, &emu)) {
        std::fprintf(stderr, "cannot start the emulator or bind %s\n", sock_path.c_str());
        tproc::remove_tree(dir);
        return 1;
    }
    const int key = tproc::unique_registry_key();
    tproc::Spawn sp;
    sp.argv = {TEMPUSD_PATH, "/T1", "/N" + sock_path};
    sp.cwd = dir;
    sp.with_shim = true;
    sp.env = {"TEMPUS_SHIM_SEM_KEY=" + std::to_string(key), "TEMPUS_SHIM_TERM_A=" + emu.slave_path,
              "TEMPUS_SHIM_CLOCK_LOG=" + dir + "/clock.log"};
    const tproc::Result installed = tproc::run(sp);
    // Only tempusd and the emulator keep the real-time policy; the bench
    // reads the samples tempusd has stamped, whenever it gets to them.
    if (opt.fifo > 0 && !set_own_policy(SCHED_OTHER, 0))
        std::fprintf(stderr, "the bench itself stays at SCHED_FIFO: %s\n", std::strerror(errno));
    if (installed.exit_code != 0) {
        std::fprintf(stderr, "tempusd did not start: %s\n", installed.err.c_str());
        tproc::kill_registered(key);
        tproc::remove_tree(dir);
        return 1;
    }
    const pid_t tempusd = background_pid(key);
    const std::string load = opt.load ? std::to_string(hogs.count()) +
                                            " CPU hogs (busy loops, SCHED_OTHER nice 0, one per online core)"
                                      : "none";
    std::printf("load: %s; before the run: %s\n", load.c_str(), before.c_str());
    std::printf("policy: tempusd %s (%s kB locked), emulator %s\n", policy_of(tempusd).c_str(),
                locked_kb(tempusd).c_str(), policy_of(emu.pid).c_str());
    std::fflush(stdout);

    std::vector<ntp_sock_sample> samples;
    while (samples.size() < wanted && interrupted == 0) {
        struct pollfd ready = {sock, POLLIN, 0};
        ntp_sock_sample s = {};
        if (poll(&ready, 1, 25000) != 1 || recv(sock, &s, sizeof s, 0) != static_cast<ssize_t>(sizeof s)) {
            if (interrupted == 0)
                std::fprintf(stderr, "no sample after %zu\n%s", samples.size(),
                             tproc::read_file(dir + "/dcf.log").c_str());
            break;
        }
        samples.push_back(s);
    }
    tproc::kill_registered(key);
    horolan_test::emu_stop(&emu, true);
    const std::vector<horolan_test::EmuSent> sent = horolan_test::emu_telegrams(emu);
    horolan_test::emu_stop(&emu);
    const bool clock_untouched = tproc::read_file(dir + "/clock.log").empty();
    close(sock);
    tproc::remove_tree(dir);
    if (interrupted != 0) {
        std::fprintf(stderr, "interrupted after %zu samples\n", samples.size());
        return 1;
    }

    Errors errors;
    for (const ntp_sock_sample &s : samples) {
        const long long arrival_us = s.tv.tv_sec * 1000000LL + s.tv.tv_usec;
        const horolan_test::EmuSent *write = nullptr;
        for (const horolan_test::EmuSent &w : sent)
            if (w.at_us <= arrival_us)
                write = &w;
        if (write == nullptr)
            continue;
        const double truth =
            static_cast<double>(
                telegram_difference(write->bytes.data(), static_cast<time_t>(write->at_us / 1000000))) +
            static_cast<double>(NTP_CHAR_TIME_NS) / 1e9 - static_cast<double>(write->at_us % 1000000) / 1e6;
        // What the step would use: whole seconds from the arrival's second.
        const double whole_second = std::round(s.offset + static_cast<double>(s.tv.tv_usec) / 1e6 -
                                               static_cast<double>(NTP_CHAR_TIME_NS) / 1e9);
        errors.sample.push_back(std::fabs(s.offset - truth));
        errors.whole_second.push_back(std::fabs(whole_second - truth));
    }
    if (errors.sample.empty())
        return 1;
    print("/N sample", errors.sample);
    print("whole second", errors.whole_second);
    std::printf("clock calls: %s\n", clock_untouched ? "none" : "SOME (must be none)");
    std::sort(errors.sample.begin(), errors.sample.end());
    const double median = errors.sample[errors.sample.size() / 2];
    return median <= 0.0002 && errors.sample.back() <= 0.002 && clock_untouched ? 0 : 2;
}
