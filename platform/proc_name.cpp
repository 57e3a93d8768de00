#include "platform/proc_name.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <unistd.h>

// Reads /proc/<pid>/comm without its trailing line break; 0 or -1.
static int read_command_name(pid_t pid, char *out, size_t size)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%ld/comm", static_cast<long>(pid));
    FILE *f = fopen(path, "r");
    if (f == nullptr) {
        return -1;
    }
    int ok = fgets(out, static_cast<int>(size), f) != nullptr;
    fclose(f);
    if (!ok) {
        return -1;
    }
    out[strcspn(out, "\n")] = '\0';
    return 0;
}

// Last path component of /proc/<pid>/exe's target; 0 or -1.
static int read_executable_name(pid_t pid, char *out, size_t size)
{
    char path[64];
    char target[PATH_MAX];
    snprintf(path, sizeof path, "/proc/%ld/exe", static_cast<long>(pid));
    ssize_t n = readlink(path, target, sizeof target - 1);
    if (n < 0) {
        return -1;
    }
    target[n] = '\0';
    // A replaced executable reads "<path> (deleted)"; it still names the program.
    static const char deleted[] = " (deleted)";
    size_t len = static_cast<size_t>(n);
    if (len >= sizeof deleted - 1 && strcmp(target + len - (sizeof deleted - 1), deleted) == 0) {
        target[len - (sizeof deleted - 1)] = '\0';
    }
    const char *slash = strrchr(target, '/');
    const char *base = slash != nullptr ? slash + 1 : target;
    size_t base_length = strlen(base);
    if (base_length >= size) {
        return -1;
    }
    memcpy(out, base, base_length + 1);
    return 0;
}

int process_runs_program(pid_t pid, const char *name)
{
    if (pid <= 0) {
        return 0;
    }
    char found[PATH_MAX];
    if (read_command_name(pid, found, sizeof found) == 0 && strcmp(found, name) == 0) {
        return 1;
    }
    if (read_executable_name(pid, found, sizeof found) == 0 && strcmp(found, name) == 0) {
        return 1;
    }
    return 0;
}

int process_has_ended(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%ld/stat", static_cast<long>(pid));
    FILE *f = fopen(path, "r");
    if (f == nullptr) {
        return 1;
    }
    char stat[512] = "";
    const bool read = fgets(stat, sizeof stat, f) != nullptr;
    fclose(f);
    // The state follows the command name, which may itself hold ") ".
    const char *end = strrchr(stat, ')');
    if (!read || end == nullptr || end[1] != ' ') {
        return 1;
    }
    return end[2] == 'Z' || end[2] == 'X' ? 1 : 0;
}
