#ifndef TEMPUS_PLATFORM_STIME_H
#define TEMPUS_PLATFORM_STIME_H

#include <ctime>

// glibc keeps stime only as a compat symbol without a declaration; this one
// sets the system clock to *when (whole seconds) and returns 0, or -1 with errno.
extern "C" int stime(const time_t *when);

#endif
