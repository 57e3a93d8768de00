#include "timesvc/text_buffer.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

text_buffer text_in(char *text, std::size_t size)
{
    if (size > 0)
        text[0] = '\0';
    return text_buffer{text, size, 0, size == 0};
}

void text_append(text_buffer *out, const char *format, ...)
{
    if (out->overflow)
        return;
    va_list args;
    va_start(args, format);
    // va_start is just above: clang-tidy 14 reports it uninitialized when it
    // checks several files in one run, never when it checks this file alone.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    const int n = vsnprintf(out->text + out->used, out->size - out->used, format, args);
    va_end(args);
    if (n < 0 || static_cast<std::size_t>(n) >= out->size - out->used) {
        out->overflow = true;
        return;
    }
    out->used += static_cast<std::size_t>(n);
}

void text_append_wall_clock(text_buffer *out, long long when)
{
    const auto t = static_cast<time_t>(when);
    struct tm fields = {};
    if (when == 0 || localtime_r(&t, &fields) == nullptr) {
        text_append(out, "?");
        return;
    }
    text_append(out, "%02d/%02d/%04d %02d:%02d:%02d", fields.tm_mday, fields.tm_mon + 1,
                fields.tm_year + 1900, fields.tm_hour, fields.tm_min, fields.tm_sec);
}

int text_length(const text_buffer &out)
{
    return out.overflow ? -1 : static_cast<int>(out.used);
}
