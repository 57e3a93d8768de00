// Runs the synchronisation cycle a thousand times per scenario against a
// socket pair standing for the receiver line (real line and protocol code,
// system clock replaced by a recorder) and reports the heap calls and the
// open descriptors of the process around those cycles.
//
//   cycle_bench [cycles]

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "calendar/rwtime.h"
#include "calendar/zone.h"
#include "timesvc/dcf_log.h"
#include "timesvc/sync_cycle.h"
#include "timesvc/sync_io.h"

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *block, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void __libc_free(void *block);
}

namespace {

bool counting = false;
long heap_allocations = 0; // malloc, calloc, realloc, memalign while counting
long heap_releases = 0;
long new_calls = 0; // operator new while counting (also counted above)

void note_allocation()
{
    if (counting)
        ++heap_allocations;
}

} // namespace

extern "C" void *malloc(size_t size)
{
    note_allocation();
    return __libc_malloc(size);
}

extern "C" void *calloc(size_t count, size_t size)
{
    note_allocation();
    return __libc_calloc(count, size);
}

extern "C" void *realloc(void *block, size_t size)
{
    note_allocation();
    return __libc_realloc(block, size);
}

extern "C" void *memalign(size_t alignment, size_t size)
{
    note_allocation();
    return __libc_memalign(alignment, size);
}

extern "C" int posix_memalign(void **out, size_t alignment, size_t size)
{
    note_allocation();
    *out = __libc_memalign(alignment, size);
    return *out == nullptr ? ENOMEM : 0;
}

extern "C" void *aligned_alloc(size_t alignment, size_t size)
{
    note_allocation();
    return __libc_memalign(alignment, size);
}

extern "C" void free(void *block)
{
    if (counting && block != nullptr)
        ++heap_releases;
    __libc_free(block);
}

void *operator new(size_t size)
{
    if (counting)
        ++new_calls;
    void *block = malloc(size);
    if (block == nullptr)
        throw std::bad_alloc();
    return block;
}

void operator delete(void *block) noexcept
{
    free(block);
}
void operator delete(void *block, size_t) noexcept
{
    free(block);
}

namespace {

int line_end = -1;     // the cycle's end of the line
int receiver_end = -1; // the receiver's end
RWTime service_time{0u};
long slews = 0;
long pauses = 0;

RWTime fixed_service_clock()
{
    return service_time;
}
int record_slew(const struct timeval *, struct timeval *)
{
    ++slews;
    return 0;
}
int refuse_step(const time_t *)
{
    return -1;
}
unsigned record_pause(unsigned)
{
    ++pauses;
    return 0;
}
void no_refresh() {}

int open_descriptors()
{
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    while (const dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count - 1; // the directory stream itself
}

void send_telegram(unsigned h, unsigned m, unsigned s)
{
    unsigned char t[10] = {0xBB,
                           static_cast<unsigned char>(h),
                           static_cast<unsigned char>(m),
                           static_cast<unsigned char>(s),
                           26,
                           12,
                           7,
                           1,
                           0,
                           0xC5};
    unsigned sum = 0;
    for (int i = 1; i <= 7; ++i)
        sum += t[i];
    t[8] = static_cast<unsigned char>(sum % 128);
    if (write(receiver_end, t, sizeof t) != static_cast<ssize_t>(sizeof t))
        perror("write");
}

void drain_requests()
{
    unsigned char chunk[256];
    while (read(receiver_end, chunk, sizeof chunk) > 0) {
    }
}

enum scenario { SILENT, SLEWED, READ_ERRORS, LOG_ONLY };

// Difference 0: nothing logged. Slewed: 2 s, one log line. Read errors: an
// empty non-blocking line, one log line, a request and the wait per cycle.
// Log only: the log writer alone, once per cycle, for comparison.
void run_cycles(scenario which, int cycles)
{
    for (int i = 0; i < cycles; ++i) {
        if (which == LOG_ONLY) {
            write_to_log("Odczytano niepewny czas z zegara Horolan.", service_time);
            continue;
        }
        if (which == SILENT)
            send_telegram(12, 0, 0);
        else if (which == SLEWED)
            send_telegram(12, 0, 2);
        synchronize_time(line_end, 60);
        drain_requests();
    }
}

void measure(const char *name, scenario which, int cycles)
{
    const int flags = fcntl(line_end, F_GETFL);
    fcntl(line_end, F_SETFL, which == READ_ERRORS ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);

    run_cycles(which, 1); // first use builds the zones and reads the zone files
    slews = 0;
    pauses = 0;
    const int fds_before = open_descriptors();
    heap_allocations = heap_releases = new_calls = 0;
    counting = true;
    run_cycles(which, cycles);
    counting = false;
    const int fds_after = open_descriptors();
    printf("%-12s %6d %8ld %8ld %6ld %8ld %8ld %10d %9d\n", name, cycles, heap_allocations, heap_releases,
           new_calls, slews, pauses, fds_before, fds_after);
}

} // namespace

int main(int argc, char **argv)
{
    const int cycles = argc > 1 ? atoi(argv[1]) : 1000;
    char scratch[] = "/tmp/cycle_bench_XXXXXX";
    if (mkdtemp(scratch) == nullptr || chdir(scratch) != 0) {
        perror("scratch directory");
        return 1;
    }
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) {
        perror("socketpair");
        return 1;
    }
    line_end = pair[0];
    receiver_end = pair[1];
    fcntl(receiver_end, F_SETFL, O_NONBLOCK);

    service_time = RWTime(12, 0, 0, RWZone::local());
    tempus_sync_io.service_clock = fixed_service_clock;
    tempus_sync_io.refresh_correction = no_refresh;
    tempus_sync_io.slew_clock = record_slew;
    tempus_sync_io.step_clock = refuse_step;
    tempus_sync_io.pause_seconds = record_pause;

    printf("%-12s %6s %8s %8s %6s %8s %8s %10s %9s\n", "scenario", "cycles", "allocs", "frees", "new",
           "slews", "waits", "fds before", "fds after");
    measure("silent", SILENT, cycles);
    measure("slewed", SLEWED, cycles);
    measure("read-errors", READ_ERRORS, cycles);
    measure("log-only", LOG_ONLY, cycles);

    unlink("dcf.log");
    if (chdir("/") != 0 || rmdir(scratch) != 0)
        perror("cleanup");
    return 0;
}
