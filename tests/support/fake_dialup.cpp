#include "support/fake_dialup.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "common/wake_event.h"

namespace {

FakeDialUp* Self(void* ctx) {
    return static_cast<FakeDialUp*>(ctx);
}

// Whether the fake hands the operation on to the service it stands before.
const DialUpService* Inner(void* ctx) {
    FakeDialUp* f = Self(ctx);
    return f->forwarding ? &f->inner : nullptr;
}

void Prepare(void* ctx, void* buffer) {
    if (const DialUpService* in = Inner(ctx)) return in->prepareConnectionBuffer(in->ctx, buffer);
    auto* record = static_cast<FakeConnectionRecord*>(buffer);
    record->dwSize = sizeof(FakeConnectionRecord);
}

void Require(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "fake dial-up service: violated: %s\n", what);
    abort();
}

// Starts an operation: tells the observer, takes the lock and records the call.
std::unique_lock<std::mutex> Enter(FakeDialUp* f, const char* operation, const std::string& call) {
    if (f->observe) f->observe(operation);
    std::unique_lock<std::mutex> lock(f->mutex);
    if (f->record) f->calls.push_back(call);
    return lock;
}

template <typename T>
bool PopFront(std::deque<T>& queue, T* value) {
    if (queue.empty()) return false;
    *value = queue.front();
    queue.pop_front();
    return true;
}

int32_t EnumConnections(void* ctx, void* buffer, uint32_t* sizeInOut, uint32_t* count) {
    FakeDialUp* f = Self(ctx);
    auto lock = Enter(f, "enum", "enum " + std::to_string(*sizeInOut));
    if (f->record) f->enumTimes.push_back(MonotonicMilliseconds());
    if (const DialUpService* in = Inner(ctx)) {
        lock.unlock();
        return in->enumConnections(in->ctx, buffer, sizeInOut, count);
    }
    f->filledBuffer = nullptr;
    f->filled = 0;
    Require(buffer != nullptr, "a buffer to enumerate into");
    Require(*sizeInOut >= sizeof(FakeConnectionRecord), "the buffer holds at least one record");
    auto* records = static_cast<FakeConnectionRecord*>(buffer);
    Require(records->dwSize == sizeof(FakeConnectionRecord), "the first record is prepared");
    volatile unsigned char* bytes = static_cast<unsigned char*>(buffer);
    bytes[*sizeInOut - 1] = bytes[*sizeInOut - 1];  // the whole claimed size is ours to write

    int32_t forced = 0;
    if (PopFront(f->enumResults, &forced) && forced != 0) {
        std::optional<uint32_t> reported;
        if (PopFront(f->enumReportedSizes, &reported) && reported) *sizeInOut = *reported;
        return forced;
    }
    uint32_t needed = static_cast<uint32_t>(f->active.size() * sizeof(FakeConnectionRecord));
    if (needed > *sizeInOut) {
        *sizeInOut = needed;
        *count = 0;
        return kFakeBufferTooSmall;
    }
    uint32_t claimed = static_cast<uint32_t>(f->active.size());
    PopFront(f->enumReportedCounts, &claimed);
    uint32_t room = *sizeInOut / sizeof(FakeConnectionRecord);
    uint32_t n = std::min(claimed, room);
    for (uint32_t i = 0; i < n; ++i) {
        // Records beyond the real ones get names up to the whole field, with
        // no terminator from 257 characters on.
        bool real = i < f->active.size();
        std::string name = real ? f->active[i].entryName : std::string(i % 300, 'x');
        records[i].dwSize = sizeof(FakeConnectionRecord);
        records[i].handle = real ? f->active[i].handle : 1000 + i;
        memset(records[i].szEntryName, 0, sizeof records[i].szEntryName);
        memcpy(records[i].szEntryName, name.data(),
               std::min(name.size(), sizeof records[i].szEntryName));
    }
    f->filledBuffer = buffer;
    f->filled = n;
    *count = claimed;
    return 0;
}

