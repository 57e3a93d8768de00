#ifndef TEMPUS_TIMESVC_TEXT_BUFFER_H
#define TEMPUS_TIMESVC_TEXT_BUFFER_H

#include <cstddef>

// A text built piece by piece in a fixed buffer, for the state file and the
// status texts: once a piece does not fit, the buffer counts as overflowed
// and takes nothing more.
struct text_buffer {
    char *text;
    std::size_t size;
    std::size_t used;
    bool overflow;
};

// An empty text in `text` (size bytes).
text_buffer text_in(char *text, std::size_t size);

// Appends what printf would print.
[[gnu::format(printf, 2, 3)]] void text_append(text_buffer *out, const char *format, ...);

// Appends the system's wall-clock time at `when` (Unix seconds) as
// dd/mm/yyyy hh:mm:ss, as the log shows its stamps; "?" for 0 or a time the
// C library cannot split.
void text_append_wall_clock(text_buffer *out, long long when);

// The text's length, or -1 when it overflowed.
int text_length(const text_buffer &out);

#endif
