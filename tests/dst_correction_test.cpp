#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "calendar/zone.h"
#include "tests/support/child.h"
#include "tests/support/proc.h"
#include "timesvc/telegram_instant.h"
#include "timesvc/tm_srvce.h"

namespace {

const char kProbeVar[] = "TEMPUS_DST_CORRECTION_PROBE";

// Started again under a fake clock, this binary only reports the service
// clock's view of the moment and leaves before any test runs.
bool report_dst_correction_if_probe()
{
    if (getenv(kProbeVar) == nullptr)
        return false;
    const int before = DST_correction;
    update_DST_correction();
    long shift = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        const RWTime plain = RWTime::now();
        const RWTime service = now_DST();
        shift = static_cast<long>(static_cast<std::int32_t>(service.seconds() - plain.seconds()));
        if (RWTime::now() == plain)
            break;
    }
    printf("before=%d correction=%d shift=%ld\n", before, DST_correction, shift);
    fflush(stdout);
    exit(0); // not _exit: libfaketime removes its shared-memory files at exit
}

const bool probe_ran = report_dst_correction_if_probe();

// Runs this binary as a probe with TZ and a fake clock starting at `when`; returns its line.
std::string probe(const char *tz, const char *when)
{
    // The binary's own path, also as argv[0]: the sanitizer runtime stalls
    // under the fake clock when started as "/proc/self/exe".
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        return "own path unknown";
    // When the sanitizer's allocator first fills a size class it reads the
    // clock under its lock, for its releases to the OS; libfaketime, not set up
    // yet, allocates inside that read: a deadlock that comes and goes with the
    // binary's layout (its build path). No releases, no such reading.
    const char *asan = getenv("ASAN_OPTIONS");
    tproc::Spawn sp;
    sp.argv = {self};
    sp.env = {std::string("TZ=") + tz, std::string(kProbeVar) + "=1",
              std::string("ASAN_OPTIONS=") +
                  (asan != nullptr && asan[0] != '\0' ? std::string(asan) + ":" : "") +
                  "verify_asan_link_order=0:allocator_release_to_os_interval_ms=-1"};
    sp.faketime = std::string("@") + when;
    sp.timeout_ms = 20000;
    const tproc::Result r = tproc::run(sp);
    std::string out = r.out;
    if (r.timed_out)
        out += "probe timed out";
    if (!r.exited || r.exit_code != 0)
        out += "probe failed";
    return out;
}

} // namespace

// The correction is what the system's wall clock needs on top of the library's
// zone and North American daylight rule, in seconds, and the service clock
// moves by exactly that.
TEST(DstCorrection, FollowsTheDisagreementOfTheTwoRules)
{
    ASSERT_FALSE(probe_ran);
    if (access(tproc::kFaketimeLib, R_OK) != 0)
        GTEST_SKIP() << "libfaketime not installed";
    struct Case {
        const char *tz;
        const char *when;
        const char *expected;
    };
    const Case cases[] = {
        // System in summer time since the last Sunday of March, library not before April.
        {"Europe/Warsaw", "2026-03-31 12:00:00", "before=0 correction=3600 shift=3600\n"},
        // Summer time ended on the last Sunday of September, the library's lasts to October's.
        {"Europe/Warsaw", "1995-10-10 12:00:00", "before=0 correction=-3600 shift=-3600\n"},
        // Southern winter: the library's northern rule says daylight time.
        {"Australia/Sydney", "2026-07-15 12:00:00", "before=0 correction=-3600 shift=-3600\n"},
        // Dublin keeps its daylight flag in winter; Lord Howe saves half an hour.
        {"Europe/Dublin", "2026-01-15 12:00:00", "before=0 correction=-3600 shift=-3600\n"},
        {"Australia/Lord_Howe", "2026-01-15 12:00:00", "before=0 correction=1800 shift=1800\n"},
        {"Europe/Warsaw", "2026-01-15 12:00:00", "before=0 correction=0 shift=0\n"},
        {"Europe/Warsaw", "2026-07-15 12:00:00", "before=0 correction=0 shift=0\n"},
        // No daylight time at all: the library applies no rule.
        {"UTC", "2026-07-15 12:00:00", "before=0 correction=0 shift=0\n"},
        {"JST-9", "2026-07-15 12:00:00", "before=0 correction=0 shift=0\n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(probe(c.tz, c.when), c.expected) << c.tz << " at " << c.when;
}

// A new zone, or new rules replacing the zone's file, reaches a running
// service at its next refresh of the correction: the difference and the stamps
// follow the new zone. TZ names a file that another replaces, or, without TZ,
// a copy bound over /etc/localtime (in a private mount namespace) is rewritten
// in place, its mtime kept (cp -p), which the C library alone would miss.
static void follow_replaced_zone(bool in_place)
{
    const std::string dir = tproc::make_scratch_dir();
    const std::string zone = dir + "/localtime";
    const tproc::ChildRun run = tproc::run_in_child("", [&zone, in_place] {
        const struct timespec kept[2] = {{0, UTIME_OMIT}, {1700000000, 0}}; // atime, mtime
        auto install = [&zone, &kept, in_place](const char *name) {
            const std::string content = tproc::read_file(std::string("/usr/share/zoneinfo/") + name);
            if (in_place)
                return tproc::write_file(zone, content) && utimensat(AT_FDCWD, zone.c_str(), kept, 0) == 0;
            const std::string fresh = zone + ".new";
            return tproc::write_file(fresh, content) && rename(fresh.c_str(), zone.c_str()) == 0;
        };
        if (!install("UTC"))
            return 10;
        if (!in_place)
            setenv("TZ", zone.c_str(), 1);
        else if (unshare(CLONE_NEWNS) != 0 ||
                 mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                 mount(zone.c_str(), "/etc/localtime", nullptr, MS_BIND, nullptr) != 0)
            return 13;
        else
            unsetenv("TZ");
        delete RWZone::local(nullptr); // the library's zone is made from UTC too
        update_DST_correction();
        const time_t now = time(nullptr);
        struct tm berlin = {};
        if (!install("Europe/Berlin"))
            return 11;
        const int stale = DST_correction;
        update_DST_correction();
        localtime_r(&now, &berlin);
        const dcf_wall_time shown = {berlin.tm_year + 1900, berlin.tm_mon + 1, berlin.tm_mday,
                                     berlin.tm_hour,        berlin.tm_min,     berlin.tm_sec};
        telegram_instant found = {};
        if (find_telegram_instant(now, &shown, &found) != 0)
            return 12;
        printf("offset %ld correction %d -> %d difference %ld\n", berlin.tm_gmtoff, stale, DST_correction,
               found.difference);
        return 0;
    });
    tproc::remove_tree(dir);
    ASSERT_EQ(run.exit_code, 0) << run.console;
    const bool summer = run.out.rfind("offset 7200", 0) == 0;
    EXPECT_EQ(run.out, summer ? "offset 7200 correction 0 -> 7200 difference 0\n"
                              : "offset 3600 correction 0 -> 3600 difference 0\n");
}

TEST(DstCorrection, ReplacedZoneFileIsFollowedAtTheNextRefresh)
{
    for (const bool in_place : {false, true}) {
        SCOPED_TRACE(in_place ? "/etc/localtime rewritten in place" : "TZ's file replaced");
        follow_replaced_zone(in_place);
    }
}
