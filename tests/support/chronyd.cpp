#include "tests/support/chronyd.h"

#include <pwd.h>
#include <signal.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace chrony_test {

static constexpr int kShmKeyBase = 0x4E545030;
static constexpr const char *kChronydPath = "/usr/sbin/chronyd";

static bool shm_unit_exists(int unit)
{
    return shmget(kShmKeyBase + unit, 0, 0) >= 0;
}

int free_shm_unit()
{
    const int first = static_cast<int>(getpid() % 254);
    for (int i = 0; i < 254; ++i) {
        const int unit = 2 + (first + i) % 254;
        if (!shm_unit_exists(unit) && errno == ENOENT)
            return unit;
    }
    return -1;
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

struct Waiting {
    Chronyd *c;
    const std::string *ready_path;
    int ready_unit;
};

// True once chronyd is up, or has ended (then reaped, pid -1).
static bool up_or_ended(void *ctx)
{
    const Waiting &w = *static_cast<Waiting *>(ctx);
    int status = 0;
    if (waitpid(w.c->pid, &status, WNOHANG) == w.c->pid) {
        w.c->pid = -1;
        return true;
    }
    return (w.ready_path->empty() || tproc::file_exists(*w.ready_path)) &&
           (w.ready_unit < 0 || shm_unit_exists(w.ready_unit));
}

int chronyd_start(Chronyd *c, const std::vector<std::string> &refclocks, const std::string &ready_path,
                  int ready_unit, std::string *why)
{
    if (!tproc::file_exists(kChronydPath)) {
        *why = std::string(kChronydPath) + " is not installed (Debian package chrony)";
        return CHRONYD_REFUSED;
    }
    const std::string run_dir = c->dir + "/run";
    std::string conf = "cmdport 0\nport 0\nbindcmdaddress " + run_dir + "/chronyd.sock\npidfile " + c->dir +
                       "/chronyd.pid\nlogdir " + c->dir + "\nlog refclocks\n";
    for (const std::string &line : refclocks)
        conf += line + "\n";
    const std::string conf_path = c->dir + "/chrony.conf";
    if (!make_command_socket_dir(run_dir) || !tproc::write_file(conf_path, conf)) {
        *why = "cannot prepare " + c->dir;
        return CHRONYD_FAILED;
    }

    tproc::Spawn sp;
    // -x: never controls the clock (as nobody it could not anyway); -U: runs
    // without root; -d: stays in the foreground and logs to stderr.
    sp.argv = {kChronydPath, "-x", "-U", "-d", "-u", "nobody", "-f", conf_path};
    sp.cwd = c->dir;
    sp.as_nobody = true;
    sp.stderr_path = c->dir + "/chronyd.out";
    c->shm_unit = ready_unit;
    c->pid = tproc::spawn(sp);
    Waiting waiting{c, &ready_path, ready_unit};
    if (c->pid > 0 && tproc::wait_until(up_or_ended, &waiting, 5000) && c->pid > 0)
        return CHRONYD_UP;
    chronyd_stop(c);
    *why = "chronyd did not come up: " + c->output;
    if (apparmor_confines_chronyd() && c->output.find("ermission denied") != std::string::npos) {
        *why = "AppArmor's chronyd profile refuses a private configuration: " + c->output;
        return CHRONYD_REFUSED;
    }
    return CHRONYD_FAILED;
}

std::vector<RefclockSample> chronyd_samples(const Chronyd &c)
{
    std::vector<RefclockSample> rows;
    for (const std::string &line : tproc::split_lines(tproc::read_file(c.dir + "/refclocks.log"))) {
        struct tm t = {};
        double second = 0;
        char refid[16] = {};
        char dp[16] = {};
        double raw = 0;
        // Banner lines and the filter's output rows (raw offset "-") do not scan.
        if (std::sscanf(line.c_str(), "%d-%d-%d %d:%d:%lf %15s %15s %*s %*s %lf", &t.tm_year, &t.tm_mon,
                        &t.tm_mday, &t.tm_hour, &t.tm_min, &second, refid, dp, &raw) != 9 ||
            dp[0] < '0' || dp[0] > '9')
            continue;
        t.tm_year -= 1900;
        t.tm_mon -= 1;
        rows.push_back({static_cast<double>(timegm(&t)) + second, refid, raw});
    }
    return rows;
}

bool chronyd_wait_samples(const Chronyd &c, std::size_t count, int timeout_ms)
{
    struct Want {
        const Chronyd *c;
        std::size_t count;
    } want{&c, count};
    return tproc::wait_until(
        [](void *ctx) {
            const Want &w = *static_cast<Want *>(ctx);
            return chronyd_samples(*w.c).size() >= w.count;
        },
        &want, timeout_ms);
}

static bool ended(void *ctx)
{
    Chronyd *c = static_cast<Chronyd *>(ctx);
    int status = 0;
    if (waitpid(c->pid, &status, WNOHANG) == c->pid)
        c->pid = -1;
    return c->pid < 0;
}

void chronyd_stop(Chronyd *c)
{
    if (c->pid > 0) {
        kill(c->pid, SIGTERM);
        if (!tproc::wait_until(ended, c, 3000))
            tproc::kill_pid(c->pid);
        c->pid = -1;
    }
    if (c->shm_unit >= 0) {
        const int id = shmget(kShmKeyBase + c->shm_unit, 0, 0);
        if (id >= 0)
            shmctl(id, IPC_RMID, nullptr);
        c->shm_unit = -1;
    }
    c->output = tproc::read_file(c->dir + "/chronyd.out");
}

Chronyd::~Chronyd()
{
    chronyd_stop(this);
    tproc::remove_tree(dir);
}

} // namespace chrony_test
