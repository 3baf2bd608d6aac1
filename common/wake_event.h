// The WakeEvent: an auto-reset event that the user-interface thread signals
// after every menu command and the supervisor waits on between passes. On
// Windows (wake_event_win32.cpp) it is the named kernel event
// "BreskTeleoraEvent"; elsewhere (wake_event_posix.cpp) a process-wide event
// with the same behaviour.
#pragma once

#include <cstdint>

constexpr const char* kWakeEventName = "BreskTeleoraEvent";
constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

struct WakeEvent;

// Creates the event, signalled or not. On Windows a name makes it the named
// kernel event (a second copy of the program opens the same one); a null name
// makes a private event. Elsewhere the name is not used. Returns null on
// failure.
WakeEvent* CreateWakeEvent(bool initiallySignalled, const char* name);

// Releases the event. The program keeps its one event for its whole life;
// tests make and release many.
void DestroyWakeEvent(WakeEvent* event);

// Sets the event. A set event stays set until one wait consumes it.
void SignalWakeEvent(WakeEvent* event);

// Waits until the event is set (and resets it) or timeoutMs milliseconds have
// passed: 0 only looks, kWaitForever waits without limit. Returns true when
// the event was consumed. A null event waits out the time-out.
bool WaitWakeEvent(WakeEvent* event, uint32_t timeoutMs);

// Milliseconds on a clock that only moves forward (not the wall clock), for
// measuring pauses.
uint64_t MonotonicMilliseconds();
