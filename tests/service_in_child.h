#ifndef TEMPUS_TESTS_SERVICE_IN_CHILD_H
#define TEMPUS_TESTS_SERVICE_IN_CHILD_H

// Runs a piece of the service program in a forked child, so that its exits,
// its process-wide option counters and its working directory stay out of the
// test process.

#include <csignal>
#include <cstdio>
#include <functional>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace svc_test {

struct ChildRun {
    bool exited = false;
    int exit_code = -1;
    std::string console; // what the child wrote on stderr
    std::string out;     // ... and on stdout
};

static inline std::string drain(int fd)
{
    std::string text;
    char chunk[4096];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    return text;
}

// body runs in the child with dir as working directory; its result is the
// child's exit status unless it exits on its own first.
static inline ChildRun run_in_child(const std::string &dir, const std::function<int()> &body)
{
    ChildRun run;
    int err_pipe[2];
    int out_pipe[2];
    if (pipe(err_pipe) != 0 || pipe(out_pipe) != 0) {
        return run;
    }
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        alarm(20);
        close(err_pipe[0]);
        close(out_pipe[0]);
        dup2(err_pipe[1], 2);
        dup2(out_pipe[1], 1);
        close(err_pipe[1]);
        close(out_pipe[1]);
        if (chdir(dir.c_str()) != 0) {
            _exit(120);
        }
        int rc = body();
        fflush(stdout);
        fflush(stderr);
        _exit(rc);
    }
    close(err_pipe[1]);
    close(out_pipe[1]);
    if (pid < 0) {
        close(err_pipe[0]);
        close(out_pipe[0]);
        return run;
    }
    run.console = drain(err_pipe[0]);
    run.out = drain(out_pipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.exited = WIFEXITED(status);
    run.exit_code = run.exited ? WEXITSTATUS(status) : -1;
    return run;
}

// The console line the program writes for one message.
static inline std::string console_line(const std::string &message)
{
    return "[Program obslugi zegara Horolan]:- " + message + "\n";
}

// The messages of a log, stamps taken off; lines without a stamp (the empty
// lines after a final message) are kept as they are.
static inline std::vector<std::string> log_messages(const std::string &log)
{
    static const std::regex stamped(R"(^\[\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\]:- )");
    std::vector<std::string> messages;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos) {
            end = log.size();
        }
        std::string line = log.substr(start, end - start);
        messages.push_back(std::regex_replace(line, stamped, "", std::regex_constants::format_first_only));
        start = end + 1;
    }
    return messages;
}

} // namespace svc_test

#endif
