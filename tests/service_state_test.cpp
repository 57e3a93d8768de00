// What the running service tells those who watch it: the state file after
// every cycle and at the loss of the line, read back as /Q reads it, the
// service manager's status and readiness, and /Q's verdict.

#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "link/rd_wr_rp.h"
#include "service/dcf_sem.h"
#include "service/registry_io.h"
#include "service/status_query.h"
#include "tests/support/child.h"
#include "tests/support/fakes.h"
#include "tests/support/proc.h"
#include "timesvc/line_watch.h"
#include "timesvc/state_file.h"
#include "timesvc/sync_cycle.h"

using namespace fakes;

namespace {

service_state read_back(const std::string &file)
{
    service_state s{};
    EXPECT_EQ(parse_state_file(file.c_str(), &s), 0) << file;
    return s;
}

int count_ready(const std::vector<std::string> &notices)
{
    int ready = 0;
    for (const std::string &n : notices)
        ready += n.rfind("READY=1\n", 0) == 0 ? 1 : 0;
    return ready;
}

TEST(ServiceState, EveryCycleIsCountedPublishedAndToldToTheServiceManager)
{
    FakeCycle f;
    state_begin("clock", "", "/dev/term/a", 1, f.system_start);
    start_publishing_state();
    const struct {
        long ahead; // the receiver's, in seconds; no telegram: a bad checksum
        const char *last;
    } cycles[] = {{0, "synchronised"}, {99, "checksum_error"}, {3, "synchronised"}};

    for (const auto &c : cycles) {
        // byte 0 on the next whole second
        const time_t second = f.system_start + f.now_ms / 1000 + 1;
        std::vector<unsigned char> t = telegram_at(second + c.ahead);
        if (c.ahead == 99)
            t[8] ^= 1;
        f.feed_bytes(t, 1000 - f.now_ms % 1000);
        synchronize_time(LINE_FD, 1);
        const service_state s = read_back(f.states.back());
        EXPECT_STREQ(state_outcome_name(s.last_outcome), c.last);
    }

    const service_state s = read_back(f.states.back());
    EXPECT_STREQ(s.mode, "clock");
    EXPECT_STREQ(s.device, "/dev/term/a");
    EXPECT_EQ(s.interval_minutes, 1);
    EXPECT_EQ(s.outcomes[OUTCOME_SYNCHRONISED], 2u);
    EXPECT_EQ(s.corrections[CORRECTION_KIND_NONE], 1u);
    EXPECT_EQ(s.corrections[CORRECTION_KIND_SLEW], 1u);
    EXPECT_EQ(s.outcomes[OUTCOME_CHECKSUM_ERROR], 1u);
    EXPECT_DOUBLE_EQ(s.last_offset, 3.0);
    EXPECT_EQ(f.states.size(), 3u);
    ASSERT_EQ(f.notices.size(), 3u);
    EXPECT_EQ(count_ready(f.notices), 1) << "ready once";
    EXPECT_EQ(f.notices.front().rfind("READY=1\n", 0), 0u)
        << "ready with the first state, synchronised or not";
    EXPECT_NE(f.notices.back().find("STATUS=Ostatnia synchronizacja "), std::string::npos)
        << f.notices.back();
    EXPECT_NE(f.notices.back().find(", przesuniecie +3 s; bledow: 1."), std::string::npos)
        << f.notices.back();
}

// While the line is lost, the state says so at once and then why it cannot
// be opened again; when it is back, so is the state.
TEST(ServiceState, LostLineAndWhyItCannotBeOpenedAreToldAtOnce)
{
    FakeCycle f;
    state_begin("sock", "/run/chrony.dcf.sock", "/dev/term/a", 1, f.system_start);
    start_publishing_state();
    for (int i = 0; i < 4; ++i)
        f.feed_result(SERIAL_READ_ERROR, 0);
    f.open_results = {-1, -1};
    f.open_errno = EBUSY;

    synchronize_time(watched_line(), 1);
    synchronize_time(watched_line(), 1);

    ASSERT_GE(f.states.size(), 4u);
    const service_state lost = read_back(f.states[f.states.size() - 4]);
    EXPECT_FALSE(lost.line_up);
    EXPECT_EQ(lost.line_reason, LINE_OK) << "lost, not yet tried again";
    EXPECT_EQ(read_back(f.states[f.states.size() - 3]).line_reason, LINE_HELD) << "written at every try";
    const service_state held = read_back(f.states[f.states.size() - 2]);
    EXPECT_FALSE(held.line_up);
    EXPECT_EQ(held.line_reason, LINE_HELD);
    EXPECT_EQ(status_exit_code(held, held.state_time), QUERY_NOT_RUNNING);
    const service_state back = read_back(f.states.back());
    EXPECT_TRUE(back.line_up);
    EXPECT_EQ(back.lines_lost, 1u);
    EXPECT_EQ(back.lines_restored, 1u);
}

TEST(StatusQuery, ExitCodeFollowsTheLastSynchronisationAndTheLine)
{
    service_state s{};
    s.interval_minutes = 10;
    s.line_up = true;
    const struct {
        const char *what;
        long long last_sync;
        long long written; // the state file
        bool line_up;
        int code;
    } cases[] = {
        {"synchronised a minute ago", 9940, 9940, true, QUERY_SYNCHRONISED},
        {"three intervals ago", 8200, 9990, true, QUERY_SYNCHRONISED},
        {"longer ago", 8199, 9990, true, QUERY_NOT_SYNCHRONISED},
        {"never", 0, 9990, true, QUERY_NOT_SYNCHRONISED},
        {"line lost", 9940, 9990, false, QUERY_NOT_RUNNING},
        {"state written three intervals ago", 8200, 8200, false, QUERY_NOT_RUNNING},
        {"state written longer ago", 8200, 8199, false, QUERY_UNREADABLE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        s.last_sync_time = c.last_sync;
        s.line_up = c.line_up;
        s.state_time = c.written;
        EXPECT_EQ(status_exit_code(s, 10000), c.code);
    }
}

// The state file as the service writes it, /Q's report of it line by line.
TEST(StatusQuery, ReportTellsModeLineLastTelegramAndFailures)
{
    FakeCycle f;
    state_begin("shm", "2", "/dev/ttyUSB0", 10, f.system_start);
    state_note_offset(0.0123);
    state_note_outcome(OUTCOME_SAMPLE_DELIVERED, f.system_start + 5);
    state_note_outcome(OUTCOME_NO_TELEGRAM, f.system_start + 700);
    state_note_line_lost(f.system_start + 800);
    state_note_line_unusable(LINE_MISSING);
    char file[8192];
    ASSERT_GT(format_state_file(current_state(), f.system_start + 900, file, sizeof file), 0);
    const service_state s = read_back(file);
    char text[2048];
    ASSERT_GT(format_status_report(s, 4242, f.system_start + 905, text, sizeof text), 0);

    const std::string report = text;
    const std::vector<std::string> expected = {
        "Program obslugi zegara Horolan dziala (pid 4242) od ",
        wall_text(f.system_start) + ".\n",
        "Stan zapisany ",
        ", 5 s temu.\n",
        std::string("Tryb: przekazywanie czasu serwerowi NTP (segment pamieci wspolnej 2); ") +
            "port /dev/ttyUSB0; telegram co 10 min.\n",
        "Polaczenie z zegarem: utracone od ",
        "; nie mozna otworzyc /dev/ttyUSB0: brak urzadzenia.\n",
        "Ostatni telegram: ",
        ", brak telegramu.\n",
        "Ostatnia probka dla serwera NTP: ",
        ", przesuniecie +0.012 s.\n",
        "Probki dla serwera NTP: przekazane 1, nieprzekazane 0.\n",
        "Bledy: 1 (brak telegramu 1); niepewny czas: 0; polaczenie utracone 1, przywrocone 0.\n",
    };
    size_t at = 0;
    for (const std::string &piece : expected) {
        const size_t found = report.find(piece, at);
        EXPECT_NE(found, std::string::npos) << piece << "\nin\n" << report;
        at = found == std::string::npos ? at : found + piece.size();
    }
}

// A FIFO under the state file's name: /Q says so at once, never waiting on it.
TEST(StatusQuery, StateThatIsNoRegularFileIsExitCodeThreeAtOnce)
{
    const int key = tproc::unique_registry_key();
    const std::string dir = tproc::make_scratch_dir();
    const tproc::ChildRun run = tproc::run_in_child(dir, [key] {
        tempus_registry_io.key = key; // this process, registered, is the service
        prctl(PR_SET_NAME, "tempusd", 0, 0, 0);
        alarm(5);
        return mkfifo(STATE_FILE, 0644) == 0 && sem_leave_pid(sem_create(key), 1) == 0 ? query_status() : 99;
    });
    tproc::remove_registry(key);
    tproc::remove_tree(dir);
    EXPECT_EQ(run.exit_code, QUERY_UNREADABLE) << run.out;
    EXPECT_NE(run.out.find("/tempusd.prom nie jest plikiem stanu.\n"), std::string::npos) << run.out;
}

} // namespace

namespace {

// The file is replaced whole, with the process's mask, and links planted
// under either of its names are replaced, never followed.
TEST(ServiceState, StateFileIsReplacedNeverFollowed)
{
    const std::string dir = tproc::make_scratch_dir();
    ASSERT_TRUE(tproc::write_file(dir + "/target", "kept\n"));
    ASSERT_EQ(symlink("target", (dir + "/" + STATE_FILE).c_str()), 0);
    ASSERT_EQ(symlink("target", (dir + "/" + STATE_FILE_NEW).c_str()), 0);
    const tproc::ChildRun run = tproc::run_in_child(dir, [] {
        umask(027);
        return replace_state_file("tempusd_info 1\n", 15) == 0 ? 0 : 1;
    });
    EXPECT_EQ(run.exit_code, 0);
    struct stat info = {};
    ASSERT_EQ(lstat((dir + "/" + STATE_FILE).c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_EQ(tproc::read_file(dir + "/" + STATE_FILE), "tempusd_info 1\n");
    EXPECT_EQ(tproc::read_file(dir + "/target"), "kept\n");
    EXPECT_NE(access((dir + "/" + STATE_FILE_NEW).c_str(), F_OK), 0);
    tproc::remove_tree(dir);
}

} // namespace
