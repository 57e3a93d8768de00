#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/proc_name.h"
#include "platform/semun.h"
#include "service/dcf_prog.h"
#include "service/dcf_sem.h"
#include "service/registry_io.h"
#include "tests/support/child.h"
#include "tests/support/log_text.h"
#include "tests/support/proc.h"

namespace {

using tproc::console_line;
using tproc::log_messages;

const std::string kInstalled = "Program obslugi zegara Horolan jest juz zainstalowany.";
const std::string kNotInstalled = "Program obslugi zegara Horolan nie byl zainstalowany.";
const std::string kRemoved = "Deinstalacja programu obslugi zegara Horolan zakonczona pomyslnie.";
const std::string kUndone = "Instalacja programu obslugi zegara Horolan zakonczona niepowodzeniem.";

class ServiceRegistry : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = tproc::make_scratch_dir();
        key_ = tproc::unique_registry_key();
    }
    void TearDown() override
    {
        tproc::remove_registry(key_);
        tproc::remove_tree(dir_);
    }

    // body in a child whose registry routines use this test's key.
    tproc::ChildRun in_child(const std::function<int()> &body)
    {
        int key = key_;
        return tproc::run_in_child(dir_, [key, &body]() {
            tempus_registry_io.key = key;
            return body();
        });
    }

    bool registry_exists() const { return semget(key_, 1, 0) != -1; }
    std::string log() const { return tproc::read_file(dir_ + "/dcf.log"); }

    // A child that records itself in the registry, then runs what follows.
    // Returns once the registry holds its pid.
    pid_t spawn_recorded(const std::function<void()> &after_recording)
    {
        int id = sem_create(key_);
        EXPECT_NE(id, -1);
        pid_t pid = fork();
        if (pid == 0) {
            if (sem_leave_pid(id, 1) != 0) {
                _exit(99);
            }
            after_recording();
            _exit(98);
        }
        for (int i = 0; i < 500 && tproc::registered_pid(key_) != pid; i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(tproc::registered_pid(key_), pid);
        return pid;
    }

    std::string dir_;
    int key_ = 0;
};