const FakeConnectionRecord& Filled(void* ctx, const void* buffer, uint32_t index) {
    FakeDialUp* f = Self(ctx);
    Require(buffer == f->filledBuffer && index < f->filled,
            "only records the last enumeration filled are read");
    return static_cast<const FakeConnectionRecord*>(buffer)[index];
}

DialUpHandle ConnectionHandle(void* ctx, const void* buffer, uint32_t index) {
    if (const DialUpService* in = Inner(ctx)) return in->connectionHandle(in->ctx, buffer, index);
    return Filled(ctx, buffer, index).handle;
}

void ConnectionEntryName(void* ctx, const void* buffer, uint32_t index, char* out, size_t outSize) {
    if (const DialUpService* in = Inner(ctx))
        return in->connectionEntryName(in->ctx, buffer, index, out, outSize);
    Require(outSize > 0, "room for a name");
    const char* name = Filled(ctx, buffer, index).szEntryName;
    size_t n = strnlen(name, kEntryNameFieldSize);
    if (n >= outSize) n = outSize - 1;
    memcpy(out, name, n);
    out[n] = '\0';
}

int32_t HangUp(void* ctx, DialUpHandle handle) {
    FakeDialUp* f = Self(ctx);
    auto lock = Enter(f, "hangup", "hangup " + std::to_string(handle));
    if (const DialUpService* in = Inner(ctx)) {
        lock.unlock();
        int32_t result = in->hangUp(in->ctx, handle);
        lock.lock();
        if (f->record) f->hangUpResults.push_back(result);
        return result;
    }
    if (f->record) f->hangUpResults.push_back(f->hangUpResult);
    if (f->hangUpResult != 0) return f->hangUpResult;
    auto it = std::find_if(f->active.begin(), f->active.end(),
                           [handle](const FakeConnection& c) { return c.handle == handle; });
    if (it != f->active.end()) f->active.erase(it);
    SignalWakeEvent(f->watched);
    return 0;
}

int32_t GetEntryDialParams(void* ctx, const char* entry) {
    FakeDialUp* f = Self(ctx);
    auto lock = Enter(f, "params", std::string("params ") + entry);
    Require(strlen(entry) <= f->service.maxEntryNameLength,
            "the name fits the service's name field");
    f->lastParamsEntry = entry;
    if (const DialUpService* in = Inner(ctx)) {
        lock.unlock();
        return in->getEntryDialParams(in->ctx, entry);
    }
    if (f->dialParamsResult != 0) return f->dialParamsResult;
    bool known = std::find(f->phonebook.begin(), f->phonebook.end(), entry) != f->phonebook.end();
    return known ? 0 : kFakeCannotFindEntry;
}

int32_t Dial(void* ctx, DialUpHandle* handle) {
    FakeDialUp* f = Self(ctx);
    Require(*handle == 0, "a dial starts with no handle");
    auto lock = Enter(f, "dial", "dial " + f->lastParamsEntry);
    if (f->record) f->dialStarts.push_back(MonotonicMilliseconds());
    const DialUpService* in = Inner(ctx);
    int32_t result = f->dialResult;
    if (in != nullptr || f->dialMs != 0) {
        const uint32_t ms = f->dialMs;
        lock.unlock();
        if (in != nullptr) {
            result = in->dial(in->ctx, handle);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        }
        lock.lock();
    }
    if (f->record) {
        f->dialEnds.push_back(MonotonicMilliseconds());
        f->dialResults.push_back(result);
    }
    if (in != nullptr) return result;
    if (result != 0) {
        *handle = f->failedDialHandle;
        return result;
    }
    *handle = f->nextHandle++;
    f->active.push_back(FakeConnection{*handle, f->lastParamsEntry});
    SignalWakeEvent(f->watched);
    return 0;
}

