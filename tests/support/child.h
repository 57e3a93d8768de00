#ifndef TEMPUS_TESTS_SUPPORT_CHILD_H
#define TEMPUS_TESTS_SUPPORT_CHILD_H

// Runs a piece of the programs' own code in a forked child, so that its
// exits, its process-wide state (option counters, the time zone, the working
// directory) stay out of the test process.

#include <functional>
#include <string>
#include <vector>

namespace tproc {

struct ChildRun {
    bool exited = false; // normal exit; exit_code valid
    int exit_code = -1;
    std::string console; // what the child wrote on standard error
    std::string out;     // ... and on standard output
};

// body runs in the child, in `dir` when it is not empty, and its result is
// the child's exit status unless it ends the process itself first. A child
// still running after 60 s is ended by SIGALRM.
ChildRun run_in_child(const std::string &dir, const std::function<int()> &body);

// body(0) .. body(count - 1), each in a child of its own as above, all at
// once (one per core makes a long check take half the time); their runs in
// that order.
std::vector<ChildRun> run_in_children(int count, const std::function<int(int)> &body);

// tempusd's main routine on these arguments, run as above, with the registry
// moved to `key`; its result is the child's exit status.
ChildRun run_tempusd_main(const std::string &dir, int key, std::vector<std::string> args);

// In a child made as above: a private mount namespace, and in it a tmpfs of
// `size` ("64k") on the folder `path`, which goes with the child; or false.
bool mount_private_tmpfs(const std::string &path, const char *size);

} // namespace tproc

#endif
