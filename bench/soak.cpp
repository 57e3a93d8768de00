// Soak run: the real tempusd /T1, under the test interposer and as nobody,
// against horolan-emu paced fast for a long while, with a random offset in
// every telegram and a fault now and then. Afterwards every recorded clock
// call is matched to the telegram it answers, and the service's log,
// descriptors and resident memory are looked at.
//
//   soak [--seconds N] [--fault-every N] [--seed N] [--keep]
//
// The emulator sends up to nine telegrams a second, each in the first 800 ms
// of the second it carries, so tempusd reads it within that second and every
// clock call is exact to the second: "adjtime S 0" for an offset S of 1..5 s
// either way, "clock_settime T+S 0" for a larger one sent in second T.

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/emu_process.h"
#include "tests/support/proc.h"

namespace {

struct Settings {
    long seconds = 1800;
    int fault_every = 1000;
    long long seed = 1;
    bool keep = false; // leave the scratch directory with every log for a look
};

bool parse_settings(int argc, char **argv, Settings *s)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--keep") {
            s->keep = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const long long v = std::strtoll(argv[++i], nullptr, 0);
        if (arg == "--seconds" && v >= 70)
            s->seconds = static_cast<long>(v);
        else if (arg == "--fault-every" && v >= 0)
            s->fault_every = static_cast<int>(v);
        else if (arg == "--seed")
            s->seed = v;
        else
            return false;
    }
    return true;
}

long long steady_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool alive(pid_t pid)
{
    return pid > 0 && kill(pid, 0) == 0;
}

struct Usage {
    long seconds = 0; // into the run
    int fds = -1;
    long rss_kb = -1;
};

Usage read_usage(pid_t pid, long seconds)
{
    Usage u;
    u.seconds = seconds;
    const std::string proc = "/proc/" + std::to_string(pid);
    if (DIR *d = opendir((proc + "/fd").c_str())) {
        u.fds = 0;
        while (const struct dirent *e = readdir(d))
            u.fds += e->d_name[0] == '.' ? 0 : 1;
        closedir(d);
    }
    for (const std::string &line : tproc::split_lines(tproc::read_file(proc + "/status")))
        if (line.rfind("VmRSS:", 0) == 0)
            u.rss_kb = std::strtol(line.c_str() + 6, nullptr, 10);
    return u;
}

// The least of a few quick readings: tempusd opens its log and the interposer
// its record file for a moment in every cycle.
Usage usage_of(pid_t pid, long seconds)
{
    Usage least = read_usage(pid, seconds);
    for (int i = 0; i < 4; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        const Usage u = read_usage(pid, seconds);
        if (u.fds >= 0 && (least.fds < 0 || u.fds < least.fds))
            least = u;
    }
    return least;
}

// Processes other than `ours` that have `device` open, as "pid (name, uid N)".
std::vector<std::string> holders(const std::string &device, const std::vector<pid_t> &ours)
{
    std::vector<std::string> found;
    DIR *proc = opendir("/proc");
    if (proc == nullptr || device.empty())
        return found;
    while (const struct dirent *e = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::strtol(e->d_name, nullptr, 10));
        if (pid <= 0 || std::find(ours.begin(), ours.end(), pid) != ours.end())
            continue;
        const std::string fd_dir = std::string("/proc/") + e->d_name + "/fd";
        DIR *fds = opendir(fd_dir.c_str());
        if (fds == nullptr)
            continue;
        bool holds = false;
        while (const struct dirent *f = readdir(fds)) {
            char target[256] = {};
            const std::string link = fd_dir + "/" + f->d_name;
            const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            holds = holds || (n > 0 && device == target);
        }
        closedir(fds);
        if (!holds)
            continue;
        std::string name = tproc::read_file(std::string("/proc/") + e->d_name + "/comm");
        if (!name.empty() && name.back() == '\n')
            name.pop_back();
        std::string uid = "?";
        for (const std::string &line :
             tproc::split_lines(tproc::read_file(std::string("/proc/") + e->d_name + "/status")))
            if (line.rfind("Uid:", 0) == 0)
                uid = std::to_string(std::strtol(line.c_str() + 4, nullptr, 10));
        std::string holder = std::to_string(pid);
        holder.append(" (").append(name).append(", uid ").append(uid).append(")");
        found.push_back(holder);
    }
    closedir(proc);
    return found;
}

