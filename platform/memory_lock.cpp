#include "platform/memory_lock.h"

#include <sched.h>
#include <sys/mman.h>

int lock_memory_when_real_time()
{
    const int policy = sched_getscheduler(0);
    if (policy != SCHED_FIFO && policy != SCHED_RR)
        return 0;
    // Locked as the pages are touched: what the cycle uses (about 2 MB) stays
    // in RAM, while the libraries' untouched pages (most of the mapped 9 MB)
    // cost nothing.
    return mlockall(MCL_CURRENT | MCL_FUTURE | MCL_ONFAULT) == 0 ? 1 : -1;
}
