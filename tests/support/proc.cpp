#include "tests/support/proc.h"

#include "tests/support/stage.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <linux/capability.h>
#include <poll.h>
#include <pwd.h>
#include <sstream>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace tproc {

namespace {

using Clock = std::chrono::steady_clock;

// Variables a child must not inherit from the test's own environment: they
// would change what the interposer or libfaketime do behind the test's back,
// or make the programs talk to a service manager the tests may run under.
bool inherited_var_dropped(const char *entry)
{
    static const char *const prefixes[] = {"LD_PRELOAD=",    "FAKETIME",       "TEMPUS_SHIM_",
                                           "NOTIFY_SOCKET=", "INVOCATION_ID=", "JOURNAL_STREAM="};
    for (const char *p : prefixes) {
        if (strncmp(entry, p, strlen(p)) == 0) {
            return true;
        }
    }
    return false;
}

// Adds "NAME=value", replacing an entry of the same name.
void set_entry(std::vector<std::string> &env, const std::string &entry)
{
    const size_t eq = entry.find('=');
    const std::string prefix = entry.substr(0, eq == std::string::npos ? entry.size() : eq + 1);
    for (std::string &e : env) {
        if (e.compare(0, prefix.size(), prefix) == 0) {
            e = entry;
            return;
        }
    }
    env.push_back(entry);
}

// A preload list "a:b" with each library where nobody can load it.
std::string preload_for_nobody(const std::string &list)
{
    std::istringstream libs(list);
    std::string mapped;
    std::string lib;
    while (std::getline(libs, lib, ':')) {
        if (!lib.empty()) {
            mapped += (mapped.empty() ? "" : ":") + reachable_by_nobody(lib);
        }
    }
    return mapped;
}

std::vector<std::string> child_environment(const Spawn &sp, bool as_nobody)
{
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e) {
        if (!inherited_var_dropped(*e)) {
            env.emplace_back(*e);
        }
    }
    const bool with_faketime = !sp.faketime.empty() || !sp.faketime_file.empty();
    const std::string preload = preload_value(sp.with_shim, with_faketime);
    if (!preload.empty()) {
        env.push_back("LD_PRELOAD=" + preload);
        // A sanitizer-built program would refuse to start behind a preload.
        const char *asan = getenv("ASAN_OPTIONS");
        set_entry(env, std::string("ASAN_OPTIONS=") +
                           (asan != nullptr && asan[0] != '\0' ? std::string(asan) + ":" : "") +
                           "verify_asan_link_order=0");
    }
    if (with_faketime) {
        env.emplace_back("FAKETIME_DONT_FAKE_MONOTONIC=1");
        if (!sp.faketime_file.empty()) {
            env.push_back("FAKETIME_TIMESTAMP_FILE=" + sp.faketime_file);
            env.emplace_back("FAKETIME_NO_CACHE=1");
            if (sp.with_shim) {
                env.push_back("TEMPUS_SHIM_FAKETIME_FILE=" + sp.faketime_file);
            }
        } else {
            env.push_back("FAKETIME=" + sp.faketime);
        }
    }
    for (const std::string &e : sp.env) {
        set_entry(env, e);
    }
    if (as_nobody) {
        for (std::string &e : env) {
            const std::string name = "LD_PRELOAD=";
            if (e.rfind(name, 0) == 0) {
                e = name + preload_for_nobody(e.substr(name.size()));
            }
        }
    }
    return env;
}

// libfaketime keeps a semaphore and a shared-memory block named after the
// first process of a tree that loaded it; a process killed outright leaves
// them behind, and a later process with the same pid would trip over them.
void remove_faketime_leftovers(pid_t pid)
{
    const std::string n = std::to_string(pid);
    ::unlink(("/dev/shm/faketime_shm_" + n).c_str());
    ::unlink(("/dev/shm/sem.faketime_sem_" + n).c_str());
}

struct Identity {
    bool change = false;
    uid_t uid = 0;
    gid_t gid = 0;
};

// Only root can change identity; an ordinary user's children stay that user,
// who holds no clock privilege either.
Identity nobody_identity()
{
    Identity id;
    if (geteuid() != 0) {
        return id;
    }
    id.change = true;
    id.uid = 65534;
    id.gid = 65534;
    if (const struct passwd *pw = getpwnam("nobody")) {
        id.uid = pw->pw_uid;
        id.gid = pw->pw_gid;
    }
    if (const struct group *gr = getgrnam("nogroup")) {
        id.gid = gr->gr_gid;
    }
    return id;
}

void redirect_or_die(int fd, const char *path)
{
    const int f = ::open(path, O_WRONLY | O_CREAT | O_APPEND, 0666);
    if (f < 0 || dup2(f, fd) < 0) {
        _exit(126);
    }
    ::close(f);
}