// One write of the emulator, or a hang-up of its rotation (no bytes).
struct Sent {
    long long at_us = 0;
    long long offset = 0;
    std::string fault; // empty: none
    std::vector<unsigned char> bytes;
    bool checkable() const { return fault.empty() && bytes.size() == 10; }
};

std::vector<Sent> read_emulator_log(const std::string &text, long long base_offset)
{
    std::vector<Sent> sent;
    Sent next;
    next.offset = base_offset;
    for (const std::string &line : tproc::split_lines(text)) {
        const size_t space = line.find(' ');
        if (space == std::string::npos)
            continue;
        const std::string what = line.substr(space + 1);
        const long long at_us = std::llround(std::strtod(line.c_str(), nullptr) * 1e6);
        if (what.rfind("note offset ", 0) == 0) {
            next.offset = std::strtoll(what.c_str() + 12, nullptr, 10);
        } else if (what.rfind("note fault ", 0) == 0) {
            next.fault = what.substr(11);
            if (next.fault == "hangup") {
                next.at_us = at_us;
                sent.push_back(next);
                next = Sent{};
                next.offset = base_offset;
            }
        } else if (what.rfind("sent ", 0) == 0) {
            next.at_us = at_us;
            for (size_t at = 5; at + 1 < what.size(); at += 3)
                next.bytes.push_back(
                    static_cast<unsigned char>(std::strtoul(what.substr(at, 2).c_str(), nullptr, 16)));
            sent.push_back(next);
            next = Sent{};
            next.offset = base_offset;
        }
    }
    return sent;
}

// One line of dcf.log: "[dd/mm/yyyy hh:mm:ss]:- text".
struct LogLine {
    std::string minute; // "dd/mm/yyyy hh:mm"
    int time_of_day = -1;
    std::string text;
};

std::vector<LogLine> read_service_log(const std::string &text)
{
    std::vector<LogLine> lines;
    for (const std::string &line : tproc::split_lines(text)) {
        LogLine l;
        int d = 0, mo = 0, y = 0, h = 0, mi = 0, s = 0;
        if (std::sscanf(line.c_str(), "[%d/%d/%d %d:%d:%d]", &d, &mo, &y, &h, &mi, &s) == 6) {
            l.minute = line.substr(1, 16);
            l.time_of_day = h * 3600 + mi * 60 + s;
        }
        const size_t body = line.find("]:- ");
        l.text = body == std::string::npos ? line : line.substr(body + 4);
        lines.push_back(l);
    }
    return lines;
}

constexpr char kSynchronized[] = "Nastapila synchronizacja zegara systemowego. Przesuniecie o ";

constexpr char kLineLost[] = "Utracono polaczenie z zegarem Horolan.";
constexpr char kLineBack[] = "Przywrocono polaczenie z zegarem Horolan.";

bool is_synchronized(const LogLine &l)
{
    return l.text.rfind(kSynchronized, 0) == 0;
}

// The call tempusd must make for a telegram sent in second `second` with
// offset `offset`; empty when none.
std::string expected_call(long long second, long long offset)
{
    if (offset == 0)
        return "";
    if (offset >= -5 && offset <= 5)
        return "adjtime " + std::to_string(offset) + " 0";
    return "clock_settime " + std::to_string(second + offset) + " 0";
}

int local_time_of_day(long long second)
{
    const time_t t = static_cast<time_t>(second);
    struct tm tm = {};
    localtime_r(&t, &tm);
    return tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
}

struct Matching {
    int calls = 0;
    int matched = 0;
    int mismatched = 0;
    int slewed = 0;
    int stepped = 0;
    int across_midnight = 0;
    int missed_after_fault = 0; // valid telegrams with an offset and no call, after a fault
    int missed_elsewhere = 0;
    int missed_at_end = 0;
    int zero_offset_read = 0; // zero-offset telegrams between two answered ones, no fault between
    std::vector<std::string> examples;
};

