#include "supervisor/supervisor.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/text.h"
#include "common/thread_start.h"
#include "supervisor/schedule.h"

namespace {

// Resizes the buffer to the size the service asked for, never below one
// record and never above kMaxConnectionBufferBytes. realloc keeps the
// contents, so the first record stays prepared; it is prepared again anyway
// in case the service wrote over it. On failure the old buffer stays.
void ResizeConnectionBuffer(ConnectionBuffer* buffer, const DialUpService& service,
                            uint32_t wanted) {
    if (wanted < service.connectionRecordSize) wanted = service.connectionRecordSize;
    if (wanted == buffer->capacity || wanted > kMaxConnectionBufferBytes) return;
    void* grown = realloc(buffer->bytes, wanted);
    if (grown == nullptr) return;
    buffer->bytes = static_cast<unsigned char*>(grown);
    buffer->capacity = wanted;
    service.prepareConnectionBuffer(service.ctx, buffer->bytes);
}

// Lists the active connections. A failed first call (too small a buffer, or
// any other error) resizes the buffer to the size the service reported and
// repeats the call once; only the repeated call is logged. Returns the result
// of the last call; buffer->count is the number of records that may be read.
int32_t EnumerateConnections(ConnectionBuffer* buffer, const DialUpService& service,
                             const EventLog& log) {
    uint32_t count = 0;
    buffer->sizeInOut = buffer->capacity;
    int32_t result =
        service.enumConnections(service.ctx, buffer->bytes, &buffer->sizeInOut, &count);
    if (result != 0) {
        ResizeConnectionBuffer(buffer, service, buffer->sizeInOut);
        buffer->sizeInOut = buffer->capacity;
        count = 0;
        result = LogEventTo(
            log, kLogEnumConnections, kLogRealloc,
            service.enumConnections(service.ctx, buffer->bytes, &buffer->sizeInOut, &count));
    }
    buffer->sizeInOut = buffer->capacity;
    // Read only what the service filled, and never past the buffer, whatever
    // count it claims.
    uint32_t fits = buffer->capacity / service.connectionRecordSize;
    buffer->count = result == 0 ? (count < fits ? count : fits) : 0;
    return result;
}

bool DialChosenEntry(const DialUpService& service, const Settings& settings, const EventLog& log) {
    // A name longer than the service's name field names no phonebook entry:
    // cutting it would dial some other entry, or one the sweep never
    // recognises as ours.
    if (BoundedLength(settings.szRasEntry, service.maxEntryNameLength + 1) >
            service.maxEntryNameLength ||
        service.getEntryDialParams(service.ctx, settings.szRasEntry) != 0) {
        LogEventTo(log, kLogGetEntryDialParams, kLogError, 1);
        return false;
    }
    DialUpHandle handle = 0;
    int32_t result =
        LogEventTo(log, kLogDial, settings.szRasEntry, service.dial(service.ctx, &handle));
    if (result != 0 && handle != 0) service.hangUp(service.ctx, handle);
    return result == 0;
}

}  // namespace

bool InitConnectionBuffer(ConnectionBuffer* buffer, const DialUpService& service) {
    memset(buffer, 0, sizeof *buffer);
    buffer->bytes = static_cast<unsigned char*>(calloc(1, service.connectionRecordSize));
    if (buffer->bytes == nullptr) return false;
    buffer->capacity = service.connectionRecordSize;
    buffer->sizeInOut = buffer->capacity;
    service.prepareConnectionBuffer(service.ctx, buffer->bytes);
    return true;
}

void ReleaseConnectionBuffer(ConnectionBuffer* buffer) {
    free(buffer->bytes);
    memset(buffer, 0, sizeof *buffer);
}

DialOutcome RunSupervisorPass(ConnectionBuffer* buffer, const DialUpService& service,
                              const SettingsSnapshot& snapshot, const Clock& clock,
                              const EventLog& log, bool mayDial) {
    LocalTime now{};
    if (snapshot.mode >= ModeRuleBase) now = ReadClock(clock);
    Decision decision = ShouldBeConnected(snapshot.mode, snapshot.settings.ruleTable, now);
    if (decision == Decision::Skip) return DialOutcome::None;
    if (buffer->bytes == nullptr && !InitConnectionBuffer(buffer, service)) {
        return DialOutcome::None;
    }

    // When the list cannot be read, nothing is known about what is up: the
    // pass neither hangs up nor dials, and the next pass tries again.
    if (EnumerateConnections(buffer, service, log) != 0) return DialOutcome::None;

    const Settings& settings = snapshot.settings;
    bool chosenIsUp = false;
    for (uint32_t i = 0; i < buffer->count; ++i) {
        char name[kEntryNameFieldSize];
        service.connectionEntryName(service.ctx, buffer->bytes, i, name, sizeof name);
        bool isChosen = strcmp(name, settings.szRasEntry) == 0;
        chosenIsUp = chosenIsUp || isChosen;
        if ((isChosen && decision == Decision::Down) || (!isChosen && settings.bDropAny != 0)) {
            DialUpHandle handle = service.connectionHandle(service.ctx, buffer->bytes, i);
            LogEventTo(log, kLogHangUp, name, service.hangUp(service.ctx, handle));
        }
    }
    // The list is not read again after the sweep: a chosen entry that was
    // listed counts as up, whatever its state.
    if (decision == Decision::Down || chosenIsUp) return DialOutcome::None;
    if (!mayDial) return DialOutcome::Held;
    return DialChosenEntry(service, settings, log) ? DialOutcome::Succeeded : DialOutcome::Failed;
}

