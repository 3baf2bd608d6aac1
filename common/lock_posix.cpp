#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <new>

#include "common/lock.h"

void (*gLockSetUpHook)() = nullptr;

namespace {

// The slot holds the mutex and the state of its one-time set-up, so a
// zero-filled Lock is ready whatever bytes PTHREAD_MUTEX_INITIALIZER has: the
// first AcquireLock initialises the mutex, and a thread that comes meanwhile
// waits for that to finish.
struct NativeLock {
    int state;  // kNew (zero-filled), kSettingUp, kReady
    pthread_mutex_t mutex;
};
constexpr int kNew = 0;
constexpr int kSettingUp = 1;
constexpr int kReady = 2;

static_assert(sizeof(NativeLock) <= kLockSlotSize, "the mutex must fit the lock's slot");
static_assert(alignof(NativeLock) <= kLockSlotAlign, "the slot must align the mutex");

pthread_mutex_t* Native(Lock* lock) {
    NativeLock* native = std::launder(reinterpret_cast<NativeLock*>(lock->slot));
    std::atomic_ref<int> state(native->state);
    if (state.load(std::memory_order_acquire) != kReady) {
        int expected = kNew;
        if (state.compare_exchange_strong(expected, kSettingUp, std::memory_order_acquire)) {
            if (gLockSetUpHook != nullptr) gLockSetUpHook();
            pthread_mutex_init(&native->mutex, nullptr);
            state.store(kReady, std::memory_order_release);
        } else {
            while (state.load(std::memory_order_acquire) != kReady) sched_yield();
        }
    }
    return &native->mutex;
}

}  // namespace

void AcquireLock(Lock* lock) {
    pthread_mutex_lock(Native(lock));
}

void ReleaseLock(Lock* lock) {
    pthread_mutex_unlock(Native(lock));
}