// Pairs the n-th call with the n-th synchronisation line, and both with the
// first telegram not yet answered that asks for exactly that call, carries the
// line's offset, and was sent in the second the line is stamped with (up to
// whole hours: the stamp is the service clock, which may be corrected by an hour).
Matching match_calls(const std::vector<std::string> &calls, const std::vector<LogLine> &synced,
                     const std::vector<Sent> &sent)
{
    Matching m;
    m.calls = static_cast<int>(calls.size());
    size_t next = 0;
    for (size_t i = 0; i < calls.size(); ++i) {
        const long long logged =
            i < synced.size() ? std::strtoll(synced[i].text.c_str() + sizeof kSynchronized - 1, nullptr, 10)
                              : 0;
        size_t k = next;
        for (; k < sent.size(); ++k) {
            const Sent &s = sent[k];
            const long long second = s.at_us / 1000000;
            if (!s.checkable() || expected_call(second, s.offset) != calls[i] || i >= synced.size() ||
                s.offset != logged ||
                ((synced[i].time_of_day - local_time_of_day(second)) % 3600 + 3600) % 3600 != 0)
                continue;
            break;
        }
        if (k == sent.size()) {
            ++m.mismatched;
            if (m.examples.size() < 5)
                m.examples.push_back("call " + std::to_string(i) + " \"" + calls[i] +
                                     "\" matches no telegram");
            continue;
        }
        ++m.matched;
        const long long offset = sent[k].offset;
        if (offset >= -5 && offset <= 5)
            ++m.slewed;
        else
            ++m.stepped;
        const long long second = sent[k].at_us / 1000000;
        const long long shifted = local_time_of_day(second) + offset;
        if (shifted < 0 || shifted >= 86400)
            ++m.across_midnight;
        bool fault_between = false;
        for (size_t j = next; j < k; ++j) {
            if (!sent[j].fault.empty())
                fault_between = true;
            if (!sent[j].checkable())
                continue;
            if (sent[j].offset == 0)
                m.zero_offset_read += fault_between ? 0 : 1;
            else if (fault_between)
                ++m.missed_after_fault;
            else
                ++m.missed_elsewhere;
        }
        next = k + 1;
    }
    for (size_t j = next; j < sent.size(); ++j)
        m.missed_at_end += sent[j].checkable() && sent[j].offset != 0 ? 1 : 0;
    return m;
}

// The reopen every 20 s must find the line that came back after 3 s.
constexpr int kLongestOutage = 25;

} // namespace

