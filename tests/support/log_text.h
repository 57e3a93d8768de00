#ifndef TEMPUS_TESTS_SUPPORT_LOG_TEXT_H
#define TEMPUS_TESTS_SUPPORT_LOG_TEXT_H

// Reading what tempusd writes: its console lines and the lines of dcf.log.

#include <string>
#include <vector>

namespace tproc {

// The console form of a message: "[Program obslugi zegara Horolan]:- message\n".
std::string console_line(const std::string &message);

// True when text is one log line "[dd/mm/yyyy hh:mm:ss]:- message".
bool is_log_line(const std::string &text);

// The message part of a log line (after "]:- "); empty when it is none.
std::string log_message(const std::string &line);

// The messages of a whole log, stamps taken off, in order; lines without a
// stamp (the empty lines after a final message) are kept as they are.
std::vector<std::string> log_messages(const std::string &log);

} // namespace tproc

#endif
