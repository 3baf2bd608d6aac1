#include "support/test_support.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/wake_event.h"

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
    static std::atomic<int> counter{0};
    fs::path base = fs::temp_directory_path();
    for (;;) {
        fs::path candidate = base / ("teleora-test-" + std::to_string(getpid()) + "-" +
                                     std::to_string(counter.fetch_add(1)));
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
            path = candidate.string();
            return;
        }
    }
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

std::vector<std::string> ReadCrLfLines(const std::string& path) {
    std::string text = ReadWholeFile(path);
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) break;
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    if (start < text.size()) lines.push_back(text.substr(start));  // an unterminated tail
    return lines;
}

static LocalTime FixedNow(void* ctx) {
    return static_cast<FixedClock*>(ctx)->time;
}

Clock FixedClock::clock() {
    return Clock{&FixedNow, this};
}

namespace {

FakeDialUp* Self(void* ctx) {
    return static_cast<FakeDialUp*>(ctx);
}

void Prepare(void*, void* buffer) {
    auto* record = static_cast<FakeConnectionRecord*>(buffer);
    record->dwSize = sizeof(FakeConnectionRecord);
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
    std::lock_guard<std::mutex> lock(f->mutex);
    f->calls.push_back("enum " + std::to_string(*sizeInOut));
    f->enumTimes.push_back(MonotonicMilliseconds());
    auto* records = static_cast<FakeConnectionRecord*>(buffer);
    int32_t forced = 0;
    if (PopFront(f->enumResults, &forced) && forced != 0) {
        uint32_t reported = 0;
        if (!PopFront(f->enumReportedSizes, &reported)) reported = *sizeInOut;
        *sizeInOut = reported;
        return forced;
    }
    if (records->dwSize != sizeof(FakeConnectionRecord)) return kFakeInvalidSize;
    uint32_t needed = static_cast<uint32_t>(f->active.size() * sizeof(FakeConnectionRecord));
    if (needed > *sizeInOut) {
        *sizeInOut = needed;
        *count = 0;
        return kFakeBufferTooSmall;
    }
    for (size_t i = 0; i < f->active.size(); ++i) {
        records[i].dwSize = sizeof(FakeConnectionRecord);
        records[i].handle = f->active[i].handle;
        memset(records[i].szEntryName, 0, sizeof records[i].szEntryName);
        strncpy(records[i].szEntryName, f->active[i].entryName.c_str(),
                sizeof records[i].szEntryName - 1);
    }
    uint32_t reportedCount = static_cast<uint32_t>(f->active.size());
    uint32_t lie = 0;
    if (PopFront(f->enumReportedCounts, &lie)) reportedCount = lie;
    *count = reportedCount;
    return 0;
}

DialUpHandle ConnectionHandle(void*, const void* buffer, uint32_t index) {
    return static_cast<const FakeConnectionRecord*>(buffer)[index].handle;
}

void ConnectionEntryName(void*, const void* buffer, uint32_t index, char* out, size_t outSize) {
    const char* name = static_cast<const FakeConnectionRecord*>(buffer)[index].szEntryName;
    size_t n = strnlen(name, kEntryNameFieldSize);
    if (n >= outSize) n = outSize - 1;
    memcpy(out, name, n);
    out[n] = '\0';
}

int32_t HangUp(void* ctx, DialUpHandle handle) {
    FakeDialUp* f = Self(ctx);
    std::lock_guard<std::mutex> lock(f->mutex);
    f->calls.push_back("hangup " + std::to_string(handle));
    if (f->hangUpResult != 0) return f->hangUpResult;
    auto it = std::find_if(f->active.begin(), f->active.end(),
                           [handle](const FakeConnection& c) { return c.handle == handle; });
    if (it != f->active.end()) f->active.erase(it);
    SignalWakeEvent(f->watched);
    return 0;
}

int32_t GetEntryDialParams(void* ctx, const char* entry) {
    FakeDialUp* f = Self(ctx);
    std::lock_guard<std::mutex> lock(f->mutex);
    f->calls.push_back(std::string("params ") + entry);
    f->lastParamsEntry = entry;
    if (f->dialParamsResult != 0) return f->dialParamsResult;
    bool known = std::find(f->phonebook.begin(), f->phonebook.end(), entry) != f->phonebook.end();
    return known ? 0 : kFakeCannotFindEntry;
}

int32_t Dial(void* ctx, DialUpHandle* handle) {
    FakeDialUp* f = Self(ctx);
    std::unique_lock<std::mutex> lock(f->mutex);
    f->calls.push_back("dial " + f->lastParamsEntry);
    f->dialStarts.push_back(MonotonicMilliseconds());
    if (f->dialMs != 0) {
        const uint32_t ms = f->dialMs;
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        lock.lock();
    }
    f->dialEnds.push_back(MonotonicMilliseconds());
    if (f->dialResult != 0) {
        *handle = f->failedDialHandle;
        return f->dialResult;
    }
    *handle = f->nextHandle++;
    f->active.push_back(FakeConnection{*handle, f->lastParamsEntry});
    SignalWakeEvent(f->watched);
    return 0;
}

int32_t EnumEntries(void* ctx, PhonebookEntries* out) {
    FakeDialUp* f = Self(ctx);
    std::lock_guard<std::mutex> lock(f->mutex);
    f->calls.push_back("entries");
    if (f->enumEntriesResult != 0) return f->enumEntriesResult;
    if (f->phonebook.size() > kMaxPhonebookEntries) return kFakeBufferTooSmall;
    out->count = static_cast<int>(f->phonebook.size());
    for (size_t i = 0; i < f->phonebook.size(); ++i) {
        snprintf(out->names[i], sizeof out->names[i], "%s", f->phonebook[i].c_str());
    }
    return 0;
}

int32_t GetErrorString(void* ctx, int32_t code, char* buffer, uint32_t size) {
    FakeDialUp* f = Self(ctx);
    std::lock_guard<std::mutex> lock(f->mutex);
    f->calls.push_back("text " + std::to_string(code));
    auto it = f->errorTexts.find(code);
    if (it == f->errorTexts.end() || size == 0) return 1;
    snprintf(buffer, size, "%s", it->second.c_str());
    return 0;
}

int32_t WatchConnections(void* ctx, WakeEvent* wake) {
    FakeDialUp* f = Self(ctx);
    std::lock_guard<std::mutex> lock(f->mutex);
    f->calls.push_back("watch");
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
