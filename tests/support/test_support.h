// Helpers shared by the tests: a scratch folder, whole-file reads, and a
// scripted dial-up service that records every call it receives.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/local_time.h"
#include "dialup/dialup_service.h"

// A fresh empty folder, removed with its contents at the end of the scope.
struct ScratchDir {
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string File(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
// The file's lines, split at CR LF (the log's line end).
std::vector<std::string> ReadCrLfLines(const std::string& path);

// A clock that shows a fixed time, changed by assigning to `time`.
struct FixedClock {
    LocalTime time{2026, 12, 6, 0, 5, 1, 2, 0};  // Sunday 6/12/2026 05:01:02
    Clock clock();
};

// Error codes the fake uses, as the Windows service does.
constexpr int32_t kFakeBufferTooSmall = 603;
constexpr int32_t kFakeInvalidSize = 632;
constexpr int32_t kFakeCannotFindEntry = 623;

// The fake's connection record: like the Windows one, a size field first.
struct FakeConnectionRecord {
    uint32_t dwSize;
    DialUpHandle handle;
    char szEntryName[kEntryNameFieldSize];
};

struct FakeConnection {
    DialUpHandle handle;
    std::string entryName;
};

// A scripted dial-up service. By default it behaves like a working service:
// it lists `active` (603 with the size needed when the buffer is too small),
// hangs up by handle, knows the entries of `phonebook`, and a dial of a known
// entry connects it. Results can be forced per operation; every call is
// appended to `calls` as text ("enum 412", "hangup 7", "params Office",
// "dial Office", "entries", "text 5").
struct FakeDialUp {
    FakeDialUp();
    FakeDialUp(const FakeDialUp&) = delete;
    FakeDialUp& operator=(const FakeDialUp&) = delete;

    std::vector<std::string> phonebook;
    std::vector<FakeConnection> active;
    DialUpHandle nextHandle = 100;

    // Forced results, used front to back; an empty queue means normal behaviour.
    std::deque<int32_t> enumResults;
    std::deque<uint32_t> enumReportedSizes;   // size left in *sizeInOut on failure
    std::deque<uint32_t> enumReportedCounts;  // count reported on success (may lie)
    int32_t hangUpResult = 0;
    int32_t dialParamsResult = 0;       // forced when non-zero
    int32_t dialResult = 0;             // forced when non-zero
    DialUpHandle failedDialHandle = 0;  // handle left behind by a forced failure
    int32_t enumEntriesResult = 0;
    std::map<int32_t, std::string> errorTexts;

    std::vector<std::string> calls;
    // When passes and dials happened (MonotonicMilliseconds), and how long
    // each dial takes (the lock is not held meanwhile).
    std::vector<uint64_t> enumTimes, dialStarts, dialEnds;
    uint32_t dialMs = 0;
    std::string lastParamsEntry;
    // Connection notifications: OfferNotifications() fills watchConnections,
    // which answers watchResult and, when 0, keeps the event; every change of
    // `active` (by the operations or by Drop/ComeUp) then signals it.
    int32_t watchResult = 0;
    WakeEvent* watched = nullptr;
    void OfferNotifications();
    // Changes made behind the program's back: a line drops, a line comes up.
    void Drop(const std::string& entryName);
    void ComeUp(DialUpHandle handle, const std::string& entryName);
    // A notification without any change (another program's connection).
    void Notify();
    // Held by every operation and by CallsOf/IsActive, so a supervisor thread
    // and the test can share the fake.
    mutable std::mutex mutex;
    DialUpService service;

    // Calls of one kind ("dial", "hangup", ...), in order.
    std::vector<std::string> CallsOf(const std::string& kind) const;
    bool IsActive(const std::string& entryName) const;
};
