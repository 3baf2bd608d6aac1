#include <pthread.h>

#include <new>

#include "common/lock.h"

static_assert(sizeof(pthread_mutex_t) <= kLockSlotSize, "the mutex must fit the lock's slot");
static_assert(alignof(pthread_mutex_t) <= kLockSlotAlign, "the slot must align the mutex");

// A Lock is ready when zero-filled, which holds where PTHREAD_MUTEX_INITIALIZER
// is all zero bytes (glibc, musl); the POSIX tests check it.
static pthread_mutex_t* Native(Lock* lock) {
    return std::launder(reinterpret_cast<pthread_mutex_t*>(lock->slot));
}

void AcquireLock(Lock* lock) {
    pthread_mutex_lock(Native(lock));
}

void ReleaseLock(Lock* lock) {
    pthread_mutex_unlock(Native(lock));
}
