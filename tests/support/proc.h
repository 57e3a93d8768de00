#ifndef TEMPUS_TESTS_SUPPORT_PROC_H
#define TEMPUS_TESTS_SUPPORT_PROC_H

// Running the built programs from tests: spawn with extra environment, a
// working directory, optionally as nobody, under the clock interposer and/or
// libfaketime; capture output; wait with a time limit. Plus scratch
// directories, file helpers and per-test registry keys.
//
// Safety: every child drops CAP_SYS_TIME from its capability bounding set
// before exec, so a clock-setting call that slips past the interposer fails
// with EPERM instead of moving the machine's clock, even for root children.
//
// libfaketime leaves a semaphore and shared memory in /dev/shm behind when a
// process dies outright; run(), wait_pid(), kill_pid() and kill_registered()
// remove those of the processes they reap or kill, and every child clears
// stale ones carrying its own pid before exec (they would stop libfaketime).
//
// A child runs as nobody only when the test runs as root (an ordinary user's
// child stays that user, who cannot set the clock either). Where nobody cannot
// reach the program or a preloaded library (a clone in a private home), the
// child runs from copies it can reach (stage.h); argv[0] stays as given.
//
// Children with a preload get ASAN_OPTIONS=...:verify_asan_link_order=0 so a
// sanitizer-built program still starts behind the interposer.
//
// Typical end-to-end use:
//   tproc::Spawn sp;
//   sp.argv = {TEMPUSD_PATH, "/C1", "/T1"};
//   sp.cwd = tproc::make_scratch_dir();
//   sp.as_nobody = true;
//   sp.with_shim = true;
//   int key = tproc::unique_registry_key();
//   sp.env = {"TEMPUS_SHIM_SEM_KEY=" + std::to_string(key),
//             "TEMPUS_SHIM_TERM_A=" + slave_path,
//             "TEMPUS_SHIM_CLOCK_LOG=" + sp.cwd + "/clock.log"};
//   tproc::Result r = tproc::run(sp);
//   ... r.exit_code, r.err, tproc::read_file(sp.cwd + "/dcf.log") ...
//   tproc::kill_registered(key);          // background process + semaphore
//   tproc::remove_tree(sp.cwd);

#include <string>
#include <sys/types.h>
#include <vector>

namespace tproc {

// libfaketime as installed on the build machine (its path comes from the build).
inline constexpr const char *kFaketimeLib = TEMPUS_FAKETIME_LIB;

struct Spawn {
    std::vector<std::string> argv; // argv[0] is the program path (exec'd as is, no PATH search)
    // Extra "NAME=value" entries; each replaces an inherited or helper-made
    // entry of the same name (so "LD_PRELOAD=..." here overrides the order).
    std::vector<std::string> env;
    std::string cwd;        // working directory of the child; empty = the test's
    bool as_nobody = false; // run as nobody:nogroup with no supplementary groups
    bool with_shim = false; // LD_PRELOAD the clock interposer (tempus_shim)
    // libfaketime with a fixed setting, e.g. "+0", "-7", "@2026-03-29 01:59:30".
    // Empty = no libfaketime (unless faketime_file is set).
    std::string faketime;
    // libfaketime reading its setting from this file on every clock read
    // (FAKETIME_TIMESTAMP_FILE, FAKETIME_NO_CACHE=1; FAKETIME left unset
    // because it would win over the file). With with_shim the interposer
    // writes each recorded step/slew back into it (TEMPUS_SHIM_FAKETIME_FILE),
    // so the program's clock follows its own corrections. If the file does
    // not exist, it is created holding "+0". Only relative offsets
    // ("+N" / "-N" seconds) may be written to it. Keep it in a directory the
    // child can write (a scratch dir): the interposer replaces it by rename.
    std::string faketime_file;
    std::string stdin_data;     // written to the child's standard input (then closed)
    bool close_std_fds = false; // exec with descriptors 0, 1 and 2 closed: nothing is written or captured
    int timeout_ms = 10000;     // run(): kill the child's process group after this
    // spawn() only: where the child's stdout/stderr go (appended); empty = /dev/null.
    std::string stdout_path;
    std::string stderr_path;
};

struct Result {
    bool exited = false; // normal exit; exit_code valid
    int exit_code = -1;
    int term_signal = 0;    // signal that ended it, if not exited
    bool timed_out = false; // killed (SIGKILL to its process group) on overrun
    std::string out;        // everything the program wrote to stdout
    std::string err;        // ... and to stderr
};

// Runs the program and waits for it (at most timeout_ms). Output is collected
// until the program itself exits; descendants that keep the pipes open (a
// background process that forgot to close them) do not hold up the return.
Result run(const Spawn &sp);

// Starts the program without waiting; returns its pid (-1 on failure). The
// child leads its own process group. Collect it with wait_pid().
pid_t spawn(const Spawn &sp);

// Waits for a child started by spawn(); on overrun kills its process group
// with SIGKILL, reaps it and reports timed_out. out/err stay empty.
Result wait_pid(pid_t pid, int timeout_ms);

// Sends SIGKILL to pid (if > 1) and reaps it if it is our child.
void kill_pid(pid_t pid);

// The full LD_PRELOAD value run()/spawn() use for this combination, in the
// order the interposer needs: interposer first, libfaketime second.
std::string preload_value(bool with_shim, bool with_faketime);

// A fresh directory under /tmp, mode 0777 so a child running as nobody can
// create files in it. Aborts the process if none can be made.
std::string make_scratch_dir();
// Removes a directory tree (best effort).
void remove_tree(const std::string &path);

// Whole content of a file; empty if it cannot be read.
std::string read_file(const std::string &path);
// Writes (replaces) a file with mode 0666; true on success.
bool write_file(const std::string &path, const std::string &content);
bool file_exists(const std::string &path);
// Number of '\n'-terminated lines (a last line without '\n' counts too).
int count_lines(const std::string &text);
// The lines of text, without their '\n'.
std::vector<std::string> split_lines(const std::string &text);

// Polls the file every 20 ms until it holds at least n lines; returns the
// final line count (less than n on time-out).
int wait_for_lines(const std::string &path, int n, int timeout_ms);
// Polls until pred() is true; returns whether it became true in time.
bool wait_until(bool (*pred)(void *ctx), void *ctx, int timeout_ms);

// A System V key unique to this test process and call (never 56142); any
// stale semaphore set left under it by an earlier run is removed first.
int unique_registry_key();
// Pid recorded in semaphore 0 of the set with this key (semctl GETPID);
// -1 if no such set, 0 if no pid recorded yet.
pid_t registered_pid(int key);
// Removes the semaphore set with this key, if any; true if one was removed.
bool remove_registry(int key);
// Cleanup after a test that installed the service: kills the process whose
// pid the registry records (SIGKILL) and removes the set.
void kill_registered(int key);

} // namespace tproc

#endif
