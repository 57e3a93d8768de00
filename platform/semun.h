#ifndef TEMPUS_PLATFORM_SEMUN_H
#define TEMPUS_PLATFORM_SEMUN_H

#include <sys/sem.h>

// The argument union of semctl, which Linux leaves to the caller to declare.
union semun {
    int val;
    struct semid_ds *buf;
    unsigned short *array;
    struct seminfo *__buf;
};

#endif
