#include "platform/system_zone.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

extern char **environ;

static constexpr char DEFAULT_ZONE_FILE[] = "/etc/localtime";
static constexpr char DEFAULT_ZONE_DIR[] = "/usr/share/zoneinfo";

struct zone_file_identity {
    bool exists;
    dev_t device;
    ino_t inode;
    off_t size;
    struct timespec modified;
    struct timespec changed;
};

static zone_file_identity last_seen = {};
static bool seen_once = false;

// The file the C library reads the zone from: TZ's (":" dropped; a name
// relative to TZDIR), /etc/localtime without TZ. A TZ of rules, not a file
// name, gives a path that does not exist and so is never seen to change.
static void zone_file_path(char *path, size_t size)
{
    const char *tz = getenv("TZ");
    if (tz == nullptr) {
        snprintf(path, size, "%s", DEFAULT_ZONE_FILE);
        return;
    }
    if (tz[0] == ':')
        ++tz;
    if (tz[0] == '/') {
        snprintf(path, size, "%s", tz);
        return;
    }
    const char *dir = getenv("TZDIR");
    snprintf(path, size, "%s/%s", dir != nullptr && dir[0] != '\0' ? dir : DEFAULT_ZONE_DIR,
             tz[0] != '\0' ? tz : "UTC");
}

static zone_file_identity identity_of(const char *path)
{
    zone_file_identity id = {};
    struct stat info = {};
    if (stat(path, &info) != 0)
        return id;
    id.exists = true;
    id.device = info.st_dev;
    id.inode = info.st_ino;
    id.size = info.st_size;
    id.modified = info.st_mtim;
    id.changed = info.st_ctim;
    return id;
}

static bool same_identity(const zone_file_identity &a, const zone_file_identity &b)
{
    return a.exists == b.exists && a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec &&
           a.changed.tv_sec == b.changed.tv_sec && a.changed.tv_nsec == b.changed.tv_nsec;
}

// The C library reads a file named by TZ again only when TZ itself changes,
// and /etc/localtime (without TZ) only when its inode, device or whole-second
// mtime changed: a zone copied over it in place with its mtime kept (cp -p)
// changes none of them. A zone that is no file in between makes it read
// either afresh: TZ is set to plain UTC for a moment, then put back or
// removed again.
static void read_zone_again()
{
    char **entry = environ;
    while (entry != nullptr && *entry != nullptr && strncmp(*entry, "TZ=", 3) != 0)
        ++entry;
    char *const original = entry != nullptr ? *entry : nullptr;
    static char plain_utc[] = "TZ=UTC0";
    putenv(plain_utc);
    tzset();
    if (original != nullptr)
        putenv(original);
    else
        unsetenv("TZ");
    tzset();
}

int follow_system_zone()
{
    char path[PATH_MAX];
    zone_file_path(path, sizeof path);
    const zone_file_identity now = identity_of(path);
    if (seen_once && same_identity(now, last_seen))
        return 0;
    const bool changed = seen_once;
    seen_once = true;
    last_seen = now;
    read_zone_again();
    return changed ? 1 : 0;
}
