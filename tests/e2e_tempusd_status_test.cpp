// tempusd /Q and the state file it reads, end to end: the real tempusd as
// nobody on the emulator's plain pseudo-terminal.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/e2e_tempusd.h"

namespace {

class E2ETempusdStatus : public tempusd_e2e::Fixture {
protected:
    // /Q until `done` says its run is the one awaited (at most timeout_ms).
    tproc::Result query_until(const std::function<bool(const tproc::Result &)> &done, int timeout_ms)
    {
        tproc::Result r;
        for (int waited = 0; waited <= timeout_ms; waited += 250) {
            r = tempusd({"/Q"});
            if (done(r))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
        return r;
    }

    static bool says(const tproc::Result &r, const std::string &text)
    {
        return r.out.find(text) != std::string::npos;
    }
};

// Running in each mode, then stopped: the summary and the exit codes.
TEST_F(E2ETempusdStatus, QueryTellsARunningServiceAndAStoppedOne)
{
    const int unit = 100 + key % 100; // a shared-memory unit of this test's own
    const struct {
        const char *what;
        std::vector<std::string> args;
        const char *mode;
        const char *last;
    } cases[] = {
        {"clock",
         {"/T1", "/S"},
         "Tryb: ustawianie zegara systemowego; port /dev/term/a; telegram co 1 min.",
         "Ostatnia synchronizacja: "},
        {"shared memory",
         {"/T1", "/S", "/N" + std::to_string(unit)},
         "Tryb: przekazywanie czasu serwerowi NTP (segment pamieci wspolnej ",
         "Ostatnia probka dla serwera NTP: "},
    };
    ASSERT_TRUE(start_emulator({"--minute-ms", "1000"}));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(tempusd(c.args).exit_code, 0);
        ASSERT_GT(wait_background(), 0);

        const tproc::Result running =
            query_until([](const tproc::Result &r) { return r.exit_code == 0; }, 5000);
        EXPECT_EQ(running.exit_code, 0) << running.out;
        EXPECT_TRUE(says(running, "Program obslugi zegara Horolan dziala (pid ")) << running.out;
        EXPECT_TRUE(says(running, c.mode)) << running.out;
        EXPECT_TRUE(says(running, "Polaczenie z zegarem: dziala.\n")) << running.out;
        EXPECT_TRUE(says(running, c.last)) << running.out;
        EXPECT_TRUE(running.err.empty()) << running.err;

        ASSERT_EQ(tempusd({"/D"}).exit_code, 2);
        EXPECT_NE(access((dir + "/tempusd.prom").c_str(), F_OK), 0) << "a stopped service exports nothing";
        const tproc::Result stopped = tempusd({"/Q"});
        EXPECT_EQ(stopped.exit_code, 2);
        EXPECT_EQ(stopped.out, "Program obslugi zegara Horolan nie jest zainstalowany.\n");
    }
    const int segment = shmget(static_cast<key_t>(0x4E545030 + unit), 0, 0);
    if (segment >= 0)
        shmctl(segment, IPC_RMID, nullptr);
    for (const std::string &m : log_messages())
        EXPECT_EQ(m.find("/Q"), std::string::npos) << "a query writes nothing to the log";
}

// A pseudo-terminal of the test's own: mode 0600 and root's, or held exclusively.
struct TestLine {
    int master = -1;
    int holder = -1;
    std::string path;
    TestLine()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0)
            path = ptsname(master);
    }
    ~TestLine()
    {
        if (holder >= 0)
            close(holder);
        if (master >= 0)
            close(master);
    }
    TestLine(const TestLine &) = delete;
    TestLine &operator=(const TestLine &) = delete;
};

