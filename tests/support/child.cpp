#include "tests/support/child.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "service/dcf_prog.h"
#include "service/registry_io.h"

namespace tproc {

static std::string drain_and_close(int fd)
{
    std::string text;
    char chunk[4096];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<size_t>(n));
    close(fd);
    return text;
}

namespace {
struct started_child {
    pid_t pid = -1;
    int err = -1;
    int out = -1;
};
} // namespace

static started_child start_child(const std::string &dir, const std::function<int()> &body)
{
    started_child child;
    int err_pipe[2];
    int out_pipe[2];
    if (pipe(err_pipe) != 0)
        return child;
    if (pipe(out_pipe) != 0) {
        close(err_pipe[0]);
        close(err_pipe[1]);
        return child;
    }
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(60);
        close(err_pipe[0]);
        close(out_pipe[0]);
        dup2(err_pipe[1], 2);
        dup2(out_pipe[1], 1);
        close(err_pipe[1]);
        close(out_pipe[1]);
        if (!dir.empty() && chdir(dir.c_str()) != 0)
            _exit(120);
        const int rc = body();
        fflush(nullptr);
        _exit(rc);
    }
    close(err_pipe[1]);
    close(out_pipe[1]);
    child.pid = pid;
    child.err = err_pipe[0];
    child.out = out_pipe[0];
    return child;
}

static ChildRun finish_child(const started_child &child)
{
    ChildRun run;
    if (child.err < 0)
        return run;
    // Standard output first: a child filling the pipe it is not read from
    // would block, and both stay small enough for the other pipe's buffer.
    run.out = drain_and_close(child.out);
    run.console = drain_and_close(child.err);
    int status = 0;
    if (child.pid < 0 || waitpid(child.pid, &status, 0) != child.pid)
        return run;
    run.exited = WIFEXITED(status);
    run.exit_code = run.exited ? WEXITSTATUS(status) : -1;
    return run;
}

ChildRun run_in_child(const std::string &dir, const std::function<int()> &body)
{
    return finish_child(start_child(dir, body));
}

std::vector<ChildRun> run_in_children(int count, const std::function<int(int)> &body)
{
    std::vector<started_child> started;
    started.reserve(static_cast<size_t>(count));
    for (int n = 0; n < count; ++n)
        started.push_back(start_child("", [&body, n] { return body(n); }));
    std::vector<ChildRun> runs;
    runs.reserve(started.size());
    for (const started_child &child : started)
        runs.push_back(finish_child(child));
    return runs;
}

ChildRun run_tempusd_main(const std::string &dir, int key, std::vector<std::string> args)
{
    return run_in_child(dir, [key, &args] {
        tempus_registry_io.key = key;
        std::vector<char *> argv;
        static char program[] = "tempusd";
        argv.push_back(program);
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        return tempusd_main(static_cast<int>(argv.size()) - 1, argv.data());
    });
}

bool mount_private_tmpfs(const std::string &path, const char *size)
{
    const std::string options = std::string("size=") + size;
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("tempus-test", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

} // namespace tproc
