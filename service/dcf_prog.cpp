#include "service/dcf_prog.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "platform/memory_lock.h"
#include "platform/service_notify.h"
#include "service/dcf_sem.h"
#include "service/status_query.h"
#include "timesvc/dcf_log.h"
#include "timesvc/service_state.h"
#include "timesvc/sync_cycle.h"
#include "timesvc/sync_io.h"
#include "timesvc/tm_srvce.h"

void show_usage(void)
{
    send_to_screen("\n"
                   "Wywolanie programu obslugi zegara Horolan ma postac: \n"
                   "1: tempusd /Cn /S /Tn \n"
                   "lub \n"
                   "2: tempusd /D \n"
                   "\n"
                   "W wywolaniu 1: wszystkie opcje sa opcjonalne (moga zostac pominiete)."
                   " Kolejnosc wystepowania opcji jest dowolna. \n"
                   "Opcja /Cn definiuje port szeregowy (C1 - COM1, C2 - COM2, C3 - COM3, C4 - COM4)."
                   " Domniemana wartosc to /C1. \n"
                   "Opcja /Txx ustala, co ile minut dokonywane jest sprawdzenie i ewentualna synchronizacja"
                   " czasu systemowego (1-63). Domniemana wartosc to /T60. \n"
                   "Opcja /S wymusza synchronizacje czasu systemowego juz w chwili rozpoczecia dzialania"
                   " programu obslugi zegara Horolan. \n"
                   "\n"
                   "W wywolaniu 2: opcja /D oznacza usuniecie programu obslugi zegara Horolan. Wystapienie"
                   " opcji /D jest w takim przypadku obowiazkowe i wyklucza pojawienie sie kazdej innej"
                   " opcji.\n"
                   "Opcja /Nn (n = 0-255) lub /N/sciezka przekazuje czas zegara Horolan serwerowi NTP"
                   " (segment pamieci wspolnej n albo gniazdo SOCK programu chronyd) zamiast ustawiac zegar"
                   " systemowy.\n"
                   "Opcja /Q wypisuje stan zainstalowanego programu obslugi zegara Horolan i jest wtedy"
                   " jedyna (kod wyjscia: 0 - zsynchronizowany w ciagu trzech ostatnich okresow, 1 - bez"
                   " synchronizacji, 2 - nie dziala lub utracono polaczenie z zegarem, 3 - stanu nie mozna"
                   " odczytac).\n");
}

int check_option(char *arg)
{
    if (arg[0] != '/') {
        return OPTION_BAD_FORMAT;
    }
    if (arg[1] == '\0') {
        return OPTION_BAD_FORMAT;
    }
    // Only 7-bit letters name options; any other byte stays as it is and is
    // therefore an unknown letter, whatever the locale would make of it.
    char letter = arg[1];
    if (letter >= 'a' && letter <= 'z') {
        letter = static_cast<char>(letter - 'a' + 'A');
    }
    memmove(arg, arg + 2, strlen(arg + 2) + 1);
    switch (letter) {
    case 'C': return OPTION_C;
    case 'S': return OPTION_S;
    case 'T': return OPTION_T;
    case 'D': return OPTION_D;
    case 'N': return OPTION_N;
    case 'Q': return OPTION_Q;
    default: return OPTION_UNKNOWN;
    }
}

// Reports a rejected option and, from its second occurrence on, the repetition.
static int reject_option(const char *name, int occurrences, RWTime stamp)
{
    char message[DCF_TEXT_SIZE];
    snprintf(message, sizeof message, "Niepoprawna opcja %s wywolania programu obslugi zegara Horolan.",
             name);
    report_at(message, stamp);
    if (occurrences > 1) {
        snprintf(message, sizeof message,
                 "Powtorne wystapienie opcji %s wywolania programu obslugi zegara Horolan.", name);
        report_at(message, stamp);
    }
    return 1;
}