// Whether pid (our child) ended by SIGKILL within a few seconds.
bool killed_soon(pid_t pid)
{
    for (int i = 0; i < 500; i++) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST_F(ServiceRegistry, RoutinesOnOneSet)
{
    int id = sem_create(key_);
    ASSERT_NE(id, -1);
    EXPECT_EQ(sem_create(key_), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(sem_open(key_), id);

    struct semid_ds info = {};
    union semun arg;
    arg.buf = &info;
    ASSERT_EQ(semctl(id, 0, IPC_STAT, arg), 0);
    EXPECT_EQ(info.sem_perm.mode & 0777, 0600u);
    EXPECT_EQ(info.sem_nsems, 1u);

    EXPECT_EQ(sem_last_pid(id), 0);
    EXPECT_EQ(sem_leave_pid(id, 1), 0);
    EXPECT_EQ(sem_last_pid(id), getpid());

    EXPECT_EQ(sem_remove(id), 0);
    EXPECT_EQ(sem_open(key_), -1);
    EXPECT_EQ(sem_last_pid(id), -1);
    EXPECT_EQ(sem_leave_pid(id, 1), -1);
    EXPECT_EQ(sem_remove(id), -1);
}

TEST_F(ServiceRegistry, InstallRegistersOnceOnly)
{
    tproc::ChildRun first = in_child([]() { return sem_install() >= 0 ? 0 : 1; });
    EXPECT_EQ(first.exit_code, 0);
    EXPECT_EQ(first.console, "");
    EXPECT_TRUE(registry_exists());

    tproc::ChildRun second = in_child([]() {
        sem_install();
        return 0;
    });
    EXPECT_EQ(second.exit_code, 2);
    EXPECT_EQ(second.console, console_line(kInstalled));
    EXPECT_EQ(log_messages(log()), std::vector<std::string>{kInstalled});
    EXPECT_TRUE(registry_exists());
}

TEST_F(ServiceRegistry, FailedInstallationIsUndone)
{
    ASSERT_NE(sem_create(key_), -1);
    tproc::ChildRun run = in_child([]() {
        sem_deinstall(1);
        return 0;
    });
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.console, console_line(kUndone));
    // The final line is followed by two empty lines in the log.
    EXPECT_EQ(log_messages(log()), (std::vector<std::string>{kUndone, "", ""}));
    EXPECT_FALSE(registry_exists());
}

TEST_F(ServiceRegistry, RemovalKillsTheRecordedService)
{
    pid_t service = spawn_recorded([]() {
        prctl(PR_SET_NAME, "tempusd", 0, 0, 0);
        for (;;) {
            pause();
        }
    });
    // The name is set after the id is recorded; wait until it shows.
    for (int i = 0; i < 500 && !process_runs_program(service, "tempusd"); i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(process_runs_program(service, "tempusd"));

    tproc::ChildRun run = in_child([]() {
        sem_deinstall(0);
        return 0;
    });
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.console, console_line(kRemoved));
    EXPECT_EQ(log_messages(log()), (std::vector<std::string>{kRemoved, "", ""}));
    EXPECT_FALSE(registry_exists());
    bool killed = killed_soon(service);
    EXPECT_TRUE(killed);
    if (!killed) {
        tproc::kill_pid(service);
    }
}

TEST_F(ServiceRegistry, RemovalSparesAProcessThatReusedTheRecordedId)
{
    pid_t stranger = spawn_recorded([]() { execlp("sleep", "sleep", "30", static_cast<char *>(nullptr)); });
    for (int i = 0; i < 500 && !process_runs_program(stranger, "sleep"); i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(process_runs_program(stranger, "sleep"));

    tproc::ChildRun run = in_child([]() {
        sem_deinstall(0);
        return 0;
    });
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.console, console_line(kRemoved));
    EXPECT_FALSE(registry_exists());
    int status = 0;
    EXPECT_EQ(waitpid(stranger, &status, WNOHANG), 0) << "the unrelated process was signalled";
    tproc::kill_pid(stranger);
}

int runs_anything(pid_t /*pid*/, const char * /*name*/)
{
    return 1;
}

// Shows the command on standard output instead of running it.
int print_command(const char *command)
{
    return printf("%s\n", command);
}

// Whoever else made the set or was given it could have recorded any pid in
// it: starts and removals end naming the owner, kill nothing and leave it.
TEST_F(ServiceRegistry, AnotherUsersSetIsNeitherTrustedNorRemoved)
{
    constexpr uid_t kStranger = 12345;
    constexpr uid_t kNobody = 65534;
    const struct {
        const char *what;
        uid_t creator;
        uid_t owner;
        uid_t caller; // nobody can neither open nor read the set, like root under the unit
    } cases[] = {
        {"given to another user", 0, kStranger, 0},
        {"made by another user and given to root", kStranger, 0, 0},
        {"shut to a caller without privileges", 0, kStranger, kNobody},
    };
    const std::string foreign = "Semafor o kluczu " + std::to_string(key_) +
                                " nalezy do innego uzytkownika (uid " + std::to_string(kStranger) +
                                "). Koniec ...";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const int key = key_;
        tproc::ChildRun made = tproc::run_in_child("", [&c, key]() {
            struct semid_ds info = {};
            union semun arg;
            arg.buf = &info;
            if (setresuid(c.creator, c.creator, c.creator) != 0) {
                return 1;
            }
            int id = sem_create(key);
            if (id == -1 || semctl(id, 0, IPC_STAT, arg) != 0) {
                return 1;
            }
            info.sem_perm.uid = c.owner;
            return semctl(id, 0, IPC_SET, arg) == 0 ? 0 : 1;
        });
        ASSERT_EQ(made.exit_code, 0);
        ASSERT_EQ(sem_leave_pid(sem_open(key_), 1), 0) << "a pid a removal would act on";
        (void)unlink((dir_ + "/dcf.log").c_str());

        for (const int removal : {0, 1}) {
            SCOPED_TRACE(removal != 0 ? "removal" : "installation");
            tproc::ChildRun run = in_child([&c, removal]() {
                tempus_registry_io.runs_program = runs_anything;
                tempus_registry_io.run_command = print_command;
                if (setresgid(c.caller, c.caller, c.caller) != 0 ||
                    setresuid(c.caller, c.caller, c.caller) != 0) {
                    return 1;
                }
                if (removal != 0) {
                    sem_deinstall(0);
                } else {
                    sem_install();
                }
                return 0;
            });
            EXPECT_EQ(run.exit_code, 2);
            EXPECT_EQ(run.console, console_line(foreign));
            EXPECT_EQ(run.out, "") << "a command was run";
            EXPECT_TRUE(registry_exists());
        }
        EXPECT_EQ(log_messages(log()), (std::vector<std::string>{foreign, foreign}));
        tproc::remove_registry(key_);
    }
}

TEST_F(ServiceRegistry, MainRemovesThenInstallsNoMore)
{
    auto run_main = [this](const char *option) {
        return tproc::run_tempusd_main(dir_, key_, {option});
    };
    tproc::ChildRun absent = run_main("/d");
    EXPECT_EQ(absent.exit_code, 2);
    EXPECT_EQ(absent.console, console_line(kNotInstalled));

    ASSERT_NE(sem_create(key_), -1);
    tproc::ChildRun refused = run_main("/S");
    EXPECT_EQ(refused.exit_code, 2);
    EXPECT_EQ(refused.console, console_line(kInstalled));

    tproc::ChildRun removed = run_main("/D");
    EXPECT_EQ(removed.exit_code, 2);
    EXPECT_EQ(removed.console, console_line(kRemoved));
    EXPECT_FALSE(registry_exists());
}

TEST(ServiceProcName, MatchesCommandOrExecutableName)
{
    EXPECT_EQ(process_runs_program(getpid(), "tempus_tests"), 1);
    EXPECT_EQ(process_runs_program(getpid(), "tempusd"), 0);
    EXPECT_EQ(process_runs_program(0, "tempus_tests"), 0);
    EXPECT_EQ(process_runs_program(-1, "tempus_tests"), 0);

    // A renamed process is still recognised by its executable.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t renamed = fork();
    if (renamed == 0) {
        prctl(PR_SET_NAME, "inna_nazwa", 0, 0, 0);
        if (write(ready[1], "x", 1) != 1) {
            _exit(1);
        }
        for (;;) {
            pause();
        }
    }
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    EXPECT_EQ(process_runs_program(renamed, "inna_nazwa"), 1);
    EXPECT_EQ(process_runs_program(renamed, "tempus_tests"), 1);
    tproc::kill_pid(renamed);
    close(ready[0]);
    close(ready[1]);
    // Once reaped, the id names nothing.
    EXPECT_EQ(process_runs_program(renamed, "tempus_tests"), 0);
}

} // namespace
