#ifndef TEMPUS_TESTS_SUPPORT_EMU_PROCESS_H
#define TEMPUS_TESTS_SUPPORT_EMU_PROCESS_H

// Runs the receiver emulator (horolan-emu) as a child process of a test and
// reads what it logged. No test framework inside: plain results.
//
//   horolan_test::EmuProcess emu;
//   ASSERT_TRUE(horolan_test::emu_start({"--minute-ms", "1000"}, &emu));
//   ... open emu.slave_path, talk to it ...
//   ASSERT_TRUE(horolan_test::emu_wait_telegrams(emu, 1, 3000));
//   auto sent = horolan_test::emu_telegrams(emu);   // sent[0].bytes.size() == 10
//   horolan_test::emu_stop(&emu);                   // also done by the destructor
//
// Every option of `horolan-emu --help` may be passed, except --log, which
// emu_start adds itself (a fresh file under /tmp, removed by emu_stop).

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace horolan_test {

struct EmuProcess {
    pid_t pid = -1;         // -1 when not running (never started, stopped, or reaped)
    std::string slave_path; // the line the program under test opens, e.g. "/dev/pts/7"
    std::string log_path;   // the emulator's byte log
    int exit_status = -1;   // wait status decoded: exit code, or 128 + signal; -1 unknown

    EmuProcess() = default;
    EmuProcess(const EmuProcess &) = delete;
    EmuProcess &operator=(const EmuProcess &) = delete;
    ~EmuProcess(); // stops a running emulator and removes its log file
};

// One byte the host wrote to the line, with the emulator's receiving time.
struct EmuHostByte {
    long long at_ms; // Unix time in milliseconds
    unsigned char byte;
};

// One write of the emulator to the line (normally a 10-byte telegram; faults
// may make it longer or shorter), with its sending time.
struct EmuSent {
    long long at_ms; // Unix time in milliseconds
    long long at_us; // ... in microseconds, taken just before the write
    std::vector<unsigned char> bytes;
};

// Starts HOROLAN_EMU_PATH with `options` plus "--log <fresh file>", waits at
// most 5 s for the slave path on its first stdout line. True when running.
bool emu_start(const std::vector<std::string> &options, EmuProcess *emu);

// Every host byte logged so far, oldest first.
std::vector<EmuHostByte> emu_host_bytes(const EmuProcess &emu);

// Only the byte values of emu_host_bytes.
std::vector<unsigned char> emu_host_byte_values(const EmuProcess &emu);

// Every telegram (write) logged so far, oldest first.
std::vector<EmuSent> emu_telegrams(const EmuProcess &emu);

// The whole log text, for failure messages.
std::string emu_log_text(const EmuProcess &emu);

// True once at least `count` host bytes are logged; false after `timeout_ms`.
bool emu_wait_host_bytes(const EmuProcess &emu, std::size_t count, int timeout_ms);

// True once at least `count` telegrams are logged; false after `timeout_ms`.
bool emu_wait_telegrams(const EmuProcess &emu, std::size_t count, int timeout_ms);

// True once the log holds `note` (as "note hangup"); false after `timeout_ms`.
bool emu_wait_note(const EmuProcess &emu, const std::string &note, int timeout_ms);

// Waits at most `timeout_ms` for the emulator to end by itself (--telegrams,
// an error); returns its exit_status, or -1 if it is still running.
int emu_wait_exit(EmuProcess *emu, int timeout_ms);

// SIGTERM, then waits (SIGKILL after 3 s); removes the log file unless
// `keep_log`. Returns exit_status (0 after a clean stop on SIGTERM).
int emu_stop(EmuProcess *emu, bool keep_log = false);

} // namespace horolan_test

#endif
