#include "service/dcf_sem.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include "platform/proc_name.h"
#include "platform/semun.h"
#include "service/registry_io.h"
#include "timesvc/dcf_log.h"
#include "timesvc/service_state.h"
#include "timesvc/tm_srvce.h"

static constexpr char TEXT_INSTALLED[] = "Program obslugi zegara Horolan jest juz zainstalowany.";

// Console first, then the log, stamped right before.
static void report(const char *message)
{
    report_at(message, now_DST());
}

[[noreturn]] static void report_and_leave(const char *message)
{
    report_and_exit(message, now_DST(), EXIT_REGISTRY, nullptr);
}

// Root's sets and our own user's are ours. The kernel records the creating
// process's effective uid as both creator and owner, and the creator may hand
// the set to any owner, root included: a set one of whose two uids is anyone
// else's was made or given away by another user, so neither the pid recorded
// in it nor its removal is ours to act on.
static bool uid_is_ours(uid_t uid)
{
    return uid == 0 || uid == geteuid();
}

// The set under key, found without asking for any access, so that a set
// whose permissions shut us out is seen all the same; identifier or -1.
static int find_set(int key)
{
    return semget(static_cast<key_t>(key), 0, 0);
}

// Owner and creator of set id; 0, or -1 when they cannot be learned. IPC_STAT
// needs read permission, which root lacks on another user's set without
// CAP_IPC_OWNER (the service's unit grants no such capability); SEM_STAT_ANY
// asks no permission but walks the kernel's table by index.
static int set_owners(int id, uid_t *owner, uid_t *creator)
{
    struct semid_ds info = {};
    union semun arg;
    arg.buf = &info;
    if (semctl(id, 0, IPC_STAT, arg) == -1) {
        struct seminfo limits = {};
        arg.__buf = &limits;
        const int highest = semctl(0, 0, SEM_INFO, arg);
        arg.buf = &info;
        int index = 0;
        while (index <= highest && semctl(index, 0, SEM_STAT_ANY, arg) != id)
            index++;
        if (index > highest)
            return -1;
    }
    *owner = info.sem_perm.uid;
    *creator = info.sem_perm.cuid;
    return 0;
}

// Ends the process with EXIT_REGISTRY when set id (under key) belongs to
// another user; returns for no set (-1), one of ours, or one whose owner
// cannot be learned.
static void leave_if_foreign(int key, int id)
{
    uid_t owner = 0;
    uid_t creator = 0;
    if (id == -1 || set_owners(id, &owner, &creator) != 0)
        return;
    if (uid_is_ours(owner) && uid_is_ours(creator))
        return;
    char message[DCF_TEXT_SIZE];
    snprintf(message, sizeof message, "Semafor o kluczu %d nalezy do innego uzytkownika (uid %u). Koniec ...",
             key, uid_is_ours(owner) ? creator : owner);
    report_and_leave(message);
}

int sem_open(int key)
{
    return semget(static_cast<key_t>(key), 1, 0600);
}

int sem_create(int key)
{
    // Exclusive, so two installations started at the same moment cannot both
    // pass: the slower one finds the set already there.
    return semget(static_cast<key_t>(key), 1, IPC_CREAT | IPC_EXCL | 0600);
}

int sem_install(void)
{
    const int key = tempus_registry_io.key;
    // Exclusive creation tells an existing set apart whether or not its
    // permissions would let us open it.
    int id = sem_create(key);
    if (id == -1) {
        if (errno == EEXIST) {
            leave_if_foreign(key, find_set(key));
            report_and_leave(TEXT_INSTALLED);
        }
        char message[DCF_TEXT_SIZE];
        snprintf(message, sizeof message, "%s %d %s", "Nie mozna utworzyc semafora o kluczu ", key,
                 "Koniec ...");
        report_and_leave(message);
    }
    return id;
}

int sem_leave_pid(int id, int value)
{
    union semun arg;
    arg.val = value;
    return semctl(id, 0, SETVAL, arg) == -1 ? -1 : 0;
}

int sem_last_pid(int id)
{
    return semctl(id, 0, GETPID);
}

int sem_remove(int id)
{
    return semctl(id, 0, IPC_RMID) == -1 ? -1 : 0;
}

// The working directory of process pid, where its state file lies, held
// while the process's own entry may vanish; -1 when it cannot be learned.
static int folder_of(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%ld/cwd", static_cast<long>(pid));
    return open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// A stopped service exports no state: its state file goes once the process
// is gone (it may be finishing a write when the signal comes). A crashed one
// leaves the file behind; its own write time tells how old it is.
static void remove_state_file(int folder, pid_t pid)
{
    if (folder < 0)
        return;
    for (int waited_ms = 0; waited_ms < 5000 && process_has_ended(pid) == 0; waited_ms += 10)
        usleep(10000);
    (void)unlinkat(folder, STATE_FILE, 0);
    (void)unlinkat(folder, STATE_FILE_NEW, 0);
    close(folder);
}

void sem_deinstall(int failed)
{
    const int key = tempus_registry_io.key;
    int id = sem_open(key);
    leave_if_foreign(key, id != -1 ? id : find_set(key));
    if (id == -1)
        report_and_leave("Program obslugi zegara Horolan nie byl zainstalowany.");
    int pid = sem_last_pid(id);
    if (pid == -1) {
        report("Nie mozna uzyskac identyfikatora procesu obslugi zegara Horolan.");
        return;
    }
    // The recorded id outlives the background process; once the kernel has
    // handed it to some other program, that program must not be signalled.
    if (pid != 0 && tempus_registry_io.runs_program(pid, "tempusd")) {
        const int folder = folder_of(pid);
        char command[DCF_TEXT_SIZE];
        snprintf(command, sizeof command, "kill -9 %i", pid);
        // The background process may be gone already; the result tells nothing either way.
        (void)tempus_registry_io.run_command(command);
        remove_state_file(folder, pid);
    }
    if (sem_remove(id) == -1) {
        report("Nie mozna usunac semfora obslugi zegara Horolan.");
    }
    const char *final_message = failed != 0
                                    ? "Instalacja programu obslugi zegara Horolan zakonczona niepowodzeniem."
                                    : "Deinstalacja programu obslugi zegara Horolan zakonczona pomyslnie.";
    char logged[DCF_TEXT_SIZE];
    snprintf(logged, sizeof logged, "%s\n\n", final_message);
    RWTime stamp = now_DST();
    send_to_screen(final_message);
    write_to_log(logged, stamp);
    exit(EXIT_REGISTRY);
}
