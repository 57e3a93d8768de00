#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "calendar/rwdate.h"
#include "calendar/rwtime.h"
#include "calendar/zone.h"
#include "service/dcf_prog.h"
#include "tests/support/child.h"
#include "tests/support/log_text.h"
#include "tests/support/proc.h"
#include "timesvc/dcf_log.h"
#include "timesvc/service_state.h"

namespace {

class ServiceLog : public ::testing::Test {
protected:
    void SetUp() override { dir_ = tproc::make_scratch_dir(); }
    void TearDown() override { tproc::remove_tree(dir_); }
    std::string dir_;
};

TEST_F(ServiceLog, AppendsStampedLinesDayFirstWithLeadingZeros)
{
    tproc::ChildRun run = tproc::run_in_child(dir_, []() {
        write_to_log("pierwszy", RWTime(RWDate(31, 12, 1999), 8, 7, 9, RWZone::local()));
        write_to_log("drugi\n\n", RWTime(RWDate(5, 3, 1996), 23, 0, 0, RWZone::local()));
        return 0;
    });
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.console, "");
    EXPECT_EQ(tproc::read_file(dir_ + "/dcf.log"), "[31/12/1999 08:07:09]:- pierwszy\n"
                                                   "[05/03/1996 23:00:00]:- drugi\n\n\n");
}

// What takes the log's name instead of a regular file: a directory ('d'), a
// symlink to the file "cel" ('l') or a FIFO ('p'); 0 on success.
int make_in_place_of_log(char kind, const char *path)
{
    switch (kind) {
    case 'd': return mkdir(path, 0755);
    case 'l': return symlink("cel", path);
    default: return mkfifo(path, 0666);
    }
}

TEST_F(ServiceLog, LogThatCannotBeOpenedEndsTheProcess)
{
    const std::string log = dir_ + "/dcf.log";
    const std::string target = dir_ + "/cel";
    ASSERT_TRUE(tproc::write_file(target, "nie ruszac\n"));
    const struct {
        const char *what;
        char kind;
    } cases[] = {
        {"directory", 'd'},
        {"symlink to another file", 'l'},
        {"FIFO without a reader", 'p'},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        (void)remove(log.c_str());
        ASSERT_EQ(make_in_place_of_log(c.kind, log.c_str()), 0);
        tproc::ChildRun run = tproc::run_in_child(dir_, []() {
            alarm(5); // a log that blocks must not hold the process
            write_to_log("nigdy", RWTime(RWDate(1, 2, 2003), 4, 5, 6, RWZone::local()));
            return 0;
        });
        EXPECT_TRUE(run.exited);
        EXPECT_EQ(run.exit_code, 2);
        EXPECT_EQ(run.console,
                  tproc::console_line("Nie mozna otworzyc dziennika zegara Horolan. Koniec ..."));
    }
    EXPECT_EQ(tproc::read_file(target), "nie ruszac\n");
}

// A full file system: the lines dcf.log and the state file cannot take are
// lost, the journal says so once, and once more when writing works again.
TEST_F(ServiceLog, FullDiskIsToldInTheJournalOnceEachWay)
{
    ASSERT_EQ(mkdir((dir_ + "/small").c_str(), 0755), 0);
    const tproc::ChildRun run = tproc::run_in_child(dir_, [] {
        tempus_log_io.journal = [](const char *text, int) {
            printf("%s\n", text);
        };
        if (!tproc::mount_private_tmpfs("small", "64k") || chdir("small") != 0)
            return 99;
        state_begin("clock", "", "/dev/term/a", 1, 0);
        start_publishing_state();
        close(open("dcf.log", O_WRONLY | O_CREAT, 0644)); // there, but nothing in it yet
        static const char block[4096] = {};
        const int filler = open("filler", O_WRONLY | O_CREAT, 0644);
        while (filler >= 0 && write(filler, block, sizeof block) > 0) // until the disk is full
            ;
        write_to_log("2", RWTime::now());
        write_to_log("3", RWTime::now());
        publish_state();
        publish_state();
        close(filler);
        unlink("filler");
        write_to_log("4", RWTime::now());
        publish_state();
        printf("%s", tproc::read_file("dcf.log").c_str());
        return 0;
    });
    const size_t log = run.out.find('[');
    ASSERT_NE(log, std::string::npos) << run.out;
    EXPECT_EQ(run.out.substr(0, log), "Nie mozna zapisac pliku dcf.log: brak miejsca na dysku.\n2\n3\n"
                                      "Nie mozna zapisac pliku tempusd.prom: brak miejsca na dysku.\n"
                                      "Zapis pliku dcf.log znow dziala.\n4\n"
                                      "Zapis pliku tempusd.prom znow dziala.\n");
    EXPECT_EQ(tproc::log_messages(run.out.substr(log)), std::vector<std::string>{"4"})
        << "lost lines are lost";
}

} // namespace
