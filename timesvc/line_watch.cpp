#include "timesvc/line_watch.h"

#include <fcntl.h>

#include <cerrno>

#include "timesvc/service_state.h"
#include "timesvc/sync_io.h"

static constexpr char TEXT_LINE_LOST[] = "Utracono polaczenie z zegarem Horolan.";
static constexpr char TEXT_LINE_BACK[] = "Przywrocono polaczenie z zegarem Horolan.";

static int line_fd = -1;
static const char *line_path = nullptr;
static long long dead_since_ms = -1; // the first of an unbroken run of dead reads; -1 none

void watch_line(int fd, const char *path)
{
    line_fd = fd;
    line_path = path;
    dead_since_ms = -1;
}

int watched_line()
{
    return line_fd;
}

bool note_dead_read(long long at_ms)
{
    if (dead_since_ms < 0)
        dead_since_ms = at_ms;
    return at_ms - dead_since_ms >= LINE_TIMEOUT_MS;
}

void note_live_read()
{
    dead_since_ms = -1;
}

void wait_out_read_timeout(long long started_ms)
{
    long long spent = tempus_sync_io.monotonic_ms() - started_ms;
    if (spent < 0)
        spent = 0;
    if (spent >= LINE_TIMEOUT_MS)
        return;
    tempus_sync_io.pause_seconds(static_cast<unsigned>((LINE_TIMEOUT_MS - spent + 999) / 1000));
}

// Opens and configures the line by its name; the descriptor, or -1 with
// *reason why it cannot be used (line_reason).
static int open_line_again(int *reason)
{
    if (line_path == nullptr) {
        *reason = LINE_MISSING;
        return -1;
    }
    const int fd = tempus_sync_io.open_port(line_path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd == -1) {
        *reason = line_reason_of(errno);
        return -1;
    }
    if (tempus_sync_io.configure_line(fd) != 0) {
        *reason = LINE_NOT_A_LINE;
        tempus_sync_io.close_port(fd);
        return -1;
    }
    return fd;
}

void reopen_line(int interval)
{
    tempus_sync_io.log(TEXT_LINE_LOST, tempus_sync_io.service_clock());
    state_note_line_lost(sync_io_seconds());
    // A replugged adapter comes back as a new device under the same name;
    // the old descriptor would never read from it.
    tempus_sync_io.close_port(line_fd);
    int fd = -1;
    while (fd == -1) {
        tempus_sync_io.pause_seconds(static_cast<unsigned>(LINE_TIMEOUT_MS / 1000));
        int reason = LINE_OK;
        fd = open_line_again(&reason);
        if (fd == -1)
            state_note_line_unusable(reason); // what an administrator asking now is told
    }
    watch_line(fd, line_path);
    tempus_sync_io.log(TEXT_LINE_BACK, tempus_sync_io.service_clock());
    state_note_line_restored(sync_io_seconds());
    tempus_sync_io.request_telegrams(fd, interval);
}
