// How close to its intended moment horolan-emu writes each telegram: the
// whole second the telegram carries plus --at-ms. The emulator's byte log
// stamps every write to the microsecond just before it is made; the second a
// telegram carries is read from its own fields (local time, as the emulator's).
// A host here opens the line, asks for a telegram every minute and reads.
// Beside the error: the emulator's CPU time and how often it went to sleep
// (voluntary context switches), so a wait that spins or wakes too often shows.
//
//   emu_pace_bench [--telegrams N] [--minute-ms N] [--at-ms N]   this build's emulator
//   emu_pace_bench --log FILE [--at-ms N]    the log of another run (another build)

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "tests/support/emu_process.h"
#include "tests/support/proc.h"

namespace {

struct Args {
    int telegrams = 12;
    long long minute_ms = 60000;
    long long at_ms = 0;
    const char *log = nullptr;
};

bool parse(int argc, char **argv, Args *a)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--telegrams") == 0)
            a->telegrams = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--minute-ms") == 0)
            a->minute_ms = std::atoll(argv[i + 1]);
        else if (std::strcmp(argv[i], "--at-ms") == 0)
            a->at_ms = std::atoll(argv[i + 1]);
        else if (std::strcmp(argv[i], "--log") == 0)
            a->log = argv[i + 1];
        else
            return false;
    }
    return argc % 2 == 1 && a->telegrams > 0 && a->minute_ms > 0;
}

// The second near `guess` whose local time the telegram carries; -1 if none.
long long carried_second(const std::vector<unsigned char> &t, long long guess)
{
    for (long long s = guess - 1; s <= guess + 1; ++s) {
        const time_t at = static_cast<time_t>(s);
        struct tm local = {};
        localtime_r(&at, &local);
        if (t[1] == local.tm_hour && t[2] == local.tm_min && t[3] == local.tm_sec)
            return s;
    }
    return -1;
}

// Field `index` (1-based) of /proc/PID/stat, after the command name.
long long stat_field(const std::string &stat, int index)
{
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    const char *p = stat.c_str() + close + 2;
    for (int field = 3; field < index && *p != '\0'; ++field)
        p = std::strchr(p, ' ') != nullptr ? std::strchr(p, ' ') + 1 : "";
    return std::atoll(p);
}

long long status_value(const std::string &status, const char *name)
{
    const size_t at = status.find(name);
    return at == std::string::npos ? -1 : std::atoll(status.c_str() + at + std::strlen(name));
}

// Runs the emulator until `a.telegrams` telegrams went out; prints its
// CPU time and sleeps. False when it did not get that far.
bool run_emulator(const Args &a, horolan_test::EmuProcess *emu)
{
    const std::string minute = std::to_string(a.minute_ms);
    const std::string at = std::to_string(a.at_ms);
    if (!horolan_test::emu_start({"--minute-ms", minute, "--at-ms", at}, emu))
        return false;
    const int fd = open(emu->slave_path.c_str(), O_RDWR | O_NOCTTY);
    const unsigned char every_minute[] = {0x78, 0x41};
    if (fd < 0 || write(fd, every_minute, 2) != 2)
        return false;
    // Reading the line wakes this program just after each write, not while
    // the emulator is about to make one.
    long long bytes = 0;
    const long long wanted = static_cast<long long>(a.telegrams) * 10;
    struct pollfd line = {fd, POLLIN, 0};
    while (bytes < wanted &&
           poll(&line, 1, static_cast<int>(std::min(2 * a.minute_ms + 5000, 3600000LL))) == 1) {
        unsigned char buf[256];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0)
            break;
        bytes += n;
    }
    const bool done = horolan_test::emu_wait_telegrams(*emu, static_cast<size_t>(a.telegrams), 1000);
    const std::string proc = "/proc/" + std::to_string(emu->pid);
    const std::string stat = tproc::read_file(proc + "/stat");
    const long long ticks = stat_field(stat, 14) + stat_field(stat, 15); // user and system time
    const long long sleeps = status_value(tproc::read_file(proc + "/status"), "voluntary_ctxt_switches:");
    horolan_test::emu_stop(emu, true);
    close(fd);
    std::printf("emulator CPU %lld ms, %lld sleeps (%.1f a telegram)\n", ticks * 1000 / sysconf(_SC_CLK_TCK),
                sleeps, static_cast<double>(sleeps) / a.telegrams);
    return done;
}

} // namespace

int main(int argc, char **argv)
{
    Args a;
    if (!parse(argc, argv, &a)) {
        std::fprintf(stderr, "usage: emu_pace_bench [--telegrams N] [--minute-ms N] [--at-ms N] | "
                             "--log FILE [--at-ms N]\n");
        return 1;
    }
    horolan_test::EmuProcess emu;
    if (a.log != nullptr) {
        emu.log_path = a.log;
    } else if (!run_emulator(a, &emu)) {
        std::fprintf(stderr, "the emulator did not send %d telegrams\n%s", a.telegrams,
                     horolan_test::emu_log_text(emu).c_str());
        return 1;
    }
    std::vector<double> errors_ms;
    for (const horolan_test::EmuSent &w : horolan_test::emu_telegrams(emu)) {
        const long long intended =
            w.bytes.size() >= 4 ? carried_second(w.bytes, (w.at_us / 1000 - a.at_ms) / 1000) : -1;
        if (intended >= 0)
            errors_ms.push_back(static_cast<double>(w.at_us - intended * 1000000 - a.at_ms * 1000) / 1e3);
    }
    if (a.log == nullptr)
        horolan_test::emu_stop(&emu);
    else
        emu.log_path.clear(); // not ours to remove
    if (errors_ms.empty())
        return 1;
    std::sort(errors_ms.begin(), errors_ms.end());
    const size_t n = errors_ms.size();
    const double worst = std::max(-errors_ms.front(), errors_ms.back());
    std::printf("telegrams %zu  send error median %+.3f ms  p90 %+.3f ms  least %+.3f ms  most %+.3f ms\n", n,
                errors_ms[n / 2], errors_ms[n * 9 / 10], errors_ms.front(), errors_ms.back());
    return worst <= 1.0 ? 0 : 2;
}
