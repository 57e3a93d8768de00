#include "tests/support/e2e_tempusd.h"

#include <dirent.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <thread>

namespace tempusd_e2e {

// Fields after the command name of /proc/PID/stat (which may hold blanks).
static std::vector<std::string> stat_fields_after_name(pid_t pid)
{
    std::string stat = tproc::read_file("/proc/" + std::to_string(pid) + "/stat");
    std::vector<std::string> fields;
    size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return fields;
    }
    std::istringstream rest(stat.substr(close + 1));
    std::string field;
    while (rest >> field) {
        fields.push_back(field);
    }
    return fields;
}

long cpu_ticks(pid_t pid)
{
    // After the name: state(3) ... utime(14) stime(15), counted from pid = 1.
    std::vector<std::string> f = stat_fields_after_name(pid);
    if (f.size() < 13) {
        return -1;
    }
    return std::stol(f[11]) + std::stol(f[12]);
}

int open_descriptor_count(pid_t pid)
{
    std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(path.c_str());
    if (d == nullptr) {
        return -1;
    }
    int count = 0;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] != '.') {
            count++;
        }
    }
    closedir(d);
    return count;
}

bool process_alive(pid_t pid)
{
    std::vector<std::string> f = stat_fields_after_name(pid);
    return !f.empty() && f[0] != "Z" && f[0] != "X";
}

void Fixture::SetUp()
{
    dir = tproc::make_scratch_dir();
    key = tproc::unique_registry_key();
    clock_log = dir + "/clock.log";
}

void Fixture::TearDown()
{
    pid_t recorded = tproc::registered_pid(key);
    if (recorded > 0) {
        seen_background_.push_back(recorded);
    }
    tproc::kill_registered(key);
    for (pid_t pid : seen_background_) {
        if (process_alive(pid)) {
            kill(pid, SIGKILL);
        }
    }
    tproc::remove_registry(key);
    horolan_test::emu_stop(&emu);
    if (HasFailure()) {
        // Leave the evidence in the test output rather than on disk.
        std::printf("--- dcf.log ---\n%s--- clock record ---\n%s", log_text().c_str(),
                    clock_record().c_str());
    }
    tproc::remove_tree(dir);
}

bool Fixture::start_emulator(const std::vector<std::string> &options, const std::vector<std::string> &emu_env)
{
    // The emulator inherits the test's environment; set its extras only for
    // the moment of the start and put back what was there before.
    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
    for (const std::string &entry : emu_env) {
        size_t eq = entry.find('=');
        std::string name = entry.substr(0, eq);
        const char *old = getenv(name.c_str());
        saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        setenv(name.c_str(), entry.substr(eq + 1).c_str(), 1);
    }
    bool started = horolan_test::emu_start(options, &emu);
    for (auto it = saved.rbegin(); it != saved.rend(); ++it) {
        if (it->second) {
            setenv(it->first.c_str(), it->second->c_str(), 1);
        } else {
            unsetenv(it->first.c_str());
        }
    }
    if (started) {
        term_a = emu.slave_path;
    }
    return started;
}

tproc::Spawn Fixture::tempusd_spawn(const std::vector<std::string> &args) const
{
    tproc::Spawn sp;
    sp.argv.push_back(TEMPUSD_PATH);
    sp.argv.insert(sp.argv.end(), args.begin(), args.end());
    sp.cwd = dir;
    sp.as_nobody = true;
    sp.with_shim = true;
    sp.faketime = faketime;
    sp.env.push_back("TEMPUS_SHIM_SEM_KEY=" + std::to_string(key));
    sp.env.push_back("TEMPUS_SHIM_CLOCK_LOG=" + clock_log);
    if (!term_a.empty()) {
        sp.env.push_back("TEMPUS_SHIM_TERM_A=" + term_a);
    }
    sp.env.insert(sp.env.end(), extra_env.begin(), extra_env.end());
    return sp;
}

tproc::Result Fixture::tempusd(const std::vector<std::string> &args, int timeout_ms)
{
    tproc::Spawn sp = tempusd_spawn(args);
    sp.timeout_ms = timeout_ms;
    tproc::Result r = tproc::run(sp);
    pid_t recorded = tproc::registered_pid(key);
    if (recorded > 0) {
        seen_background_.push_back(recorded);
    }
    return r;
}

pid_t Fixture::wait_background(int timeout_ms)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        pid_t pid = tproc::registered_pid(key);
        if (pid > 0) {
            seen_background_.push_back(pid);
            return pid;
        }
        if (std::chrono::steady_clock::now() >= until) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string Fixture::log_text() const
{
    return tproc::read_file(dir + "/dcf.log");
}

std::vector<std::string> Fixture::log_lines() const
{
    return tproc::split_lines(log_text());
}

std::vector<std::string> Fixture::log_messages() const
{
    return tproc::log_messages(log_text());
}

bool Fixture::wait_log_message(const std::string &message, int timeout_ms)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        for (const std::string &m : log_messages()) {
            if (m == message) {
                return true;
            }
        }
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string Fixture::clock_record() const
{
    return tproc::read_file(clock_log);
}

std::vector<std::string> Fixture::clock_lines() const
{
    return tproc::split_lines(clock_record());
}

} // namespace tempusd_e2e
