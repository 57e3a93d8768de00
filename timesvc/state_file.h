#ifndef TEMPUS_TIMESVC_STATE_FILE_H
#define TEMPUS_TIMESVC_STATE_FILE_H

#include <cstddef>

// Replaces the state file in the working directory with `text`: written whole
// under another name with the process's file mode mask, then renamed over it,
// so a reader sees the old file or the new one, never half of one, and a
// symbolic link planted under either name is replaced, never followed.
// Returns 0, or -1 with errno.
int replace_state_file(const char *text, std::size_t length);

#endif
