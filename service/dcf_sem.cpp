#include "service/dcf_sem.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/ipc.h>
#include <sys/sem.h>

#include "platform/proc_name.h"
#include "platform/semun.h"
#include "service/dcf_prog.h"
#include "timesvc/dcf_log.h"
#include "timesvc/tm_srvce.h"

static int registry_key = DCF_REGISTRY_KEY;

void sem_set_registry_key(int key)
{
    registry_key = key;
}

// Console first, then the log, stamped right before.
static void report(const char *message)
{
    send_to_screen(message);
    write_to_log(message, now_DST());
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
    if (sem_open(registry_key) != -1) {
        report("Program obslugi zegara Horolan jest juz zainstalowany.");
        exit(2);
    }
    int id = sem_create(registry_key);
    if (id == -1) {
        if (errno == EEXIST) {
            report("Program obslugi zegara Horolan jest juz zainstalowany.");
            exit(2);
        }
        char message[DCF_TEXT_SIZE];
        snprintf(message, sizeof message, "%s %d %s", "Nie mozna utworzyc semafora o kluczu ", registry_key,
                 "Koniec ...");
        report(message);
        exit(2);
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
    int id = sem_open(registry_key);
    if (id == -1) {
        report("Program obslugi zegara Horolan nie byl zainstalowany.");
        exit(2);
    }
    int pid = sem_last_pid(id);
    if (pid == -1) {
        report("Nie mozna uzyskac identyfikatora procesu obslugi zegara Horolan.");
        return;
    }
    // The recorded id outlives the background process; once the kernel has
    // handed it to some other program, that program must not be signalled.
    if (pid != 0 && process_runs_program(pid, "tempusd")) {
        char command[DCF_TEXT_SIZE];
        snprintf(command, sizeof command, "kill -9 %i", pid);
        if (system(command) == -1) {
            // The background process may be gone already; nothing to do either way.
        }
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
    exit(2);
}