// The line hangs up; while the service tries to open it again, /Q says which
// device and why it cannot be opened: missing, no permission, held by another.
TEST_F(E2ETempusdStatus, RealTimeLostLineTellsWhyItCannotBeOpened)
{
    ASSERT_TRUE(start_emulator({"--minute-ms", "1000", "--hangup-after", "2"}));
    const std::string line = dir + "/line";
    ASSERT_EQ(symlink(term_a.c_str(), line.c_str()), 0);
    term_a = line;
    ASSERT_EQ(tempusd({"/T1"}).exit_code, 0);
    ASSERT_GT(wait_background(), 0);
    ASSERT_TRUE(horolan_test::emu_wait_telegrams(emu, 2, 5000));
    unlink(line.c_str());

    TestLine closed;
    TestLine held;
    ASSERT_FALSE(closed.path.empty());
    ASSERT_FALSE(held.path.empty());
    ASSERT_EQ(chmod(closed.path.c_str(), 0600), 0);
    ASSERT_EQ(chmod(held.path.c_str(), 0666), 0);
    held.holder = open(held.path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(ioctl(held.holder, TIOCEXCL), 0);
    const struct {
        const char *why;
        std::string target; // what the line's name points at; empty: nothing
    } reasons[] = {
        {"brak urzadzenia", ""},
        {"brak uprawnien", closed.path},
        {"zajety przez inny proces", held.path},
    };
    for (const auto &r : reasons) {
        SCOPED_TRACE(r.why);
        unlink(line.c_str());
        if (!r.target.empty()) {
            ASSERT_EQ(symlink(r.target.c_str(), line.c_str()), 0);
        }
        // Told by the name tempusd opens, which the interposer maps to the test's line.
        const std::string told = std::string("; nie mozna otworzyc /dev/term/a: ") + r.why + ".\n";
        const tproc::Result q = query_until([&told](const tproc::Result &x) { return says(x, told); }, 65000);
        EXPECT_EQ(q.exit_code, 2) << q.out;
        EXPECT_TRUE(says(q, "Polaczenie z zegarem: utracone od ")) << q.out;
        EXPECT_TRUE(says(q, told)) << q.out;
    }
}

// The state file reads with the Prometheus project's own parser, and after a
// run with faults its counters are what dcf.log tells.
TEST_F(E2ETempusdStatus, StateFileParsesAndAgreesWithTheLog)
{
    if (system("/usr/bin/python3 -c 'import prometheus_client' 2>/dev/null") != 0)
        GTEST_SKIP() << "python3-prometheus-client is not installed";
    // One bad telegram, then every second one 0 to 20 s off: slews and steps.
    ASSERT_TRUE(start_emulator({"--minute-ms", "1000", "--bad-checksum", "1", "--random-offset", "20"}));
    ASSERT_EQ(tempusd({"/T1"}).exit_code, 0);
    ASSERT_GT(wait_background(), 0);
    // A failure early in a cycle holds the next back for the line's 20 s.
    ASSERT_TRUE(horolan_test::emu_wait_telegrams(emu, 27, 40000));
    horolan_test::emu_stop(&emu); // no cycle ends between the two readings below
    std::this_thread::sleep_for(std::chrono::seconds(1));

    tproc::Spawn parse;
    parse.argv = {"/usr/bin/python3", "-c",
                  "import sys\n"
                  "from prometheus_client.parser import text_string_to_metric_families as families\n"
                  "for f in families(open(sys.argv[1]).read()):\n"
                  "    for s in f.samples:\n"
                  "        labels = ','.join('%s=%s' % kv for kv in sorted(s.labels.items()))\n"
                  "        print('%s{%s} %g' % (s.name, labels, s.value))\n",
                  dir + "/tempusd.prom"};
    const tproc::Result parsed = tproc::run(parse);
    ASSERT_EQ(parsed.exit_code, 0) << parsed.err;
    std::map<std::string, double> value;
    for (const std::string &l : tproc::split_lines(parsed.out))
        value[l.substr(0, l.rfind(' '))] = std::stod(l.substr(l.rfind(' ') + 1));

    std::map<std::string, int> logged;
    for (const std::string &m : log_messages())
        ++logged[m.rfind("Nastapila synchronizacja", 0) == 0 ? "synchronised" : m];
    EXPECT_EQ(value["tempusd_synchronisations_total{correction=slew}"] +
                  value["tempusd_synchronisations_total{correction=step}"],
              logged["synchronised"]);
    EXPECT_EQ(value["tempusd_failures_total{kind=checksum_error}"],
              logged["Blad sumy kontrolnej w trakcie odczytu informacji z zegara Horolan."]);
    EXPECT_EQ(value["tempusd_failures_total{kind=checksum_error}"], 1);
    EXPECT_GE(logged["synchronised"], 3);
    EXPECT_EQ(value["tempusd_info{device=/dev/term/a,mode=clock,ntp_target=}"], 1);
    EXPECT_EQ(value["tempusd_line_info{reason=,state=up}"], 1);
    EXPECT_EQ(value["tempusd_interval_seconds{}"], 60);
}

} // namespace
