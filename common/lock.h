// A lock for short sections of code shared by threads of this process: a
// slim reader/writer lock taken exclusively on Windows (no C++ thread runtime
// in the program), a pthread mutex elsewhere. Not recursive.
//
// The native lock lives in an opaque slot, so this header needs no system
// header. A zero-filled Lock is unlocked and ready: a Lock with static storage
// or one made with Lock{} needs no set-up, and none needs tearing down.
#pragma once

#include <cstddef>

constexpr size_t kLockSlotSize = 64;
constexpr size_t kLockSlotAlign = 8;

struct Lock {
    alignas(kLockSlotAlign) unsigned char slot[kLockSlotSize];
};

void AcquireLock(Lock* lock);
// For tests of the POSIX lock: when set, called by the thread that sets a
// fresh lock up, inside the set-up (others arriving meanwhile must wait).
extern void (*gLockSetUpHook)();
void ReleaseLock(Lock* lock);

// Holds a lock from its construction to the end of its scope.
class LockGuard {
  public:
    explicit LockGuard(Lock* lock) : lock_(lock) { AcquireLock(lock_); }
    ~LockGuard() { ReleaseLock(lock_); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

  private:
    Lock* lock_;
};