uint32_t PassTimeout(int32_t tDelay, bool haveEvent) {
    const uint32_t timeout = static_cast<uint32_t>(tDelay);
    // Without an event nothing could end an endless wait.
    if (timeout == kWaitForever) return haveEvent ? kWaitForever : kDefaultDelay;
    return timeout < kMinPassTimeoutMs ? kMinPassTimeoutMs : timeout;
}

namespace {

// The loop's memory between passes.
struct Pacing {
    uint32_t choicesSeen;
    bool retryPending;  // a dial failed; no pass dials before retryEnd
    uint64_t retryEnd;
    bool havePassed;
    uint64_t lastPassStart;
};

uint32_t Shorter(uint32_t wait, uint64_t other) {
    return other < wait ? static_cast<uint32_t>(other) : wait;
}

// Milliseconds until the rule's decision changes (plus the slack), or
// kNoDecisionChange; reads the clock only for a rule mode.
int64_t TimeToEdge(const SettingsSnapshot& snapshot, const Clock& clock) {
    if (snapshot.mode < ModeRuleBase) return kNoDecisionChange;
    int64_t ms =
        MillisecondsToNextChange(snapshot.mode, snapshot.settings.ruleTable, ReadClock(clock));
    return ms == kNoDecisionChange ? ms : ms + kEdgeSlackMs;
}

uint32_t NextWait(const Supervisor* s, const SettingsSnapshot& snapshot, const Pacing& p) {
    uint32_t wait = PassTimeout(snapshot.settings.tDelay, s->wake != nullptr);
    int64_t edge = TimeToEdge(snapshot, s->clock);
    if (edge != kNoDecisionChange) wait = Shorter(wait, static_cast<uint64_t>(edge));
    if (p.retryPending) {
        uint64_t now = MonotonicMilliseconds();
        wait = Shorter(wait, p.retryEnd > now ? p.retryEnd - now : 0);
    }
    return wait;
}

// A pass that is not a user's choice (a connection notification, the retry
// timer, a window's edge) starts at least kMinPassTimeoutMs after the
// previous pass started, so a burst of notifications, or the retry timer
// firing right after a notification-woken pass, cannot run passes back to
// back. A user's choice arriving meanwhile ends the rest at once.
void RestBetweenPasses(Supervisor* s, const Pacing& p) {
    SettingsSnapshot now;
    for (;;) {
        TakeSnapshot(s->shared, &now);
        if (now.userChoices != p.choicesSeen || s->stopRequested.load()) return;
        uint64_t since = MonotonicMilliseconds() - p.lastPassStart;
        if (since >= kMinPassTimeoutMs) return;
        WaitWakeEvent(s->wake, static_cast<uint32_t>(kMinPassTimeoutMs - since));
    }
}

}  // namespace

void SupervisorLoop(Supervisor* s) {
    Pacing p{};
    SettingsSnapshot snapshot;
    TakeSnapshot(s->shared, &snapshot);
    p.choicesSeen = snapshot.userChoices;
    while (!s->stopRequested.load()) {
        // The pause is read just before the wait; a menu choice still ends
        // the wait at once.
        TakeSnapshot(s->shared, &snapshot);
        WaitWakeEvent(s->wake, NextWait(s, snapshot, p));
        if (s->stopRequested.load()) break;
        if (p.havePassed) RestBetweenPasses(s, p);
        if (s->stopRequested.load()) break;
        TakeSnapshot(s->shared, &snapshot);
        p.lastPassStart = MonotonicMilliseconds();
        p.havePassed = true;
        if (snapshot.userChoices != p.choicesSeen || p.lastPassStart >= p.retryEnd) {
            p.retryPending = false;
        }
        p.choicesSeen = snapshot.userChoices;
        DialOutcome outcome =
            RunSupervisorPass(&s->buffer, *s->service, snapshot, s->clock, s->log, !p.retryPending);
        if (outcome != DialOutcome::Failed) continue;
        // Retry after one pause from now, or at the rule's next edge if that
        // comes first.
        uint64_t end = MonotonicMilliseconds();
        p.retryPending = true;
        p.retryEnd = end + PassTimeout(snapshot.settings.tDelay, s->wake != nullptr);
        int64_t edge = TimeToEdge(snapshot, s->clock);
        if (edge != kNoDecisionChange && end + static_cast<uint64_t>(edge) < p.retryEnd) {
            p.retryEnd = end + static_cast<uint64_t>(edge);
        }
    }
}

bool WatchConnections(const DialUpService& service, WakeEvent* wake) {
    int32_t result = kNotificationsNotOffered;
    if (wake != nullptr && service.watchConnections != nullptr) {
        result = service.watchConnections(service.ctx, wake);
    }
    if (result != 0) {
        // Not a line of the log: without notifications the passes keep the
        // pause, as they always did. A terminal that started the program
        // learns it once; a program without one loses nothing.
        fprintf(stderr, "teleora: no connection notifications (code %d); checking every pause\n",
                static_cast<int>(result));
    }
    return result == 0;
}

namespace {
// The registration is the thread's own first step, before its first wait:
// a slow dial-up service holds back neither the tray icon nor the window.
void SupervisorThreadMain(void* arg) {
    auto* s = static_cast<Supervisor*>(arg);
    WatchConnections(*s->service, s->wake);
    SupervisorLoop(s);
}
}  // namespace

bool StartSupervisor(Supervisor* s) {
    if (s->buffer.bytes == nullptr) InitConnectionBuffer(&s->buffer, *s->service);
    s->wake = CreateWakeEvent(true, kWakeEventName);
    return StartDetachedThread(&SupervisorThreadMain, s);
}