// An option that takes no rest, counted in *occurrences for the whole
// process: the flag is set only when the rest is empty and it is the first.
static int check_flag_option(const char *name, const char *rest, int *occurrences, int *flag)
{
    RWTime stamp = now_DST();
    ++*occurrences;
    if (rest[0] != '\0' || *occurrences > 1) {
        return reject_option(name, *occurrences, stamp);
    }
    *flag = 1;
    return 0;
}

static int is_ascii_digit(char c)
{
    return c >= '0' && c <= '9';
}

int check_C_option(const char *rest, int *port, char *path)
{
    static int c_opt = 0;
    RWTime stamp = now_DST();
    c_opt++;
    const size_t length = strlen(rest);
    const bool digit = length == 1 && rest[0] >= '1' && rest[0] <= '4';
    const bool device_path = rest[0] == '/' && length <= static_cast<size_t>(PORT_PATH_MAX);
    if ((!digit && !device_path) || c_opt > 1) {
        return reject_option("/C", c_opt, stamp);
    }
    if (digit) {
        *port = rest[0] - '0';
    } else {
        memcpy(path, rest, length + 1);
    }
    return 0;
}

int check_S_option(const char *rest, int *sync_now)
{
    static int s_opt = 0;
    return check_flag_option("/S", rest, &s_opt, sync_now);
}

int check_T_option(const char *rest, int *interval)
{
    static int t_opt = 0;
    RWTime stamp = now_DST();
    t_opt++;
    size_t length = strlen(rest);
    if (length > 2) {
        return reject_option("/T", t_opt, stamp);
    }
    int value = 0;
    for (size_t i = 0; i < length; i++) {
        if (!is_ascii_digit(rest[i])) {
            return reject_option("/T", t_opt, stamp);
        }
        value = value * 10 + (rest[i] - '0');
    }
    if (value == 0 || value > 63 || t_opt > 1) {
        return reject_option("/T", t_opt, stamp);
    }
    *interval = value;
    return 0;
}

// The rest of /N as an NTP shared-memory unit: one to three ASCII digits, 0..255; -1 if it is none.
static int shm_unit_of(const char *rest)
{
    const size_t length = strlen(rest);
    if (length < 1 || length > 3)
        return -1;
    int unit = 0;
    for (size_t i = 0; i < length; i++) {
        if (!is_ascii_digit(rest[i]))
            return -1;
        unit = unit * 10 + (rest[i] - '0');
    }
    return unit <= 255 ? unit : -1;
}

int check_N_option(const char *rest, ntp_target *ntp)
{
    static int n_opt = 0;
    RWTime stamp = now_DST();
    n_opt++;
    const int unit = shm_unit_of(rest);
    const size_t length = strlen(rest);
    const bool socket_path = rest[0] == '/' && length <= static_cast<size_t>(NTP_SOCK_PATH_MAX);
    if ((unit < 0 && !socket_path) || n_opt > 1) {
        return reject_option("/N", n_opt, stamp);
    }
    *ntp = ntp_target{};
    if (unit >= 0) {
        ntp->kind = NTP_TARGET_SHM;
        ntp->unit = unit;
    } else {
        ntp->kind = NTP_TARGET_SOCK;
        memcpy(ntp->path, rest, length + 1);
    }
    return 0;
}

int check_D_option(const char *rest, int *deinstall)
{
    static int d_opt = 0;
    return check_flag_option("/D", rest, &d_opt, deinstall);
}

int check_Q_option(const char *rest, int *query)
{
    static int q_opt = 0;
    return check_flag_option("/Q", rest, &q_opt, query);
}

// Copies arg into buffer and classifies it; an argument that does not fit
// the buffer is a bad format.
static int classify_argument(const char *arg, char (&buffer)[DCF_TEXT_SIZE])
{
    size_t length = strnlen(arg, DCF_TEXT_SIZE);
    if (length >= DCF_TEXT_SIZE) {
        buffer[0] = '\0';
        return OPTION_BAD_FORMAT;
    }
    memcpy(buffer, arg, length + 1);
    return check_option(buffer);
}

