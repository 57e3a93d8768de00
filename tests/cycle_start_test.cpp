// Opening the receiver's port, the start line, the immediate cycle of /S and
// the first request; the failures that end the installation.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/cycle_fake.h"
#include "timesvc/sync_cycle.h"

using namespace cycle_fake;
using bytes = std::vector<unsigned char>;

static const char STARTED[] = "Synchronizacja czasu rozpoczeta.";
static const char BAD_PORT[] = "Nieoczekiwany numer portu szeregowego. Koniec ... ";
static const char PORT_UNUSABLE[] = "Nie mozna otworzyc portu szeregowego. Koniec ... ";
static const char NO_TELEGRAM[] = "Nie mozna odczytac zegara Horolan w przewidywanym momencie.";

// The line handed out by the fake open, and what it was asked for.
static int cycle_start_line = -1;
static std::string cycle_start_path;
static int cycle_start_flags = 0;
static bool cycle_start_announce = false; // a child reports its opens on stderr

static int open_fake_line(const char *path, int flags)
{
    cycle_start_path = path;
    cycle_start_flags = flags;
    if (cycle_start_announce)
        fprintf(stderr, "open %s\n", path);
    return cycle_start_line;
}

static int open_null_device(const char *, int flags)
{
    return open("/dev/null", flags);
}

static int configure_ok(int)
{
    return 0;
}

static void deinstall_returns(int failed)
{
    fprintf(stderr, "deinstall %d\n", failed);
}

class CycleStart : public CycleTest {
protected:
    void SetUp() override
    {
        CycleTest::SetUp();
        cycle_start_line = line;
        cycle_start_path.clear();
        cycle_start_flags = 0;
        tempus_sync_io.open_port = open_fake_line;
        tempus_sync_io.configure_line = configure_ok;
        tempus_sync_io.deinstall = deinstall_returns;
    }
};

static std::string console_line(const char *text)
{
    return std::string("[Program obslugi zegara Horolan]:- ") + text + "\n";
}

TEST_F(CycleStart, PortNumberOutsideOneToFourEndsTheInstallation)
{
    for (int port : {0, 5, -1}) {
        SCOPED_TRACE(port);
        TearDown();
        SetUp();

        const child_outcome run = run_in_child([port] {
            cycle_start_announce = true;
            int fd = -1;
            start_dcf(&fd, 60, port, 0);
        });

        EXPECT_EQ(run.exit_code, 3);
        EXPECT_EQ(run.console, console_line(BAD_PORT) + "deinstall 1\n") << "nothing opened";
        EXPECT_EQ(logged(), std::vector<std::string>{BAD_PORT});
    }
}

TEST_F(CycleStart, PortThatCannotBeOpenedEndsTheInstallation)
{
    tempus_sync_io.open_port = real_sync_table().open_port;
    if (access("/dev/term/d", F_OK) == 0)
        GTEST_SKIP() << "this machine has /dev/term/d";

    const child_outcome run = run_in_child([] {
        int fd = 0;
        start_dcf(&fd, 60, 4, 0);
    });

    EXPECT_EQ(run.exit_code, 3);
    EXPECT_EQ(run.console, console_line(PORT_UNUSABLE) + "deinstall 1\n");
    EXPECT_EQ(logged(), std::vector<std::string>{PORT_UNUSABLE});
}

// A device that opens but is no terminal: the line layer reports the failed
// configuration, and the installation ends as for a port that cannot be opened.
TEST_F(CycleStart, LineThatCannotBeConfiguredEndsTheInstallation)
{
    tempus_sync_io.open_port = open_null_device;
    tempus_sync_io.configure_line = real_sync_table().configure_line;

    const child_outcome run = run_in_child([] {
        int fd = 0;
        start_dcf(&fd, 60, 1, 0);
    });

    EXPECT_EQ(run.exit_code, 3);
    EXPECT_NE(run.console.find("ERROR: "), std::string::npos) << run.console;
    EXPECT_NE(run.console.find(console_line(PORT_UNUSABLE) + "deinstall 1\n"), std::string::npos)
        << run.console;
    EXPECT_EQ(logged(), std::vector<std::string>{PORT_UNUSABLE});
}

TEST_F(CycleStart, StartsAndRequestsTelegramsAtTheInterval)
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
        TearDown();
        SetUp();
        if (c.receiver_answers)
            feed_bytes(telegram(12, 0, 0), 0);
        int fd = -1;

        start_dcf(&fd, c.interval, 3, c.sflag);

        EXPECT_EQ(fd, line);
        EXPECT_EQ(cycle_start_path, "/dev/term/c");
        EXPECT_EQ(cycle_start_flags, O_RDWR | O_NOCTTY);
        EXPECT_EQ(requests(), c.requests);
        EXPECT_EQ(logged(), c.log);
        EXPECT_EQ(fake().reads, c.sflag ? (c.receiver_answers ? 10 : 4) : 0)
            << "the start cycle runs with an interval of one minute";
    }
}
