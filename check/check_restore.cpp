#include "check/check_restore.h"

#include <csignal>

static int kept_fd = -1;
static struct termios kept_settings;

static constexpr int ENDING_SIGNALS[] = {SIGHUP, SIGINT, SIGTERM, SIGALRM};

// tcsetattr is async-signal-safe; the signal then ends the program as it would have.
static void restore_and_end(int signal_number)
{
    if (kept_fd >= 0)
        (void)tcsetattr(kept_fd, TCSANOW, &kept_settings);
    (void)std::signal(signal_number, SIG_DFL);
    (void)std::raise(signal_number);
}

void keep_line_settings(int fd, const struct termios *before)
{
    kept_settings = *before;
    kept_fd = fd;
    struct sigaction action = {};
    action.sa_handler = restore_and_end;
    sigemptyset(&action.sa_mask);
    for (const int s : ENDING_SIGNALS)
        (void)sigaddset(&action.sa_mask, s);
    for (const int s : ENDING_SIGNALS)
        (void)sigaction(s, &action, nullptr);
}

int restore_line_settings()
{
    if (kept_fd < 0)
        return 0;
    // The request went out long before the telegram came in: nothing to drain.
    const int result = tcsetattr(kept_fd, TCSANOW, &kept_settings);
    kept_fd = -1;
    return result;
}
