// The supervisor: a background thread that, pass after pass, makes the
// dial-up connections agree with the mode. It waits on the WakeEvent for at
// most tDelay milliseconds, takes one snapshot of the settings and the mode,
// decides, hangs up what must be down (and, with bDropAny, every other
// connection) and dials the chosen entry when it must be up. Every dial and
// hang-up is logged with its result.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/local_time.h"
#include "common/wake_event.h"
#include "dialup/dialup_service.h"
#include "log/event_log.h"
#include "settings/shared_state.h"

// The log's source of result texts: the service's getErrorString, or none
// for a null service.
inline ErrorTextSource ErrorTextOf(const DialUpService* service) {
    if (service == nullptr) return {};
    return ErrorTextSource{service->getErrorString, service->ctx};
}

// The largest connection buffer the supervisor will allocate; a service that
// asks for more is treated like a failed allocation.
constexpr uint32_t kMaxConnectionBufferBytes = 16u * 1024u * 1024u;

// Receives the active connections. Owned by the supervisor thread alone. It
// never holds less than one record and grows only to sizes the service
// reports. The program's buffer lives as long as the process and is never
// released; tests, fuzzers and benchmarks release theirs.
struct ConnectionBuffer {
    unsigned char* bytes;
    uint32_t capacity;   // bytes allocated
    uint32_t sizeInOut;  // passed to the enumeration; reset to capacity after it
    uint32_t count;      // records the last enumeration filled
};

// Allocates one record and prepares it. Returns false when out of memory (a
// pass then tries again).
bool InitConnectionBuffer(ConnectionBuffer* buffer, const DialUpService& service);

// Frees the records and leaves the buffer empty (a later pass would allocate
// it again). Only for a buffer no thread uses any more.
void ReleaseConnectionBuffer(ConnectionBuffer* buffer);

// What a pass did about dialling the chosen entry.
enum class DialOutcome {
    None,       // nothing to dial (down, skipped, already up, list unreadable)
    Succeeded,  // dialled, result 0
    Failed,     // the dial parameters could not be read, or the dial failed
    Held,       // it should have dialled, but mayDial was false
};

// One pass over a snapshot. The clock is read only for a rule mode. With
// mayDial false the pass hangs up as usual but dials nothing.
DialOutcome RunSupervisorPass(ConnectionBuffer* buffer, const DialUpService& service,
                              const SettingsSnapshot& snapshot, const Clock& clock,
                              const EventLog& log, bool mayDial = true);

struct Supervisor {
    const DialUpService* service;
    SharedState* shared;
    WakeEvent* wake;  // null when it could not be created: passes then run every tDelay
    Clock clock;
    EventLog log;
    ConnectionBuffer buffer;
    // Set only by tests, to end the loop; the program's thread never ends.
    std::atomic<bool> stopRequested{false};
};

// The shortest pause between passes, in milliseconds: a smaller tDelay (a
// hand-edited 0, say) would otherwise spin a core and, with a failing dial,
// fill the disk with log lines.
constexpr uint32_t kMinPassTimeoutMs = 100;

// The wait before the next pass for a tDelay read from the settings: tDelay
// as an unsigned 32-bit time-out, raised to kMinPassTimeoutMs. 0xFFFFFFFF
// waits for a signal only, unless there is no event to signal (haveEvent
// false), when the default pause paces the passes.
uint32_t PassTimeout(int32_t tDelay, bool haveEvent);

// How late after a window's edge minute the wait ends, to be sure the clock
// has reached the minute.
constexpr uint32_t kEdgeSlackMs = 5;

// The thread's body: wait, snapshot, pass, for ever (or until stopRequested).
// The wait is the shortest of the pause (PassTimeout), the time to the rule's
// next window edge and the end of the retry delay. After a pass whose dial
// failed, no pass dials until one pause has passed since that pass ended; a
// user's choice (SharedState::userChoices) or a window edge lifts the delay.
// Every pass that is not a user's choice (woken by a connection
// notification, the retry timer or a window's edge) starts at least
// kMinPassTimeoutMs after the previous pass started.
void SupervisorLoop(Supervisor* supervisor);

// The code reported when the service offers no connection notifications.
constexpr int32_t kNotificationsNotOffered = 1;

// Asks the service to signal wake on every connection change. When it cannot
// (no watchConnections, no event, or a failed registration) it writes one
// line to standard error with kNotificationsNotOffered or the service's code
// (the log holds only dial-up operations) and returns false: the passes keep
// only the pause.
bool WatchConnections(const DialUpService& service, WakeEvent* wake);

// Creates the WakeEvent signalled (named "BreskTeleoraEvent" on Windows), so
// the first pass runs at once, and starts the thread, whose first step,
// before its first wait, is WatchConnections. The caller fills service,
// shared, clock and log; the buffer may already be allocated. Returns false
// when the thread could not be started.
bool StartSupervisor(Supervisor* supervisor);
