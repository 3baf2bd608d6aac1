#include "supervisor/supervisor.h"

#include <cstdlib>
#include <cstring>

#include "common/text.h"
#include "supervisor/schedule.h"
#include "supervisor/thread_start.h"

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
            log, "RasEnumConnections", "Realloc",
            service.enumConnections(service.ctx, buffer->bytes, &buffer->sizeInOut, &count));
    }
    buffer->sizeInOut = buffer->capacity;
    // Read only what the service filled, and never past the buffer, whatever
    // count it claims.
    uint32_t fits = buffer->capacity / service.connectionRecordSize;
    buffer->count = result == 0 ? (count < fits ? count : fits) : 0;
    return result;
}

void DialChosenEntry(const DialUpService& service, const Settings& settings, const EventLog& log) {
    // A name longer than the service's name field names no phonebook entry:
    // cutting it would dial some other entry, or one the sweep never
    // recognises as ours.
    if (BoundedLength(settings.szRasEntry, service.maxEntryNameLength + 1) >
            service.maxEntryNameLength ||
        service.getEntryDialParams(service.ctx, settings.szRasEntry) != 0) {
        LogEventTo(log, "RasGetEntryDialParams", "Error", 1);
        return;
    }
    DialUpHandle handle = 0;
    int32_t result =
        LogEventTo(log, "RasDial", settings.szRasEntry, service.dial(service.ctx, &handle));
    if (result != 0 && handle != 0) service.hangUp(service.ctx, handle);
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

void RunSupervisorPass(ConnectionBuffer* buffer, const DialUpService& service,
                       const SettingsSnapshot& snapshot, const Clock& clock, const EventLog& log) {
    LocalTime now{};
    if (snapshot.mode >= ModeRuleBase) now = ReadClock(clock);
    Decision decision = ShouldBeConnected(snapshot.mode, snapshot.settings.ruleTable, now);
    if (decision == Skip) return;
    if (buffer->bytes == nullptr && !InitConnectionBuffer(buffer, service)) return;

    // When the list cannot be read, nothing is known about what is up: the
    // pass neither hangs up nor dials, and the next pass tries again.
    if (EnumerateConnections(buffer, service, log) != 0) return;

    const Settings& settings = snapshot.settings;
    bool chosenIsUp = false;
    for (uint32_t i = 0; i < buffer->count; ++i) {
        char name[kEntryNameFieldSize];
        service.connectionEntryName(service.ctx, buffer->bytes, i, name, sizeof name);
        bool isChosen = strcmp(name, settings.szRasEntry) == 0;
        chosenIsUp = chosenIsUp || isChosen;
        if ((isChosen && decision == Down) || (!isChosen && settings.bDropAny != 0)) {
            DialUpHandle handle = service.connectionHandle(service.ctx, buffer->bytes, i);
            LogEventTo(log, "RasHangUp", name, service.hangUp(service.ctx, handle));
        }
    }
    // The list is not read again after the sweep: a chosen entry that was
    // listed counts as up, whatever its state.
    if (decision == Down || chosenIsUp) return;
    DialChosenEntry(service, settings, log);
}

void SupervisorLoop(Supervisor* s) {
    while (!s->stopRequested.load()) {
        SettingsSnapshot snapshot;
        // tDelay is read just before the wait and passed on unchanged: 0
        // means no pause, -1 (0xFFFFFFFF) waits for a signal only.
        CopyLiveSettings(s->shared, &snapshot.settings);
        uint32_t timeout = static_cast<uint32_t>(snapshot.settings.tDelay);
        // Without an event nothing could end an endless wait: pace the passes
        // at the default pause instead.
        if (s->wake == nullptr && timeout == kWaitForever) timeout = kDefaultDelay;
        WaitWakeEvent(s->wake, timeout);
        if (s->stopRequested.load()) break;
        TakeSnapshot(s->shared, &snapshot);
        RunSupervisorPass(&s->buffer, *s->service, snapshot, s->clock, s->log);
    }
}

namespace {
void SupervisorThreadMain(void* arg) {
    SupervisorLoop(static_cast<Supervisor*>(arg));
}
}  // namespace

bool StartSupervisor(Supervisor* s) {
    if (s->buffer.bytes == nullptr) InitConnectionBuffer(&s->buffer, *s->service);
    s->wake = CreateWakeEvent(true, kWakeEventName);
    return StartDetachedThread(&SupervisorThreadMain, s);
}
