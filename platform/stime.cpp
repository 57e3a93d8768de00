#include "platform/stime.h"

#include <cerrno>
#include <ctime>

extern "C" int stime(const time_t *when)
{
    if (when == nullptr) {
        errno = EFAULT;
        return -1;
    }
    struct timespec ts = {};
    ts.tv_sec = *when;
    ts.tv_nsec = 0;
    return clock_settime(CLOCK_REALTIME, &ts);
}
