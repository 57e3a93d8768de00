#ifndef TEMPUS_SERVICE_STATUS_QUERY_H
#define TEMPUS_SERVICE_STATUS_QUERY_H

// tempusd /Q: the installed service is found through the registry (its pid)
// and its state file through that process's working directory, and told in
// a few Polish lines on standard output, with an exit code as monitoring
// checks read it.

#include <cstddef>

#include "timesvc/service_state.h"

// Exit codes of /Q.
constexpr int QUERY_SYNCHRONISED = 0;     // running, synchronised within the last three intervals
constexpr int QUERY_NOT_SYNCHRONISED = 1; // running, but not synchronised within them (or never)
constexpr int QUERY_NOT_RUNNING = 2;      // not running, or its line is lost
constexpr int QUERY_UNREADABLE = 3;       // the registry or the state cannot be read

// Reads a state file's text back into *out. 0, or -1 when it is not one (the
// service's identity or its interval is missing).
int parse_state_file(const char *text, service_state *out);

// The exit code for a running service in this state, read back, at `now`:
// a state older than three intervals is as good as unreadable.
int status_exit_code(const service_state &state, long long now);

// The summary of a running service with this pid, in Polish, at `now`, into
// text; its length, or -1 when it does not fit.
int format_status_report(const service_state &state, long pid, long long now, char *text, std::size_t size);

// The whole query: prints what it finds and returns its exit code.
int query_status();

#endif
