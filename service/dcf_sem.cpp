#include "service/dcf_sem.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/ipc.h>
#include <sys/sem.h>

#include "platform/semun.h"
#include "service/registry_io.h"
#include "timesvc/dcf_log.h"
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
    if (sem_open(key) != -1)
        report_and_leave(TEXT_INSTALLED);
    int id = sem_create(key);
    if (id == -1) {
        if (errno == EEXIST)
            report_and_leave(TEXT_INSTALLED);
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

void sem_deinstall(int failed)
{
    int id = sem_open(tempus_registry_io.key);
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
        char command[DCF_TEXT_SIZE];
        snprintf(command, sizeof command, "kill -9 %i", pid);
        // The background process may be gone already; the result tells nothing either way.
        (void)tempus_registry_io.run_command(command);
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
