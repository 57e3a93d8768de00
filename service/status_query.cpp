#include "service/status_query.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "service/dcf_sem.h"
#include "service/registry_io.h"
#include "timesvc/text_buffer.h"

static constexpr int NAME_SIZE = 64;
static constexpr int LABELS = 3;
static constexpr int STATE_FILE_LIMIT = 16384; // a state file is about 3 kB

// One sample line of the text format: name, up to three labels, value.
struct sample_line {
    char name[NAME_SIZE];
    char label_name[LABELS][NAME_SIZE];
    char label_value[LABELS][STATE_TEXT_SIZE];
    int labels;
    double value;
};

// Reads `name="value"` pairs up to the closing brace; the position after
// it, or nullptr.
static const char *parse_labels(const char *at, sample_line *line)
{
    while (*at != '}') {
        if (*at == ',')
            ++at;
        const char *equals = strchr(at, '=');
        if (equals == nullptr || equals[1] != '"' || line->labels >= LABELS)
            return nullptr;
        const auto name_length = static_cast<std::size_t>(equals - at);
        char *value = line->label_value[line->labels];
        snprintf(line->label_name[line->labels], NAME_SIZE, "%.*s", static_cast<int>(name_length), at);
        std::size_t used = 0;
        for (at = equals + 2; *at != '"'; ++at) {
            if (*at == '\0' || *at == '\n')
                return nullptr;
            char c = *at;
            if (c == '\\') {
                c = *++at;
                if (c == 'n')
                    c = '\n';
                else if (c == '\0')
                    return nullptr;
            }
            if (used + 1 < STATE_TEXT_SIZE)
                value[used++] = c;
        }
        value[used] = '\0';
        ++line->labels;
        ++at;
    }
    return at + 1;
}

// Parses one line that is not a comment; false when it is not a sample.
static bool parse_sample(const char *at, sample_line *line)
{
    *line = sample_line{};
    std::size_t length = strcspn(at, "{ \n");
    if (length == 0 || length >= NAME_SIZE)
        return false;
    memcpy(line->name, at, length);
    at += length;
    if (*at == '{') {
        at = parse_labels(at + 1, line);
        if (at == nullptr)
            return false;
    }
    char *end = nullptr;
    line->value = strtod(at, &end);
    return end != at;
}

static const char *label(const sample_line &line, const char *name)
{
    for (int i = 0; i < line.labels; ++i)
        if (strcmp(line.label_name[i], name) == 0)
            return line.label_value[i];
    return "";
}

static int outcome_named(const char *name)
{
    for (int outcome = 0; outcome < OUTCOME_COUNT; ++outcome)
        if (strcmp(state_outcome_name(outcome), name) == 0)
            return outcome;
    return OUTCOME_COUNT;
}

static int reason_named(const char *name)
{
    for (int reason = LINE_MISSING; reason <= LINE_OTHER; ++reason)
        if (strcmp(line_reason_name(reason), name) == 0)
            return reason;
    return LINE_OK;
}

static void take_sample(const sample_line &line, service_state *s, bool *identified, bool *timed)
{
    // Only what fits is converted: an offset may be negative, and a file may say anything.
    const bool fits_count = line.value >= 0 && line.value < 1.8e19;
    const bool fits_seconds = line.value > -9.2e18 && line.value < 9.2e18;
    const auto count = fits_count ? static_cast<unsigned long long>(line.value) : 0ULL;
    const auto seconds = fits_seconds ? static_cast<long long>(line.value) : 0LL;
    const char *name = line.name;
    if (strcmp(name, "tempusd_info") == 0) {
        snprintf(s->mode, sizeof s->mode, "%s", label(line, "mode"));
        snprintf(s->ntp_target, sizeof s->ntp_target, "%s", label(line, "ntp_target"));
        snprintf(s->device, sizeof s->device, "%s", label(line, "device"));
        *identified = true;
    } else if (strcmp(name, "tempusd_interval_seconds") == 0) {
        s->interval_minutes = static_cast<int>(seconds / 60);
        *timed = s->interval_minutes > 0;
    } else if (strcmp(name, "tempusd_state_time_seconds") == 0) {
        s->state_time = seconds;
    } else if (strcmp(name, "tempusd_start_time_seconds") == 0) {
        s->start_time = seconds;
    } else if (strcmp(name, "tempusd_line_info") == 0) {
        s->line_up = strcmp(label(line, "state"), "up") == 0;
        s->line_reason = reason_named(label(line, "reason"));
    } else if (strcmp(name, "tempusd_line_lost_time_seconds") == 0) {
        s->line_lost_time = seconds;
    } else if (strcmp(name, "tempusd_last_telegram_time_seconds") == 0) {
        s->last_telegram_time = seconds;
    } else if (strcmp(name, "tempusd_last_telegram_info") == 0) {
        s->last_outcome = outcome_named(label(line, "outcome"));
    } else if (strcmp(name, "tempusd_last_offset_seconds") == 0) {
        s->has_offset = true;
        s->last_offset = line.value;
    } else if (strcmp(name, "tempusd_last_sync_time_seconds") == 0) {
        s->last_sync_time = seconds;
    } else if (strcmp(name, "tempusd_synchronisations_total") == 0) {
        for (int kind = 0; kind < CORRECTION_KINDS; ++kind)
            if (strcmp(label(line, "correction"), state_correction_name(kind)) == 0)
                s->corrections[kind] = count;
        s->outcomes[OUTCOME_SYNCHRONISED] = s->corrections[CORRECTION_KIND_NONE] +
                                            s->corrections[CORRECTION_KIND_SLEW] +
                                            s->corrections[CORRECTION_KIND_STEP];
    } else if (strcmp(name, "tempusd_failures_total") == 0) {
        const int outcome = outcome_named(label(line, "kind"));
        if (outcome < OUTCOME_COUNT)
            s->outcomes[outcome] = count;
    } else if (strcmp(name, "tempusd_uncertain_telegrams_total") == 0) {
        s->outcomes[OUTCOME_UNCERTAIN] = count;
    } else if (strcmp(name, "tempusd_samples_delivered_total") == 0) {
        s->outcomes[OUTCOME_SAMPLE_DELIVERED] = count;
    } else if (strcmp(name, "tempusd_samples_not_delivered_total") == 0) {
        s->outcomes[OUTCOME_SAMPLE_NOT_DELIVERED] = count;
    } else if (strcmp(name, "tempusd_line_lost_total") == 0) {
        s->lines_lost = count;
    } else if (strcmp(name, "tempusd_line_restored_total") == 0) {
        s->lines_restored = count;
    }
}