int parse_command_line(int argc, char **argv, struct dcf_settings *s, RWTime start_stamp)
{
    *s = dcf_settings{};
    char buffer[DCF_TEXT_SIZE];
    for (int i = 1; i < argc; i++) {
        int failed = 0;
        switch (classify_argument(argv[i], buffer)) {
        case OPTION_BAD_FORMAT:
            report_at("Niepoprawny format wywolania programu obslugi zegara Horolan.", start_stamp);
            failed = 1;
            break;
        case OPTION_C: failed = check_C_option(buffer, &s->port, s->port_path); break;
        case OPTION_S: failed = check_S_option(buffer, &s->sync_now); break;
        case OPTION_T: failed = check_T_option(buffer, &s->interval); break;
        case OPTION_D: failed = check_D_option(buffer, &s->deinstall); break;
        case OPTION_N: failed = check_N_option(buffer, &s->ntp); break;
        case OPTION_Q: failed = check_Q_option(buffer, &s->query); break;
        default:
            report_at("Niepoprawna opcja wywolania programu obslugi zegara Horolan.", start_stamp);
            failed = 1;
            break;
        }
        if (failed) {
            s->error = 1;
        }
    }
    if (s->error) {
        show_usage();
        return WALK_REJECTED;
    }
    // /D and /Q each stand alone; each rule broken gives its own line.
    const bool installing = s->port != 0 || s->port_path[0] != '\0' || s->sync_now != 0 || s->interval != 0 ||
                            s->ntp.kind != NTP_TARGET_NONE;
    const bool d_not_alone = s->deinstall && (installing || s->query);
    const bool q_not_alone = s->query && (installing || s->deinstall);
    if (d_not_alone)
        report_at("Jesli wystepuje opcja /D, to jest ona jedyna.", start_stamp);
    if (q_not_alone)
        report_at("Jesli wystepuje opcja /Q, to jest ona jedyna.", start_stamp);
    if (d_not_alone || q_not_alone) {
        show_usage();
        return WALK_D_NOT_ALONE;
    }
    if (s->query)
        return WALK_QUERY;
    return s->deinstall ? WALK_REMOVE : WALK_INSTALL;
}

// "Instalacja ... pomyslnie (/C1 /S /T60)." as the installing process logs it,
// with " /N" and what followed it before ")." when /N was given.
static void format_success_line(const struct dcf_settings *s, char (&line)[DCF_TEXT_SIZE])
{
    char head[DCF_TEXT_SIZE];
    static constexpr char INSTALLED[] = "Instalacja programu obslugi zegara Horolan zakonczona pomyslnie";
    if (s->port_path[0] != '\0')
        snprintf(head, sizeof head, "%s (/C%s", INSTALLED, s->port_path);
    else
        snprintf(head, sizeof head, "%s (/C%i", INSTALLED, s->port);
    char target[NTP_SOCK_PATH_MAX + 1];
    ntp_target_text(&s->ntp, target, sizeof target);
    char ntp[NTP_SOCK_PATH_MAX + 8] = "";
    if (target[0] != '\0')
        snprintf(ntp, sizeof ntp, " /N%s", target);
    snprintf(line, sizeof line, s->sync_now ? "%s /S /T%i%s)." : "%s /T%i%s).", head, s->interval, ntp);
}

// Opens /dev/null onto each of descriptors 0, 1 and 2 that is closed; 0, or
// -1 when one stays closed. Started without them, the port would take one of
// those numbers and go with the standard descriptors closed before the fork.
static int open_standard_descriptors()
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free number is fd itself: those below it are open.
        if (open("/dev/null", O_RDWR) != fd)
            return -1;
    }
    return 0;
}