// Before exec, in the child: clears what a dead process with our pid may have
// left in /dev/shm, which would make libfaketime refuse to start here.
void clear_stale_faketime_names()
{
    char digits[16];
    int n = 0;
    for (pid_t p = getpid(); p > 0 && n < 15; p /= 10) {
        digits[n++] = static_cast<char>('0' + p % 10);
    }
    const char *const prefixes[] = {"/dev/shm/faketime_shm_", "/dev/shm/sem.faketime_sem_"};
    for (const char *prefix : prefixes) {
        char path[64];
        size_t len = 0;
        for (const char *c = prefix; *c != '\0'; ++c) {
            path[len++] = *c;
        }
        for (int i = n - 1; i >= 0; --i) {
            path[len++] = digits[i];
        }
        path[len] = '\0';
        ::unlink(path);
    }
}

// Runs in the forked child: only async-signal-safe calls until exec.
[[noreturn]] void exec_child(const char *program, char *const *argv, char *const *envp, const char *cwd,
                             Identity id, int in_fd, int out_fd, int err_fd, const char *out_path,
                             const char *err_path, bool close_std_fds)
{
    setpgid(0, 0);
    // A clock-setting call that escapes the interposer must fail, not move the clock.
    prctl(PR_CAPBSET_DROP, CAP_SYS_TIME, 0, 0, 0);
    clear_stale_faketime_names();
    signal(SIGPIPE, SIG_DFL);
    if (in_fd >= 0) {
        dup2(in_fd, 0);
    } else {
        redirect_or_die(0, "/dev/null");
    }
    if (out_fd >= 0) {
        dup2(out_fd, 1);
    } else {
        redirect_or_die(1, out_path);
    }
    if (err_fd >= 0) {
        dup2(err_fd, 2);
    } else {
        redirect_or_die(2, err_path);
    }
    if (close_std_fds) {
        ::close(0);
        ::close(1);
        ::close(2);
    }
    if (cwd[0] != '\0' && chdir(cwd) != 0) {
        _exit(126);
    }
    if (id.change) {
        if (setgroups(0, nullptr) != 0 || setresgid(id.gid, id.gid, id.gid) != 0 ||
            setresuid(id.uid, id.uid, id.uid) != 0) {
            _exit(126);
        }
    }
    execve(program, argv, envp);
    _exit(127);
}

struct Pipes {
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
};