int parse_state_file(const char *text, service_state *out)
{
    *out = service_state{};
    out->last_outcome = OUTCOME_COUNT;
    out->line_up = true;
    bool identified = false;
    bool timed = false;
    for (const char *at = text; *at != '\0';) {
        const char *end = strchr(at, '\n');
        const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - at) : strlen(at);
        char one[512];
        if (length < sizeof one && at[0] != '#') {
            memcpy(one, at, length);
            one[length] = '\0';
            sample_line line;
            if (parse_sample(one, &line))
                take_sample(line, out, &identified, &timed);
        }
        at += length + (end != nullptr ? 1 : 0);
    }
    return identified && timed ? 0 : -1;
}

// The service writes its state at least every two intervals (a cycle's
// longest wait, after an uncertain telegram), and every 20 s while the line
// is lost: one older than three intervals no longer tells what it does.
static bool state_is_stale(const service_state &state, long long now)
{
    return now - state.state_time > 3 * 60LL * state.interval_minutes;
}

int status_exit_code(const service_state &state, long long now)
{
    if (state_is_stale(state, now))
        return QUERY_UNREADABLE;
    if (!state.line_up)
        return QUERY_NOT_RUNNING;
    const bool recent =
        state.last_sync_time != 0 && now - state.last_sync_time <= 3 * 60LL * state.interval_minutes;
    return recent ? QUERY_SYNCHRONISED : QUERY_NOT_SYNCHRONISED;
}

static void say_mode(text_buffer *out, const service_state &s)
{
    if (strcmp(s.mode, "shm") == 0)
        text_append(out, "Tryb: przekazywanie czasu serwerowi NTP (segment pamieci wspolnej %s)",
                    s.ntp_target);
    else if (strcmp(s.mode, "sock") == 0)
        text_append(out, "Tryb: przekazywanie czasu serwerowi NTP (gniazdo %s)", s.ntp_target);
    else
        text_append(out, "Tryb: ustawianie zegara systemowego");
    text_append(out, "; port %s; telegram co %d min.\n", s.device, s.interval_minutes);
}

static void say_line(text_buffer *out, const service_state &s)
{
    if (s.line_up) {
        text_append(out, "Polaczenie z zegarem: dziala.\n");
        return;
    }
    text_append(out, "Polaczenie z zegarem: utracone od ");
    text_append_wall_clock(out, s.line_lost_time);
    if (s.line_reason != LINE_OK)
        text_append(out, "; nie mozna otworzyc %s: %s.\n", s.device, line_reason_text(s.line_reason));
    else
        text_append(out, "; trwaja proby ponownego otwarcia %s.\n", s.device);
}

static void say_counts(text_buffer *out, const service_state &s, bool clock_mode)
{
    if (clock_mode)
        text_append(out, "Synchronizacje: %llu (bez korekty %llu, plynnie %llu, skokowo %llu).\n",
                    s.outcomes[OUTCOME_SYNCHRONISED], s.corrections[CORRECTION_KIND_NONE],
                    s.corrections[CORRECTION_KIND_SLEW], s.corrections[CORRECTION_KIND_STEP]);
    else
        text_append(out, "Probki dla serwera NTP: przekazane %llu, nieprzekazane %llu.\n",
                    s.outcomes[OUTCOME_SAMPLE_DELIVERED], s.outcomes[OUTCOME_SAMPLE_NOT_DELIVERED]);
    const unsigned long long failures = state_failure_count(s);
    text_append(out, "Bledy: %llu", failures);
    const char *separator = " (";
    for (int outcome = 0; outcome < OUTCOME_COUNT; ++outcome) {
        if (!state_outcome_is_failure(outcome) || s.outcomes[outcome] == 0)
            continue;
        text_append(out, "%s%s %llu", separator, state_outcome_text(outcome), s.outcomes[outcome]);
        separator = ", ";
    }
    text_append(out, "%s; niepewny czas: %llu; polaczenie utracone %llu, przywrocone %llu.\n",
                failures != 0 ? ")" : "", s.outcomes[OUTCOME_UNCERTAIN], s.lines_lost, s.lines_restored);
}

