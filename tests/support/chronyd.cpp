#include "tests/support/chronyd.h"

#include <pwd.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tests/support/proc.h"

namespace chrony_test {

static constexpr int kShmKeyBase = 0x4E545030;

static long long steady_ms()
{
    struct timespec t = {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

static void sleep_ms(int ms)
{
    struct timespec t = {ms / 1000, static_cast<long>(ms % 1000) * 1000000};
    nanosleep(&t, nullptr);
}

static bool shm_unit_exists(int unit)
{
    return shmget(kShmKeyBase + unit, 0, 0) >= 0;
}

int free_shm_unit()
{
    // Started from the pid, so that tests running side by side rarely meet.
    const int first = static_cast<int>(getpid() % 254);
    for (int i = 0; i < 254; ++i) {
        const int unit = 2 + (first + i) % 254;
        if (!shm_unit_exists(unit) && errno == ENOENT)
            return unit;
    }
    return -1;
}

void chronyd_prepare(Chronyd *c)
{
    if (c->dir.empty())
        c->dir = tproc::make_scratch_dir();
}

// chronyd accepts a command socket only in a folder that its user owns and
// no one else may write to.
static bool make_command_socket_dir(const std::string &path)
{
    const struct passwd *nobody = getpwnam("nobody");
    if (nobody == nullptr || mkdir(path.c_str(), 0700) != 0)
        return false;
    return chown(path.c_str(), nobody->pw_uid, nobody->pw_gid) == 0;
}

static bool apparmor_confines_chronyd()
{
    const std::string enabled = tproc::read_file("/sys/module/apparmor/parameters/enabled");
    return !enabled.empty() && enabled[0] == 'Y' && tproc::file_exists("/etc/apparmor.d/usr.sbin.chronyd");
}

// True while the child runs; reaps it once it has ended.
static bool still_running(Chronyd *c)
{
    int status = 0;
    if (c->pid > 0 && waitpid(c->pid, &status, WNOHANG) == c->pid)
        c->pid = -1;
    return c->pid > 0;
}

static bool is_ready(const std::string &ready_path, int ready_unit)
{
    return (ready_path.empty() || tproc::file_exists(ready_path)) &&
           (ready_unit < 0 || shm_unit_exists(ready_unit));
}

int chronyd_start(Chronyd *c, const std::vector<std::string> &refclocks, const std::string &ready_path,
                  int ready_unit, std::string *why)
{
    if (!tproc::file_exists(kChronydPath)) {
        *why = std::string(kChronydPath) + " is not installed (Debian package chrony)";
        return CHRONYD_REFUSED;
    }
    chronyd_prepare(c);
    const std::string run_dir = c->dir + "/run";
    if (!make_command_socket_dir(run_dir)) {
        *why = "cannot make " + run_dir + " for nobody";
        return CHRONYD_FAILED;
    }
    std::string conf = "cmdport 0\nport 0\n"
                       "bindcmdaddress " +
                       run_dir + "/chronyd.sock\npidfile " + c->dir + "/chronyd.pid\nlogdir " + c->dir +
                       "\nlog refclocks\n";
    for (const std::string &line : refclocks)
        conf += line + "\n";
    const std::string conf_path = c->dir + "/chrony.conf";
    if (!tproc::write_file(conf_path, conf)) {
        *why = "cannot write " + conf_path;
        return CHRONYD_FAILED;
    }

    tproc::Spawn sp;
    // -x: never controls the clock; -U: runs without root; -d: stays in the
    // foreground and logs to stderr. As nobody it could not set the clock anyway.
    sp.argv = {kChronydPath, "-x", "-U", "-d", "-u", "nobody", "-f", conf_path};
    sp.cwd = c->dir;
    sp.as_nobody = true;
    sp.stderr_path = c->dir + "/chronyd.out";
    c->shm_unit = ready_unit;
    c->pid = tproc::spawn(sp);
    if (c->pid <= 0) {
        *why = "cannot start chronyd";
        return CHRONYD_FAILED;
    }

    const long long deadline = steady_ms() + 5000;
    while (!is_ready(ready_path, ready_unit)) {
        if (!still_running(c) || steady_ms() > deadline) {
            chronyd_stop(c);
            *why = "chronyd did not come up: " + c->output;
            if (apparmor_confines_chronyd() && c->output.find("ermission denied") != std::string::npos) {
                *why = "AppArmor's chronyd profile refuses a private configuration: " + c->output;
                return CHRONYD_REFUSED;
            }
            return CHRONYD_FAILED;
        }
        sleep_ms(10);
    }
    return CHRONYD_UP;
}

std::vector<RefclockSample> chronyd_samples(const Chronyd &c)
{
    std::vector<RefclockSample> rows;
    for (const std::string &line : tproc::split_lines(tproc::read_file(c.dir + "/refclocks.log"))) {
        struct tm t = {};
        double second = 0;
        char refid[16] = {};
        char dp[16] = {};
        char leap[16] = {};
        char pulse[16] = {};
        double raw = 0;
        if (std::sscanf(line.c_str(), "%d-%d-%d %d:%d:%lf %15s %15s %15s %15s %lf", &t.tm_year, &t.tm_mon,
                        &t.tm_mday, &t.tm_hour, &t.tm_min, &second, refid, dp, leap, pulse, &raw) != 11)
            continue; // a banner line, or a filter output row (raw offset "-")
        if (dp[0] < '0' || dp[0] > '9')
            continue;
        t.tm_year -= 1900;
        t.tm_mon -= 1;
        rows.push_back({static_cast<double>(timegm(&t)) + second, refid, raw});
    }
    return rows;
}

bool chronyd_wait_samples(const Chronyd &c, std::size_t count, int timeout_ms)
{
    const long long deadline = steady_ms() + timeout_ms;
    while (chronyd_samples(c).size() < count) {
        if (steady_ms() > deadline)
            return false;
        sleep_ms(20);
    }
    return true;
}

void chronyd_stop(Chronyd *c)
{
    if (c->pid > 0) {
        kill(c->pid, SIGTERM);
        const long long deadline = steady_ms() + 3000;
        while (still_running(c) && steady_ms() < deadline)
            sleep_ms(10);
        if (c->pid > 0)
            tproc::kill_pid(c->pid);
        c->pid = -1;
    }
    if (c->shm_unit >= 0) {
        const int id = shmget(kShmKeyBase + c->shm_unit, 0, 0);
        if (id >= 0)
            shmctl(id, IPC_RMID, nullptr);
        c->shm_unit = -1;
    }
    if (!c->dir.empty())
        c->output = tproc::read_file(c->dir + "/chronyd.out");
}

Chronyd::~Chronyd()
{
    chronyd_stop(this);
    if (!dir.empty())
        tproc::remove_tree(dir);
}

} // namespace chrony_test