// The state the background process publishes starts here: mode, line,
// interval and the time of the start.
static void begin_service_state(const struct dcf_settings *s)
{
    char target[NTP_SOCK_PATH_MAX + 1];
    ntp_target_text(&s->ntp, target, sizeof target);
    const char *mode =
        s->ntp.kind == NTP_TARGET_SHM ? "shm" : (s->ntp.kind == NTP_TARGET_SOCK ? "sock" : "clock");
    const char *device = s->port_path[0] != '\0' ? s->port_path : receiver_port_path(s->port);
    state_begin(mode, target, device, s->interval, static_cast<long long>(time(nullptr)));
}

// The background process's part: it records its id for /D, logs the
// installation's success when it is also the installing process, and cycles
// for ever.
[[noreturn]] static void run_in_background(int id, int fd, int interval, const char *success_line)
{
    if (sem_leave_pid(id, 1) == -1)
        report_and_exit("Nie mozna zostawic semfora obslugi zegara Horolan. Koniec ...", now_DST(),
                        EXIT_REGISTRY, sem_deinstall);
    if (success_line != nullptr)
        write_to_log(success_line, now_DST());
    // Given a real-time policy, no page fault may delay the reading of byte 0 either.
    (void)lock_memory_when_real_time();
    perform_synchronization(fd, interval);
}

int tempusd_main(int argc, char **argv)
{
    if (open_standard_descriptors() != 0)
        return EXIT_PORT;
    update_DST_correction();
    RWTime stamp = now_DST();

    struct dcf_settings settings;
    int form = parse_command_line(argc, argv, &settings, stamp);
    if (form == WALK_REJECTED || form == WALK_D_NOT_ALONE) {
        return EXIT_COMMAND_LINE;
    }
    if (form == WALK_QUERY) {
        return query_status();
    }
    if (form == WALK_REMOVE) {
        // Returns only when the recorded id cannot be read; the registration
        // is still there then, so the installation below is refused.
        sem_deinstall(0);
    } else {
        if (settings.port == 0 && settings.port_path[0] == '\0') {
            settings.port = 1;
        }
        if (settings.interval == 0) {
            settings.interval = 60;
        }
    }

    int id = sem_install();
    // The cycle and the log live below the service program: they learn here
    // how to take the registration back when the port or the log proves unusable.
    tempus_sync_io.deinstall = sem_deinstall;
    undo_registration_on_lost_log(sem_deinstall);
    if (settings.ntp.kind != NTP_TARGET_NONE && start_ntp_feed(&settings.ntp) != 0)
        report_and_exit("Nie mozna polaczyc sie z serwerem NTP. Koniec ... ", now_DST(), EXIT_PORT,
                        sem_deinstall);
    begin_service_state(&settings);
    int fd = -1;
    if (settings.port_path[0] != '\0')
        start_dcf_on(&fd, settings.interval, settings.port_path, settings.sync_now);
    else
        start_dcf(&fd, settings.interval, settings.port, settings.sync_now);

    // From here on the background process holds the registration; a log lost
    // later leaves it for /D, as the log's loss ends that process.
    undo_registration_on_lost_log(nullptr);
    signal(SIGHUP, SIG_IGN);
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    close(0);
    close(1);
    close(2);

    char line[DCF_TEXT_SIZE];
    format_success_line(&settings, line);
    // A service manager started this process to be the service: it watches
    // it, restarts it and ends it. Forked away, the background process would
    // be a stranger to the manager, so here the process stays what it is.
    if (service_manager_listens())
        run_in_background(id, fd, settings.interval, line);

    // The console is closed from here on: these reports reach the log only.
    pid_t child = fork();
    if (child == -1)
        report_and_exit("Nie mozna utworzyc procesu obslugi zegara Horolan. Koniec ...", now_DST(),
                        EXIT_REGISTRY, sem_deinstall);
    if (child == 0)
        run_in_background(id, fd, settings.interval, nullptr);

    write_to_log(line, now_DST());
    return EXIT_INSTALLED;
}