int main(int argc, char **argv)
{
    Settings set;
    if (!parse_settings(argc, argv, &set)) {
        std::fprintf(stderr, "usage: soak [--seconds N (>= 70)] [--fault-every N] [--seed N] [--keep]\n");
        return 1;
    }
    const std::string dir = tproc::make_scratch_dir();
    const std::string link = dir + "/term-a";
    const std::vector<std::string> emu_options = {"--window-ms",     "800",
                                                  "--minute-ms",     std::to_string(100),
                                                  "--random-offset", "43000",
                                                  "--seed",          std::to_string(set.seed),
                                                  "--fault-every",   std::to_string(set.fault_every),
                                                  "--down-ms",       "3000",
                                                  "--link",          link};
    horolan_test::EmuProcess emu;
    if (!horolan_test::emu_start(emu_options, &emu)) {
        std::fprintf(stderr, "cannot start the emulator\n");
        return 1;
    }
    const int key = tproc::unique_registry_key();
    tproc::Spawn sp;
    sp.argv = {TEMPUSD_PATH, "/T1"};
    sp.cwd = dir;
    sp.as_nobody = true;
    sp.with_shim = true;
    sp.env = {"TEMPUS_SHIM_SEM_KEY=" + std::to_string(key), "TEMPUS_SHIM_TERM_A=" + link,
              "TEMPUS_SHIM_CLOCK_LOG=" + dir + "/clock.log"};
    const tproc::Result installed = tproc::run(sp);
    pid_t pid = -1;
    for (int i = 0; i < 250 && pid <= 0; ++i) {
        pid = tproc::registered_pid(key);
        if (pid <= 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (installed.exit_code != 0 || pid <= 0) {
        std::fprintf(stderr, "tempusd did not start (%d): %s\n", installed.exit_code, installed.err.c_str());
        tproc::kill_registered(key);
        return 1;
    }
    std::printf("soak: %ld s, tempusd /T1 pid %d as nobody, emulator", set.seconds, static_cast<int>(pid));
    for (const std::string &o : emu_options)
        std::printf(" %s", o.c_str());
    std::printf("\n");
    std::fflush(stdout);

    // Usage is read once a minute, at a moment the line is up (a clock call
    // came within the last second), so a fault in progress does not count.
    const long long began = steady_ms();
    std::vector<Usage> usage;
    size_t clock_bytes = 0;
    bool died = false;
    long next_sample = 60;
    long last_call = 0;
    long last_look = 0;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const long elapsed = static_cast<long>((steady_ms() - began) / 1000);
        if (!alive(pid)) {
            died = true;
            break;
        }
        const size_t now_bytes = tproc::read_file(dir + "/clock.log").size();
        const bool cycling = now_bytes > clock_bytes;
        clock_bytes = now_bytes;
        last_call = cycling ? elapsed : last_call;
        // No clock call for a minute and a half: who else has the line open?
        if (elapsed - last_call > 90 && elapsed - last_look >= 60) {
            last_look = elapsed;
            char device[256] = {};
            (void)readlink(link.c_str(), device, sizeof device - 1);
            std::string seen;
            for (const std::string &h : holders(device, {pid, emu.pid}))
                seen += " " + h;
            std::printf("%ld s: no clock call for %ld s; %s is also open in:%s\n", elapsed,
                        elapsed - last_call, device, seen.empty() ? " no other process" : seen.c_str());
            std::fflush(stdout);
        }
        if (elapsed >= next_sample && cycling) {
            usage.push_back(usage_of(pid, elapsed));
            next_sample = (elapsed / 60 + 1) * 60;
            if (elapsed >= set.seconds)
                break;
        }
        if (elapsed >= set.seconds + 120) // no working moment in two minutes: give up waiting
            break;
    }
    const long ran = static_cast<long>((steady_ms() - began) / 1000);

    // /D takes the state file away with the service; a kept run keeps the
    // state as it was before, for tempusd-report -s.
    if (set.keep)
        tproc::write_file(dir + "/before-stop.prom", tproc::read_file(dir + "/tempusd.prom"));
    tproc::Spawn stop = sp;
    stop.argv = {TEMPUSD_PATH, "/D"};
    const tproc::Result removed = tproc::run(stop);
    bool stopped = false;
    for (int i = 0; i < 250 && !stopped; ++i) {
        stopped = !alive(pid);
        if (!stopped)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!stopped)
        tproc::kill_registered(key);
    tproc::remove_registry(key);
    const int emu_status = horolan_test::emu_stop(&emu, true);
    const std::string emu_log = horolan_test::emu_log_text(emu);
    horolan_test::emu_stop(&emu);
    if (set.keep)
        tproc::write_file(dir + "/emulator.log", emu_log);
    const std::vector<Sent> sent = read_emulator_log(emu_log, 0);

    const std::vector<std::string> calls = tproc::split_lines(tproc::read_file(dir + "/clock.log"));
    const std::vector<LogLine> log = read_service_log(tproc::read_file(dir + "/dcf.log"));
    std::vector<LogLine> synced;
    std::map<std::string, int> messages;
    std::map<std::string, int> per_minute;
    std::map<std::string, int> other_per_minute;
    for (const LogLine &l : log) {
        ++per_minute[l.minute];
        if (is_synchronized(l)) {
            synced.push_back(l);
            ++messages[std::string(kSynchronized) + "N s."];
        } else {
            ++messages[l.text.empty() ? "(empty line: tempusd /D leaves two)" : l.text];
            ++other_per_minute[l.minute];
        }
    }
    const Matching m = match_calls(calls, synced, sent);

    // How long each lost line took to come back. The emulator's new line is
    // there --down-ms after the hang-up, so the first reopen, one read
    // time-out after the line was given up, must find it.
    std::vector<int> outages;
    int lost_at = -1;
    for (const LogLine &l : log) {
        if (l.text == kLineLost)
            lost_at = l.time_of_day;
        if (l.text == kLineBack && lost_at >= 0) {
            outages.push_back(((l.time_of_day - lost_at) % 86400 + 86400) % 86400);
            lost_at = -1;
        }
    }
    const int longest_outage = outages.empty() ? 0 : *std::max_element(outages.begin(), outages.end());

    std::map<std::string, int> faults;
    int checkable = 0;
    int with_offset = 0;
    for (const Sent &s : sent) {
        if (!s.fault.empty())
            ++faults[s.fault];
        checkable += s.checkable() ? 1 : 0;
        with_offset += s.checkable() && s.offset != 0 ? 1 : 0;
    }
    int worst = 0;
    int worst_other = 0;
    for (const auto &[minute, n] : per_minute)
        worst = std::max(worst, n);
    for (const auto &[minute, n] : other_per_minute)
        worst_other = std::max(worst_other, n);

    std::printf("ran %ld s (%.1f min); tempusd stopped by /D: %s (exit %d)%s\n", ran,
                static_cast<double>(ran) / 60.0, stopped ? "yes" : "NO", removed.exit_code,
                died ? "; TEMPUSD DIED DURING THE RUN" : "");
    std::printf("emulator exit status %d; writes %zu: telegrams without fault %d (offset != 0: %d)",
                emu_status, sent.size(), checkable, with_offset);
    for (const auto &[name, n] : faults)
        std::printf(", %s %d", name.c_str(), n);
    std::printf(
        "\ncycles that read a telegram: about %d (%d clock calls + %d zero-offset telegrams between them)\n",
        m.matched + m.zero_offset_read, m.matched, m.zero_offset_read);
    std::printf(
        "clock calls %d: matched %d (adjtime %d, clock_settime %d, across midnight %d), MISMATCHED %d\n",
        m.calls, m.matched, m.slewed, m.stepped, m.across_midnight, m.mismatched);
    std::printf("synchronisation log lines %zu (must equal the calls)\n", synced.size());
    std::printf("telegrams with an offset but no call: %d after a fault, %d elsewhere, %d at the end\n",
                m.missed_after_fault, m.missed_elsewhere, m.missed_at_end);
    for (const std::string &e : m.examples)
        std::printf("  %s\n", e.c_str());
    std::printf(
        "log lines %zu: %.1f a minute, worst minute %d; other than synchronisation: worst minute %d\n",
        log.size(), ran > 0 ? static_cast<double>(log.size()) * 60.0 / static_cast<double>(ran) : 0.0, worst,
        worst_other);
    for (const auto &[text, n] : messages)
        std::printf("  %6d  %s\n", n, text.c_str());
    std::printf("line lost and back after (s):");
    for (int o : outages)
        std::printf(" %d", o);
    std::printf("%s\n", lost_at >= 0 ? " and once NOT BACK at the end" : "");
    std::printf("usage (s into the run: descriptors, VmRSS kB):");
    for (const Usage &u : usage)
        std::printf(" %ld:%d,%ld", u.seconds, u.fds, u.rss_kb);
    std::printf("\n");
    const bool have_usage = usage.size() >= 2;
    const Usage first = have_usage ? usage.front() : Usage{};
    const Usage last = have_usage ? usage.back() : Usage{};
    std::printf("descriptors start %d end %d; VmRSS start %ld kB end %ld kB\n", first.fds, last.fds,
                first.rss_kb, last.rss_kb);

    if (set.keep)
        std::printf("logs kept in %s\n", dir.c_str());
    else
        tproc::remove_tree(dir);
    const bool ok = !died && stopped && have_usage && m.matched > 0 && m.mismatched == 0 &&
                    synced.size() == calls.size() && first.fds == last.fds &&
                    longest_outage <= kLongestOutage && lost_at < 0;
    std::printf("%s\n", ok ? "soak: PASS" : "soak: FAIL");
    return ok ? 0 : 2;
}
