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
#include "dialup/dialup_service.h"
#include "log/event_log.h"
#include "settings/shared_state.h"
#include "supervisor/wake_event.h"

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

// One pass over a snapshot. The clock is read only for a rule mode.
void RunSupervisorPass(ConnectionBuffer* buffer, const DialUpService& service,
                       const SettingsSnapshot& snapshot, const Clock& clock, const EventLog& log);

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

// The thread's body: wait, snapshot, pass, for ever (or until stopRequested).
void SupervisorLoop(Supervisor* supervisor);

// Creates the WakeEvent signalled (named "BreskTeleoraEvent" on Windows), so
// the first pass runs at once, and starts the thread. The caller fills
// service, shared, clock and log; the buffer may already be allocated.
// Returns false when the thread could not be started.
bool StartSupervisor(Supervisor* supervisor);
