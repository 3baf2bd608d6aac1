// The supervisor loop on a joinable thread of its own, for tests and
// benchmarks (the program's thread is detached and never ends), and a clock
// that runs in real time for it.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

#include "common/wake_event.h"
#include "supervisor/supervisor.h"

// Creates the wake event signalled, as StartSupervisor does, so the first pass
// runs at once, and starts the loop. The caller has filled service, shared,
// clock and log.
inline std::thread StartLoopThread(Supervisor* supervisor) {
    supervisor->stopRequested = false;
    supervisor->wake = CreateWakeEvent(true, nullptr);
    return std::thread(SupervisorLoop, supervisor);
}

// Ends the loop, waits for its thread and frees the buffer and the event.
inline void StopLoopThread(Supervisor* supervisor, std::thread* thread) {
    supervisor->stopRequested = true;
    SignalWakeEvent(supervisor->wake);
    thread->join();
    ReleaseConnectionBuffer(&supervisor->buffer);
    DestroyWakeEvent(supervisor->wake);
}

// Waits up to 10 s (far longer than any case needs, far shorter than the 30 s
// pauses the loop tests use), or the milliseconds given, for pred.
template <typename Pred>
bool Eventually(Pred pred, int ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Local time running in real time from a set start, for window edges.
struct RunningClock {
    LocalTime start;
    std::chrono::steady_clock::time_point origin = std::chrono::steady_clock::now();
    static LocalTime Now(void* ctx) {
        auto* c = static_cast<RunningClock*>(ctx);
        int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - c->origin)
                         .count() +
                     ((c->start.hour * 60 + c->start.minute) * 60 + c->start.second) * 1000 +
                     c->start.millisecond;
        LocalTime t = c->start;
        t.millisecond = static_cast<int>(ms % 1000);
        t.second = static_cast<int>(ms / 1000 % 60);
        t.minute = static_cast<int>(ms / 60000 % 60);
        t.hour = static_cast<int>(ms / 3600000 % 24);
        return t;
    }
};