int format_status_report(const service_state &s, long pid, long long now, char *text, std::size_t size)
{
    text_buffer out = text_in(text, size);
    const bool clock_mode = strcmp(s.mode, "clock") == 0;
    text_append(&out, "Program obslugi zegara Horolan dziala (pid %ld) od ", pid);
    text_append_wall_clock(&out, s.start_time);
    text_append(&out, ".\nStan zapisany ");
    text_append_wall_clock(&out, s.state_time);
    text_append(&out, ", %lld s temu", now - s.state_time);
    text_append(&out, state_is_stale(s, now) ? ": nieaktualny, program nie moze go zapisac (zob. dziennik "
                                               "systemowy).\n"
                                             : ".\n");
    say_mode(&out, s);
    say_line(&out, s);
    if (s.last_outcome < OUTCOME_COUNT) {
        text_append(&out, "Ostatni telegram: ");
        text_append_wall_clock(&out, s.last_telegram_time);
        text_append(&out, ", %s.\n", state_outcome_text(s.last_outcome));
    } else {
        text_append(&out, "Ostatni telegram: brak.\n");
    }
    text_append(&out, clock_mode ? "Ostatnia synchronizacja: " : "Ostatnia probka dla serwera NTP: ");
    if (s.last_sync_time != 0) {
        text_append_wall_clock(&out, s.last_sync_time);
        if (s.has_offset)
            text_append(&out, clock_mode ? ", przesuniecie %+.0f s" : ", przesuniecie %+.3f s",
                        s.last_offset);
        text_append(&out, ".\n");
    } else {
        text_append(&out, "brak.\n");
    }
    say_counts(&out, s, clock_mode);
    return text_length(out);
}

// The registered background process's pid: > 0, 0 when none is recorded
// yet, -1 when nothing is installed, -2 when the registry cannot be read.
static long registered_pid()
{
    const int id = sem_open(tempus_registry_io.key);
    if (id == -1)
        return errno == ENOENT ? -1 : -2;
    const int pid = sem_last_pid(id);
    return pid < 0 ? -2 : pid;
}

// The state file of process pid, through its working directory, into text;
// 0, -1 with errno, or -2 for anything but a regular file under the name (a
// FIFO would hold the query for ever), refused at once.
static int read_state_of(long pid, char *text, std::size_t size, char *path, std::size_t path_size)
{
    snprintf(path, path_size, "/proc/%ld/cwd/%s", pid, STATE_FILE);
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat info = {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return -2;
    }
    std::size_t used = 0;
    ssize_t n = 0;
    while (used + 1 < size && (n = read(fd, text + used, size - 1 - used)) > 0)
        used += static_cast<std::size_t>(n);
    const int saved = errno;
    close(fd);
    text[used] = '\0';
    errno = saved;
    return n < 0 ? -1 : 0;
}

int query_status()
{
    const long pid = registered_pid();
    if (pid == -1) {
        printf("Program obslugi zegara Horolan nie jest zainstalowany.\n");
        return QUERY_NOT_RUNNING;
    }
    if (pid == -2) {
        printf("Nie mozna odczytac rejestracji programu obslugi zegara Horolan (semafor o kluczu %d): %s.\n",
               tempus_registry_io.key, strerror(errno));
        return QUERY_UNREADABLE;
    }
    if (pid == 0 || !tempus_registry_io.runs_program(static_cast<pid_t>(pid), "tempusd")) {
        printf("Program obslugi zegara Horolan jest zainstalowany, ale jego proces nie dziala.\n");
        return QUERY_NOT_RUNNING;
    }
    static char text[STATE_FILE_LIMIT];
    char path[64];
    service_state state;
    const int got = read_state_of(pid, text, sizeof text, path, sizeof path);
    if (got == -1) {
        printf("Nie mozna odczytac stanu programu obslugi zegara Horolan (pid %ld): %s: %s.\n", pid, path,
               strerror(errno));
        return QUERY_UNREADABLE;
    }
    if (got != 0 || parse_state_file(text, &state) != 0) {
        printf("Nie mozna odczytac stanu programu obslugi zegara Horolan (pid %ld): %s nie jest plikiem "
               "stanu.\n",
               pid, path);
        return QUERY_UNREADABLE;
    }
    static char report[4096];
    const auto now = static_cast<long long>(time(nullptr));
    if (format_status_report(state, pid, now, report, sizeof report) > 0)
        fputs(report, stdout);
    return status_exit_code(state, now);
}
