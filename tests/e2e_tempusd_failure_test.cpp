// Failed installations and a registry left behind by someone else: the real
// tempusd, as nobody, under the clock interposer.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/semun.h"
#include "tests/support/e2e_tempusd.h"

using tproc::console_line;

namespace {

const char *const kPortFailed = "Nie mozna otworzyc portu szeregowego. Koniec ... ";
const char *const kInstallFailed = "Instalacja programu obslugi zegara Horolan zakonczona niepowodzeniem.";
const char *const kRemoved = "Deinstalacja programu obslugi zegara Horolan zakonczona pomyslnie.";

class E2ETempusdPort : public tempusd_e2e::Fixture {};

struct BadPort {
    const char *what;
    const char *path;       // relative: inside the scratch directory; empty: not mapped
    bool make_regular_file; // create it first, as a plain file
};

// A file or a device that is no line is refused before it is opened.
const BadPort kBadPorts[] = {
    {"missing device", "no-such-port", false},
    {"unmapped /dev/term/a", "", false},
    {"regular file", "plain-file", true},
    {"/dev/null", "/dev/null", false},
};

TEST_F(E2ETempusdPort, UnusablePortUndoesTheInstallation)
{
    for (const BadPort &bad : kBadPorts) {
        SCOPED_TRACE(bad.what);
        std::string path = bad.path;
        if (!path.empty() && path[0] != '/') {
            path = dir + "/" + path;
        }
        if (bad.make_regular_file) {
            ASSERT_TRUE(tproc::write_file(path, "not a terminal\n"));
        }
        term_a = path;
        unlink((dir + "/dcf.log").c_str());

        tproc::Result r = tempusd({"/T1"});

        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(r.err, console_line(kPortFailed) + console_line(kInstallFailed));
        std::vector<std::string> messages = log_messages();
        ASSERT_GE(messages.size(), 2u) << log_text();
        EXPECT_EQ(messages[0], kPortFailed);
        EXPECT_EQ(messages[1], kInstallFailed);
        EXPECT_EQ(tproc::registered_pid(key), -1) << "registry left behind";
    }
}

// Every failed installation takes its registration back, the loss of the log too.
TEST_F(E2ETempusdPort, LogThatCannotBeOpenedUndoesTheInstallation)
{
    ASSERT_TRUE(start_emulator({}));
    ASSERT_EQ(mkdir((dir + "/dcf.log").c_str(), 0755), 0);

    tproc::Result r = tempusd({"/T1"});

    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, console_line("Nie mozna otworzyc dziennika zegara Horolan. Koniec ...") +
                         console_line(kInstallFailed));
    EXPECT_EQ(tproc::registered_pid(key), -1) << "registry left behind";
}

class E2ETempusdRegistry : public tempusd_e2e::Fixture {};

// A process that is not tempusd but is recorded in the registry, as after the
// background process died and its pid went to an unrelated program.
class Impostor {
public:
    explicit Impostor(int key)
    {
        pid_ = fork();
        if (pid_ == 0) {
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
                _exit(1);
            }
            int id = semget(key, 1, IPC_CREAT | 0600);
            union semun arg = {};
            arg.val = 1;
            if (id == -1 || semctl(id, 0, SETVAL, arg) == -1) {
                _exit(1);
            }
            execl("/bin/sleep", "sleep", "60", static_cast<char *>(nullptr));
            _exit(1);
        }
    }
    ~Impostor()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Impostor(const Impostor &) = delete;
    Impostor &operator=(const Impostor &) = delete;

    pid_t pid() const { return pid_; }

    bool running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

private:
    pid_t pid_;
};

TEST_F(E2ETempusdRegistry, RemovalSparesAnUnrelatedRecordedProcess)
{
    Impostor impostor(key);
    ASSERT_GT(impostor.pid(), 0);
    for (int waited = 0; tproc::registered_pid(key) != impostor.pid() && waited < 3000; waited += 20) {
        usleep(20 * 1000);
    }
    ASSERT_EQ(tproc::registered_pid(key), impostor.pid());

    tproc::Result r = tempusd({"/D"});

    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, console_line(kRemoved));
    usleep(200 * 1000);
    EXPECT_TRUE(impostor.running()) << "an unrelated process was killed";
    EXPECT_EQ(tproc::registered_pid(key), -1);
}

} // namespace
