#ifndef TEMPUS_EMULATOR_LINE_H
#define TEMPUS_EMULATOR_LINE_H

// The receiver's end of the serial line: the master side of a new
// pseudo-terminal, or a terminal device named on the command line.

namespace horolan {

struct Line {
    int fd = -1;         // the receiver's end, non-blocking
    int keep_fd = -1;    // our own descriptor of the host's end (pseudo-terminal only)
    int watch_fd = -1;   // reports hosts opening and closing the host's end; -1 if unavailable
    int hosts = 0;       // hosts that have the host's end open now
    char path[256] = {}; // what the host opens
};

// Opens a pseudo-terminal: the host's end is made raw and opened to everyone
// (mode 0666), and held open here, so that hosts may open and close it in turn
// without the line hanging up. Returns 0, or -1 with errno set.
int open_pty_line(Line *line);

// Opens and configures a terminal device for the receiver's end. Returns 0, or -1 with errno set.
int open_device_line(const char *path, Line *line);

constexpr int HOST_FIRST_OPEN = 1;
constexpr int HOST_LAST_CLOSE = 2;

// Takes the pending open and close reports of the host's end into
// `line->hosts`. When the last host has closed it, or the first opens it, the
// bytes no host read are discarded, as a serial port discards them when
// nobody has it open; when the last has closed it, a host's exclusive mode
// (TIOCEXCL) ends as well. Returns the HOST_* transitions seen, or-ed.
int update_host_count(Line *line);

// Points the symbolic link `link` at `target`, replacing whatever is there in
// one step (a host opening `link` meanwhile finds the old or the new line).
// Returns 0, or -1 with errno set.
int point_link(const char *link, const char *target);

// Closes every descriptor; the host sees the line hang up.
void close_line(Line *line);

} // namespace horolan

#endif
