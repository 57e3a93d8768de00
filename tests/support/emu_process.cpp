#include "tests/support/emu_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#ifndef HOROLAN_EMU_PATH
#error "HOROLAN_EMU_PATH must name the horolan-emu binary"
#endif

namespace horolan_test {

static long long emu_clock_ms()
{
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

static void emu_sleep_ms(int ms)
{
    struct timespec ts {};
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000;
    nanosleep(&ts, nullptr);
}

static int decode_wait_status(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// Reads the first line of `fd` (without its newline) within `timeout_ms`.
static bool read_first_line(int fd, int timeout_ms, std::string *line)
{
    const long long end = emu_clock_ms() + timeout_ms;
    for (;;) {
        const long long left = end - emu_clock_ms();
        if (left <= 0)
            return false;
        struct pollfd pfd {};
        pfd.fd = fd;
        pfd.events = POLLIN;
        const int ready = poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0)
            continue;
        if (ready == 0)
            return false;
        char c = 0;
        const ssize_t n = read(fd, &c, 1);
        if (n <= 0)
            return false;
        if (c == '\n')
            return !line->empty();
        line->push_back(c);
    }
}

static bool make_log_file(std::string *path)
{
    char name[] = "/tmp/horolan-emu-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0)
        return false;
    close(fd);
    *path = name;
    return true;
}

bool emu_start(const std::vector<std::string> &options, EmuProcess *emu)
{
    if (emu->pid > 0)
        emu_stop(emu);
    emu->slave_path.clear();
    emu->exit_status = -1;
    if (!make_log_file(&emu->log_path))
        return false;

    std::vector<std::string> args;
    args.emplace_back(HOROLAN_EMU_PATH);
    args.insert(args.end(), options.begin(), options.end());
    args.emplace_back("--log");
    args.push_back(emu->log_path);
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return false;
    const pid_t pid = fork();
    if (pid < 0) {
        close(out[0]);
        close(out[1]);
        return false;
    }
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        // Lines and pipes the test process holds must not stay open in the emulator.
        close_range(3, ~0U, 0);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    emu->pid = pid;
    std::string line;
    const bool got_path = read_first_line(out[0], 5000, &line);
    close(out[0]);
    if (!got_path) {
        emu_stop(emu, true);
        return false;
    }
    emu->slave_path = line;
    return true;
}

std::string emu_log_text(const EmuProcess &emu)
{
    std::ifstream in(emu.log_path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Splits "<sec>.<fraction> rest" (three or six fraction digits) into
// microseconds and rest; false for other lines.
static bool split_stamp(const std::string &line, long long *at_us, std::string *rest)
{
    long long sec = 0;
    int digits_from = 0;
    int digits_to = 0;
    int used = 0;
    if (std::sscanf(line.c_str(), "%lld.%n%*d%n %n", &sec, &digits_from, &digits_to, &used) != 1 || used == 0)
        return false;
    long long fraction = 0;
    const int digits = digits_to - digits_from;
    if (digits != 3 && digits != 6)
        return false;
    for (int i = digits_from; i < digits_to; ++i)
        fraction = fraction * 10 + (line[static_cast<size_t>(i)] - '0');
    *at_us = sec * 1000000 + (digits == 3 ? fraction * 1000 : fraction);
    *rest = line.substr(static_cast<size_t>(used));
    return true;
}

std::vector<EmuHostByte> emu_host_bytes(const EmuProcess &emu)
{
    std::vector<EmuHostByte> bytes;
    std::istringstream lines(emu_log_text(emu));
    std::string line;
    std::string rest;
    long long at_us = 0;
    while (std::getline(lines, line)) {
        unsigned value = 0;
        if (!split_stamp(line, &at_us, &rest) || rest.size() != 4)
            continue;
        if (std::sscanf(rest.c_str(), "0x%2x", &value) != 1)
            continue;
        bytes.push_back({at_us / 1000, static_cast<unsigned char>(value)});
    }
    return bytes;
}

std::vector<unsigned char> emu_host_byte_values(const EmuProcess &emu)
{
    std::vector<unsigned char> values;
    for (const EmuHostByte &b : emu_host_bytes(emu))
        values.push_back(b.byte);
    return values;
}

std::vector<EmuSent> emu_telegrams(const EmuProcess &emu)
{
    std::vector<EmuSent> sent;
    std::istringstream lines(emu_log_text(emu));
    std::string line;
    std::string rest;
    long long at_us = 0;
    while (std::getline(lines, line)) {
        if (!split_stamp(line, &at_us, &rest) || rest.rfind("sent ", 0) != 0)
            continue;
        EmuSent s{at_us / 1000, at_us, {}};
        std::istringstream hex(rest.substr(5));
        std::string pair;
        while (hex >> pair)
            s.bytes.push_back(static_cast<unsigned char>(std::strtoul(pair.c_str(), nullptr, 16)));
        sent.push_back(s);
    }
    return sent;
}

// True once done() holds, polled every 10 ms; false after `timeout_ms`.
static bool emu_wait_until(const std::function<bool()> &done, int timeout_ms)
{
    const long long end = emu_clock_ms() + timeout_ms;
    for (;;) {
        if (done())
            return true;
        if (emu_clock_ms() >= end)
            return false;
        emu_sleep_ms(10);
    }
}

bool emu_wait_host_bytes(const EmuProcess &emu, std::size_t count, int timeout_ms)
{
    return emu_wait_until([&] { return emu_host_bytes(emu).size() >= count; }, timeout_ms);
}

bool emu_wait_telegrams(const EmuProcess &emu, std::size_t count, int timeout_ms)
{
    return emu_wait_until([&] { return emu_telegrams(emu).size() >= count; }, timeout_ms);
}

bool emu_wait_note(const EmuProcess &emu, const std::string &note, int timeout_ms)
{
    return emu_wait_until([&] { return emu_log_text(emu).find(note) != std::string::npos; }, timeout_ms);
}

int emu_wait_exit(EmuProcess *emu, int timeout_ms)
{
    if (emu->pid <= 0)
        return emu->exit_status;
    const long long end = emu_clock_ms() + timeout_ms;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(emu->pid, &status, WNOHANG);
        if (done == emu->pid) {
            emu->pid = -1;
            emu->exit_status = decode_wait_status(status);
            return emu->exit_status;
        }
        if (done < 0) {
            emu->pid = -1;
            return emu->exit_status;
        }
        if (emu_clock_ms() >= end)
            return -1;
        emu_sleep_ms(10);
    }
}

int emu_stop(EmuProcess *emu, bool keep_log)
{
    if (emu->pid > 0) {
        kill(emu->pid, SIGTERM);
        if (emu_wait_exit(emu, 3000) < 0 && emu->pid > 0) {
            kill(emu->pid, SIGKILL);
            emu_wait_exit(emu, 3000);
        }
    }
    if (!keep_log && !emu->log_path.empty()) {
        unlink(emu->log_path.c_str());
        emu->log_path.clear();
    }
    return emu->exit_status;
}

EmuProcess::~EmuProcess()
{
    emu_stop(this);
}

} // namespace horolan_test
