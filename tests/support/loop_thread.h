// The supervisor loop on a joinable thread of its own, for tests and
// benchmarks (the program's thread is detached and never ends).
#pragma once

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
