#include <windows.h>

#include <new>

#include "common/lock.h"

static_assert(sizeof(SRWLOCK) <= kLockSlotSize, "the lock must fit the slot");
static_assert(alignof(SRWLOCK) <= kLockSlotAlign, "the slot must align the lock");

// SRWLOCK_INIT is all zero bytes, so a zero-filled Lock is ready.
static SRWLOCK* Native(Lock* lock) {
    return std::launder(reinterpret_cast<SRWLOCK*>(lock->slot));
}

void AcquireLock(Lock* lock) {
    AcquireSRWLockExclusive(Native(lock));
}

void ReleaseLock(Lock* lock) {
    ReleaseSRWLockExclusive(Native(lock));
}
