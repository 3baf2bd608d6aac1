#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "common/wake_event.h"

struct WakeEvent {
    std::mutex mutex;
    std::condition_variable changed;
    bool signalled = false;
};

WakeEvent* CreateWakeEvent(bool initiallySignalled, const char*) {
    WakeEvent* event = new (std::nothrow) WakeEvent;
    if (event != nullptr) event->signalled = initiallySignalled;
    return event;
}

void DestroyWakeEvent(WakeEvent* event) {
    delete event;
}

void SignalWakeEvent(WakeEvent* event) {
    if (event == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(event->mutex);
        event->signalled = true;
    }
    event->changed.notify_one();
}

bool WaitWakeEvent(WakeEvent* event, uint32_t timeoutMs) {
    if (event == nullptr) {
        if (timeoutMs == kWaitForever) {
            for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
        return false;
    }
    std::unique_lock<std::mutex> lock(event->mutex);
    auto isSet = [event] { return event->signalled; };
    if (timeoutMs == kWaitForever) {
        event->changed.wait(lock, isSet);
    } else if (!event->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), isSet)) {
        return false;
    }
    event->signalled = false;
    return true;
}

uint64_t MonotonicMilliseconds() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}
