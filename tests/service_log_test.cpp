#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "calendar/rwdate.h"
#include "calendar/rwtime.h"
#include "calendar/zone.h"
#include "service/dcf_prog.h"
#include "tests/support/child.h"
#include "tests/support/log_text.h"
#include "tests/support/proc.h"
#include "timesvc/dcf_log.h"

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

} // namespace
