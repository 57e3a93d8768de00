// Opening the receiver's port, the start line, the immediate cycle of /S and
// the first request; the failures that end the installation.

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/child.h"
#include "tests/support/fakes.h"
#include "tests/support/log_text.h"
#include "tests/support/proc.h"
#include "timesvc/dcf_log.h"
#include "timesvc/sync_cycle.h"

using namespace fakes;
using bytes = std::vector<unsigned char>;

static const char STARTED[] = "Synchronizacja czasu rozpoczeta.";
static const char BAD_PORT[] = "Nieoczekiwany numer portu szeregowego. Koniec ... ";
static const char PORT_UNUSABLE[] = "Nie mozna otworzyc portu szeregowego. Koniec ... ";
static const char NO_TELEGRAM[] = "Nie mozna odczytac zegara Horolan w przewidywanym momencie.";

// An installation that ends runs in a child in a scratch folder; what it
// printed and what reached its dcf.log come back.
struct ended_start {
    tproc::ChildRun run;
    std::vector<std::string> logged;
};

static ended_start start_in_child(int port, const char *device = nullptr)
{
    const std::string dir = tproc::make_scratch_dir();
    ended_start ended;
    ended.run = tproc::run_in_child(dir, [port, device] {
        // Said on the console, beside the lines logged, which the journal has as well.
        tempus_log_io.journal = [](const char *text, int priority) {
            if (priority != LOG_INFO)
                fprintf(stderr, "journal: %s\n", text);
        };
        tempus_sync_io.notify = [](const char *state) {
            return fprintf(stderr, "notify: %s\n", state) > 0 ? 1 : -1;
        };
        int fd = -1;
        if (device != nullptr)
            start_dcf_on(&fd, 60, device, 0);
        start_dcf(&fd, 60, port, 0);
        return 99;
    });
    ended.logged = tproc::log_messages(tproc::read_file(dir + "/dcf.log"));
    tproc::remove_tree(dir);
    return ended;
}

TEST(CycleStart, PortNumberOutsideOneToFourEndsTheInstallation)
{
    for (int port : {0, 5, -1}) {
        SCOPED_TRACE(port);
        FakeCycle f;
        tempus_sync_io.open_port = [](const char *path, int) {
            fprintf(stderr, "open %s\n", path);
            return LINE_FD;
        };

        const ended_start ended = start_in_child(port);

        EXPECT_EQ(ended.run.exit_code, 3);
        EXPECT_EQ(ended.run.console, tproc::console_line(BAD_PORT) + "deinstall 1\n") << "nothing opened";
        EXPECT_EQ(ended.logged, std::vector<std::string>{BAD_PORT});
    }
}

// Whatever keeps the line from being used, the installation ends with the
// same two lines; the journal alone is told which device and why.
TEST(CycleStart, UnusableLineEndsTheInstallationAndTheJournalSaysWhy)
{
    const struct {
        const char *device;
        int open_errno; // 0: the real open
        int configured; // what the line settings answer
        const char *why;
    } cases[] = {
        {"/dev/term/a", ENOENT, 0, "brak urzadzenia"},
        {"/dev/term/a", EBUSY, 0, "zajety przez inny proces"},
        {"/etc/passwd", 0, 0, "to nie jest port szeregowy"},
        {"/dev/term/a", 0, -1, "to nie jest port szeregowy"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        FakeCycle f;
        f.open_results = {c.open_errno != 0 ? -1 : LINE_FD};
        f.open_errno = c.open_errno;
        if (c.open_errno == 0 && c.configured == 0)
            tempus_sync_io.open_port = real_sync_table().open_port;
        f.configure_results = {c.configured};
        const ended_start ended = start_in_child(0, c.device);
        EXPECT_EQ(ended.run.exit_code, 3);
        const std::string why = "Nie mozna otworzyc " + std::string(c.device) + ": " + c.why + ".\n";
        EXPECT_EQ(ended.run.console, "journal: " + why + "notify: STATUS=" + why +
                                         tproc::console_line(PORT_UNUSABLE) + "deinstall 1\n");
        EXPECT_EQ(ended.logged, std::vector<std::string>{PORT_UNUSABLE});
    }
}

TEST(CycleStart, StartsAndRequestsTelegramsAtTheInterval)
{
    const struct {
        const char *what;
        int sflag;
        bool receiver_answers;
        int interval;
        bytes requests;
        std::vector<std::string> log;
    } cases[] = {
        {"plain start", 0, true, 60, {0x78, 0x7C}, {STARTED}},
        {"/S, good telegram", 1, true, 15, {0x78, 0x41, 0x78, 0x4F}, {STARTED}},
        {"/S, silent receiver", 1, false, 63, {0x78, 0x41, 0x78, 0x41, 0x78, 0x7F}, {STARTED, NO_TELEGRAM}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        FakeCycle f;
        if (c.receiver_answers)
            f.feed_bytes(telegram(12, 0, 0), 0);
        int fd = -1;

        start_dcf(&fd, c.interval, 3, c.sflag);

        EXPECT_EQ(fd, LINE_FD);
        EXPECT_EQ(f.opened_path, "/dev/term/c");
        EXPECT_EQ(f.opened_flags, O_RDWR | O_NOCTTY | O_NONBLOCK)
            << "a port without carrier cannot hold the start";
        EXPECT_EQ(f.requests(), c.requests);
        EXPECT_EQ(f.logged(), c.log);
        EXPECT_EQ(f.reads, c.sflag ? (c.receiver_answers ? 10 : 4) : 0)
            << "the start cycle runs with an interval of one minute";
    }
}
