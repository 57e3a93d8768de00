#ifndef TEMPUS_TESTS_SUPPORT_STAGE_H
#define TEMPUS_TESTS_SUPPORT_STAGE_H

// A child dropped to nobody must still read the program it executes and the
// interposer it preloads, but a build folder in a clone under a private home
// (root's /root is mode 0700) is out of its reach. Such files are run from
// copies in a folder anyone may enter, made once per test process and
// removed when it exits.

#include <string>

namespace tproc {

// A path to the same file that nobody can reach: path itself when every
// folder above it lets others through, else a copy (same name and mode) in
// this process's staging folder. Aborts the process if no copy can be made.
std::string reachable_by_nobody(const std::string &path);

} // namespace tproc

#endif