int32_t EnumEntries(void* ctx, PhonebookEntries* out) {
    FakeDialUp* f = Self(ctx);
    auto lock = Enter(f, "entries", "entries");
    if (const DialUpService* in = Inner(ctx)) {
        lock.unlock();
        return in->enumEntries(in->ctx, out);
    }
    if (f->enumEntriesResult != 0) return f->enumEntriesResult;
    if (f->phonebook.size() > kMaxPhonebookEntries) return kFakeBufferTooSmall;
    out->count = f->entriesCount ? *f->entriesCount : static_cast<int>(f->phonebook.size());
    for (size_t i = 0; i < f->phonebook.size(); ++i) {
        // A name as long as the field fills it without a terminator.
        const std::string& name = f->phonebook[i];
        memset(out->names[i], 'q', kEntryNameFieldSize);
        memcpy(out->names[i], name.data(), std::min<size_t>(name.size(), kEntryNameFieldSize));
        if (name.size() < kEntryNameFieldSize) out->names[i][name.size()] = '\0';
    }
    return 0;
}

int32_t GetErrorString(void* ctx, int32_t code, char* buffer, uint32_t size) {
    FakeDialUp* f = Self(ctx);
    auto lock = Enter(f, "text", "text " + std::to_string(code));
    if (const DialUpService* in = Inner(ctx)) {
        lock.unlock();
        return in->getErrorString(in->ctx, code, buffer, size);
    }
    auto it = f->errorTexts.find(code);
    if (it == f->errorTexts.end() || size == 0) return 1;
    const std::string& text = it->second;
    memcpy(buffer, text.data(), std::min<size_t>(text.size(), size));
    if (text.size() < size) buffer[text.size()] = '\0';
    return 0;
}

int32_t WatchConnections(void* ctx, WakeEvent* wake) {
    FakeDialUp* f = Self(ctx);
    auto lock = Enter(f, "watch", "watch");
    if (f->watchResult == 0) f->watched = wake;
    return f->watchResult;
}

}  // namespace

void FakeDialUp::OfferNotifications() {
    service.watchConnections = &WatchConnections;
}

void FakeDialUp::Drop(const std::string& entryName) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = std::find_if(active.begin(), active.end(),
                           [&](const FakeConnection& c) { return c.entryName == entryName; });
    if (it != active.end()) active.erase(it);
    SignalWakeEvent(watched);
}

void FakeDialUp::ComeUp(DialUpHandle handle, const std::string& entryName) {
    std::lock_guard<std::mutex> lock(mutex);
    active.push_back(FakeConnection{handle, entryName});
    SignalWakeEvent(watched);
}

void FakeDialUp::Notify() {
    std::lock_guard<std::mutex> lock(mutex);
    SignalWakeEvent(watched);
}

FakeDialUp::FakeDialUp(const DialUpService& before) : FakeDialUp() {
    forwarding = true;
    inner = before;
    service.connectionRecordSize = before.connectionRecordSize;
    service.maxEntryNameLength = before.maxEntryNameLength;
}

FakeDialUp::FakeDialUp() {
    service.ctx = this;
    service.connectionRecordSize = sizeof(FakeConnectionRecord);
    service.maxEntryNameLength = kEntryNameFieldSize - 1;
    service.prepareConnectionBuffer = &Prepare;
    service.enumConnections = &EnumConnections;
    service.connectionHandle = &ConnectionHandle;
    service.connectionEntryName = &ConnectionEntryName;
    service.hangUp = &HangUp;
    service.getEntryDialParams = &GetEntryDialParams;
    service.dial = &Dial;
    service.enumEntries = &EnumEntries;
    service.getErrorString = &GetErrorString;
    service.watchConnections = nullptr;
}

std::vector<std::string> FakeDialUp::CallsOf(const std::string& kind) const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> out;
    for (const std::string& call : calls) {
        if (call.compare(0, kind.size(), kind) == 0 &&
            (call.size() == kind.size() || call[kind.size()] == ' ')) {
            out.push_back(call);
        }
    }
    return out;
}

bool FakeDialUp::IsActive(const std::string& entryName) const {
    std::lock_guard<std::mutex> lock(mutex);
    return std::any_of(active.begin(), active.end(),
                       [&](const FakeConnection& c) { return c.entryName == entryName; });
}
