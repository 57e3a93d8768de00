// The calendar library against the C library and std::chrono, side by side,
// with the heap calls each operation makes (malloc is replaced in this program).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <vector>

#include "calendar/rwtime.h"
#include "calendar/zone.h"

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t n, size_t size);
void *__libc_realloc(void *p, size_t size);
void __libc_free(void *p);
}

static std::atomic<unsigned long> heap_calls{0};

extern "C" void *malloc(size_t size)
{
    heap_calls.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}

extern "C" void *calloc(size_t n, size_t size)
{
    heap_calls.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, size);
}

extern "C" void *realloc(void *p, size_t size)
{
    heap_calls.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, size);
}

extern "C" void free(void *p)
{
    __libc_free(p);
}

namespace {

// Instants spread over 1990..2030, so every month and both clocks are visited.
constexpr std::uint32_t kFirst = 2808172800u; // 1990-01-01 00:00:00 GMT
constexpr std::uint32_t kSpan = 1262304000u;  // 40 years
constexpr std::uint32_t kStep = 2654435761u % kSpan;

std::uint32_t instant(std::uint64_t i)
{
    return kFirst + static_cast<std::uint32_t>((i * kStep) % kSpan);
}

// Reports heap calls per iteration of the loop just run.
void report_heap(benchmark::State &state, unsigned long before)
{
    const unsigned long calls = heap_calls.load() - before;
    state.counters["heap_per_op"] =
        benchmark::Counter(static_cast<double>(calls), benchmark::Counter::kAvgIterations);
}

void BM_RWTime_extract_local(benchmark::State &state)
{
    const RWZone &local = RWZone::local();
    std::uint64_t i = 0;
    const unsigned long before = heap_calls.load();
    for (auto _ : state) {
        (void)_;
        struct tm fields;
        RWTime(instant(i++)).extract(&fields, local);
        benchmark::DoNotOptimize(fields);
    }
    report_heap(state, before);
}

void BM_localtime_r(benchmark::State &state)
{
    std::uint64_t i = 0;
    const unsigned long before = heap_calls.load();
    for (auto _ : state) {
        (void)_;
        const time_t t = static_cast<time_t>(instant(i++)) - static_cast<time_t>(rwEpoch);
        struct tm fields;
        benchmark::DoNotOptimize(localtime_r(&t, &fields));
        benchmark::DoNotOptimize(fields);
    }
    report_heap(state, before);
}

// Wall-clock fields of the same instants in GMT, prepared outside the timed loops.
struct WallClock {
    unsigned day, month, year, hour, minute, second;
};

constexpr std::size_t kInputs = 4096;

const WallClock *wall_clocks()
{
    static WallClock table[kInputs];
    for (std::size_t i = 0; i < kInputs; ++i) {
        struct tm f;
        RWTime(instant(i)).extract(&f, RWZone::utc());
        table[i] = {static_cast<unsigned>(f.tm_mday),        static_cast<unsigned>(f.tm_mon + 1),
                    static_cast<unsigned>(f.tm_year + 1900), static_cast<unsigned>(f.tm_hour),
                    static_cast<unsigned>(f.tm_min),         static_cast<unsigned>(f.tm_sec)};
    }
    return table;
}

// The whole way from day, month, year and time to an instant in zone.
void construct_from_wall_clocks(benchmark::State &state, const RWZone &zone)
{
    const WallClock *in = wall_clocks();
    std::size_t i = 0;
    const unsigned long before = heap_calls.load();
    for (auto _ : state) {
        (void)_;
        const WallClock &w = in[i++ % kInputs];
        const RWTime t(RWDate(w.day, w.month, w.year), w.hour, w.minute, w.second, zone);
        benchmark::DoNotOptimize(t);
    }
    report_heap(state, before);
}

void BM_RWTime_from_date_local(benchmark::State &state)
{
    construct_from_wall_clocks(state, RWZone::local());
}

// Where the constructor's time goes, part 1: the whole way in a zone without daylight
// time (no fields, no rule).
void BM_RWTime_from_date_utc(benchmark::State &state)
{
    construct_from_wall_clocks(state, RWZone::utc());
}

// The constructor alone, as callers holding an RWDate use it: the dates are made beforehand.
void BM_RWTime_from_prepared_date_local(benchmark::State &state)
{
    const RWZone &local = RWZone::local();
    const WallClock *in = wall_clocks();
    std::vector<RWDate> dates; // filled before the heap count starts
    dates.reserve(kInputs);
    for (std::size_t k = 0; k < kInputs; ++k)
        dates.emplace_back(in[k].day, in[k].month, in[k].year);
    std::size_t i = 0;
    const unsigned long before = heap_calls.load();
    for (auto _ : state) {
        (void)_;
        const std::size_t k = i++ % kInputs;
        const RWTime t(dates[k], in[k].hour, in[k].minute, in[k].second, local);
        benchmark::DoNotOptimize(t);
    }
    report_heap(state, before);
}

// Where the constructor's time goes, part 2: the local zone's rule alone on prepared fields.
void BM_RWZone_isDaylight_local(benchmark::State &state)
{
    const RWZone &local = RWZone::local();
    static struct tm fields[kInputs];
    for (std::size_t k = 0; k < kInputs; ++k)
        RWTime(instant(k)).extract(&fields[k], RWZone::utc());
    std::size_t i = 0;
    const unsigned long before = heap_calls.load();
    for (auto _ : state) {
        (void)_;
        benchmark::DoNotOptimize(local.isDaylight(&fields[i++ % kInputs]));
    }
    report_heap(state, before);
}

void BM_mktime(benchmark::State &state)
{
    const WallClock *in = wall_clocks();
    std::size_t i = 0;
    const unsigned long before = heap_calls.load();
    for (auto _ : state) {
        (void)_;
        const WallClock &w = in[i++ % kInputs];
        struct tm f = {};
        f.tm_mday = static_cast<int>(w.day);
        f.tm_mon = static_cast<int>(w.month) - 1;
        f.tm_year = static_cast<int>(w.year) - 1900;
        f.tm_hour = static_cast<int>(w.hour);
        f.tm_min = static_cast<int>(w.minute);
        f.tm_sec = static_cast<int>(w.second);
        f.tm_isdst = -1;
        benchmark::DoNotOptimize(mktime(&f));
    }
    report_heap(state, before);
}

void BM_RWDate_construct_mdy(benchmark::State &state)
{
    unsigned i = 0;
    unsigned sum = 0;
    const unsigned long before = heap_calls.load();
    for (auto _ : state) {
        (void)_;
        const RWDate date(1 + i % 28, 1 + (i / 28) % 12, 1600 + (i / 336) % 800);
        unsigned m = 0, d = 0, y = 0;
        date.mdy(m, d, y);
        sum += m + d + y;
        ++i;
        benchmark::DoNotOptimize(sum);
    }
    report_heap(state, before);
}

void BM_chrono_year_month_day(benchmark::State &state)
{
    using namespace std::chrono;
    unsigned i = 0;
    unsigned sum = 0;
    const unsigned long before = heap_calls.load();
    for (auto _ : state) {
        (void)_;
        const sys_days days{year{static_cast<int>(1600 + (i / 336) % 800)} / month{1 + (i / 28) % 12} /
                            day{1 + i % 28}};
        benchmark::DoNotOptimize(days);
        const year_month_day ymd{days};
        sum += static_cast<unsigned>(ymd.month()) + static_cast<unsigned>(ymd.day()) +
               static_cast<unsigned>(static_cast<int>(ymd.year()));
        ++i;
        benchmark::DoNotOptimize(sum);
    }
    report_heap(state, before);
}

} // namespace

BENCHMARK(BM_RWTime_extract_local);
BENCHMARK(BM_localtime_r);
BENCHMARK(BM_RWTime_from_date_local);
BENCHMARK(BM_mktime);
BENCHMARK(BM_RWTime_from_prepared_date_local);
BENCHMARK(BM_RWTime_from_date_utc);
BENCHMARK(BM_RWZone_isDaylight_local);
BENCHMARK(BM_RWDate_construct_mdy);
BENCHMARK(BM_chrono_year_month_day);

int main(int argc, char **argv)
{
    // Build the local zone (its one allocation) and load the system's zone data before measuring.
    (void)RWZone::local();
    (void)RWZone::utc();
    tzset();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
