#include "emulator/variety.h"

namespace horolan {

unsigned long long random_next(Random *r)
{
    r->state += 0x9E3779B97F4A7C15ULL;
    unsigned long long z = r->state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

long long random_between(Random *r, long long lo, long long hi)
{
    const unsigned long long span = static_cast<unsigned long long>(hi - lo) + 1;
    return lo + static_cast<long long>(random_next(r) % span);
}

long long random_offset(Random *r, long long max)
{
    if (max <= 0)
        return 0;
    const long long size_class = random_between(r, 0, 19);
    long long lo = 0;
    long long hi = 0;
    if (size_class < 2) {
        return 0;
    } else if (size_class < 12) {
        lo = 1;
        hi = 5;
    } else if (size_class < 17) {
        lo = 6;
        hi = 3600;
    } else {
        lo = 3601;
        hi = max;
    }
    if (lo > max)
        return random_between(r, -max, max);
    if (hi > max)
        hi = max;
    const long long size = random_between(r, lo, hi);
    return random_between(r, 0, 1) == 0 ? size : -size;
}

RotatingFault rotating_fault(int every, int index)
{
    if (every <= 0 || (index + 1) % every != 0)
        return FAULT_NONE;
    static const RotatingFault order[] = {FAULT_GARBAGE, FAULT_BAD_CHECKSUM, FAULT_UNCERTAIN, FAULT_HANGUP};
    return order[((index + 1) / every - 1) % 4];
}

const char *fault_name(RotatingFault fault)
{
    switch (fault) {
    case FAULT_NONE: return "none";
    case FAULT_GARBAGE: return "garbage";
    case FAULT_BAD_CHECKSUM: return "bad-checksum";
    case FAULT_UNCERTAIN: return "uncertain";
    case FAULT_HANGUP: return "hangup";
    }
    return "none";
}

void garbage_burst(Random *r, unsigned char *out)
{
    for (int i = 0; i < GARBAGE_BYTES; ++i)
        out[i] = static_cast<unsigned char>(random_between(r, 1, 0x7F));
}

} // namespace horolan