void close_fd(int &fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// Forks and execs; with pipes, the child's ends are dup'ed onto 0/1/2.
pid_t start(const Spawn &sp, Pipes *pipes)
{
    if (sp.argv.empty()) {
        return -1;
    }
    if (!sp.faketime_file.empty() && !file_exists(sp.faketime_file)) {
        write_file(sp.faketime_file, "+0\n");
    }
    const Identity id = sp.as_nobody ? nobody_identity() : Identity{};
    std::vector<std::string> env = child_environment(sp, id.change);
    std::vector<char *> argv;
    for (const std::string &a : sp.argv) {
        argv.push_back(const_cast<char *>(a.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (const std::string &e : env) {
        envp.push_back(const_cast<char *>(e.c_str()));
    }
    envp.push_back(nullptr);
    // The program sees its own path in argv[0] even when it runs from a copy.
    const std::string program = id.change ? reachable_by_nobody(sp.argv[0]) : sp.argv[0];
    const std::string out_path = sp.stdout_path.empty() ? "/dev/null" : sp.stdout_path;
    const std::string err_path = sp.stderr_path.empty() ? "/dev/null" : sp.stderr_path;

    const pid_t pid = fork();
    if (pid == 0) {
        exec_child(program.c_str(), argv.data(), envp.data(), sp.cwd.c_str(), id, pipes ? pipes->in[0] : -1,
                   pipes ? pipes->out[1] : -1, pipes ? pipes->err[1] : -1, out_path.c_str(), err_path.c_str(),
                   sp.close_std_fds);
    }
    if (pid > 0) {
        setpgid(pid, pid); // also from the parent, so kill(-pid) works at once
    }
    return pid;
}

long ms_left(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? left.count() : 0;
}

void fill_status(Result &r, int status)
{
    if (WIFEXITED(status)) {
        r.exited = true;
        r.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        r.term_signal = WTERMSIG(status);
    }
}

// Reads whatever is available without blocking; false once the writer side is gone.
bool drain(int fd, std::string &into)
{
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            into.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n < 0 && errno == EAGAIN;
    }
}

void kill_and_reap(pid_t pid, Result &r)
{
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.timed_out = true;
    fill_status(r, status);
    remove_faketime_leftovers(pid);
}

} // namespace

std::string preload_value(bool with_shim, bool with_faketime)
{
    std::string v;
    if (with_shim) {
        v = TEMPUS_SHIM_PATH;
    }
    if (with_faketime) {
        v += v.empty() ? "" : ":";
        v += kFaketimeLib;
    }
    return v;
}

Result run(const Spawn &sp)
{
    Result r;
    Pipes p;
    if (pipe2(p.in, O_CLOEXEC) != 0 || pipe2(p.out, O_CLOEXEC) != 0 || pipe2(p.err, O_CLOEXEC) != 0) {
        return r;
    }
    const pid_t pid = start(sp, &p);
    close_fd(p.in[0]);
    close_fd(p.out[1]);
    close_fd(p.err[1]);
    if (pid < 0) {
        close_fd(p.in[1]);
        close_fd(p.out[0]);
        close_fd(p.err[0]);
        return r;
    }
    // Small inputs only: the pipe buffer takes them without blocking.
    void (*old_pipe)(int) = signal(SIGPIPE, SIG_IGN);
    if (!sp.stdin_data.empty()) {
        const ssize_t w = ::write(p.in[1], sp.stdin_data.data(), sp.stdin_data.size());
        (void)w;
    }
    signal(SIGPIPE, old_pipe);
    close_fd(p.in[1]);
    fcntl(p.out[0], F_SETFL, O_NONBLOCK);
    fcntl(p.err[0], F_SETFL, O_NONBLOCK);

    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(sp.timeout_ms);
    bool out_open = true;
    bool err_open = true;
    for (;;) {
        int status = 0;
        const pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid) {
            fill_status(r, status);
            remove_faketime_leftovers(pid);
            break;
        }
        if (ms_left(deadline) == 0) {
            kill_and_reap(pid, r);
            break;
        }
        struct pollfd fds[2] = {{out_open ? p.out[0] : -1, POLLIN, 0}, {err_open ? p.err[0] : -1, POLLIN, 0}};
        poll(fds, 2, static_cast<int>(std::min(ms_left(deadline), 10L)));
        if (out_open) {
            out_open = drain(p.out[0], r.out);
        }
        if (err_open) {
            err_open = drain(p.err[0], r.err);
        }
    }
    // Everything the program wrote before exiting is in the pipes now.
    drain(p.out[0], r.out);
    drain(p.err[0], r.err);
    close_fd(p.out[0]);
    close_fd(p.err[0]);
    return r;
}

pid_t spawn(const Spawn &sp)
{
    return start(sp, nullptr);
}

Result wait_pid(pid_t pid, int timeout_ms)
{
    Result r;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status = 0;
        const pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid) {
            fill_status(r, status);
            remove_faketime_leftovers(pid);
            return r;
        }
        if (w < 0 && errno != EINTR) {
            return r;
        }
        if (ms_left(deadline) == 0) {
            kill_and_reap(pid, r);
            return r;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void kill_pid(pid_t pid)
{
    if (pid <= 1 || pid == getpid()) {
        return;
    }
    kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    remove_faketime_leftovers(pid);
}

std::string make_scratch_dir()
{
    char templ[] = "/tmp/tempus-test-XXXXXX";
    if (mkdtemp(templ) == nullptr) {
        perror("mkdtemp");
        abort();
    }
    chmod(templ, 0777);
    return templ;
}

void remove_tree(const std::string &path)
{
    if (path.empty() || path == "/") {
        return;
    }
    nftw(
        path.c_str(),
        [](const char *p, const struct stat *, int, struct FTW *) {
            ::remove(p);
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
}

std::string read_file(const std::string &path)
{
    std::string s;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return s;
    }
    char buf[4096];
    ssize_t n = 0;
    while ((n = ::read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0) {
            s.append(buf, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    return s;
}

bool write_file(const std::string &path, const std::string &content)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return false;
    }
    fchmod(fd, 0666);
    const bool ok = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    return ::close(fd) == 0 && ok;
}

bool file_exists(const std::string &path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

int count_lines(const std::string &text)
{
    int n = 0;
    for (char c : text) {
        n += c == '\n' ? 1 : 0;
    }
    if (!text.empty() && text.back() != '\n') {
        ++n;
    }
    return n;
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

int wait_for_lines(const std::string &path, int n, int timeout_ms)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const int have = count_lines(read_file(path));
        if (have >= n || ms_left(deadline) == 0) {
            return have;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool wait_until(bool (*pred)(void *ctx), void *ctx, int timeout_ms)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (pred(ctx)) {
            return true;
        }
        if (ms_left(deadline) == 0) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int unique_registry_key()
{
    static std::atomic<int> counter{0};
    const int n = counter.fetch_add(1);
    // 0x5Exxxxxx: far above the service's own key; pid and counter keep
    // concurrent test processes and successive tests apart.
    const int key = 0x5E000000 | ((static_cast<int>(getpid()) & 0xFFFF) << 8) | (n & 0xFF);
    remove_registry(key);
    return key;
}

pid_t registered_pid(int key)
{
    const int id = semget(static_cast<key_t>(key), 0, 0);
    if (id < 0) {
        return -1;
    }
    const int pid = semctl(id, 0, GETPID);
    return pid < 0 ? -1 : static_cast<pid_t>(pid);
}

bool remove_registry(int key)
{
    const int id = semget(static_cast<key_t>(key), 0, 0);
    return id >= 0 && semctl(id, 0, IPC_RMID) == 0;
}

void kill_registered(int key)
{
    const pid_t pid = registered_pid(key);
    if (pid > 1 && pid != getpid()) {
        kill(pid, SIGKILL);
        // Reap it if it happens to be our own child; otherwise init does.
        int status = 0;
        waitpid(pid, &status, WNOHANG);
        remove_faketime_leftovers(pid);
    }
    remove_registry(key);
}

} // namespace tproc
