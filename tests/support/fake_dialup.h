// The one fake of the dial-up service, shared by the tests, the fuzzers and
// the benchmarks. It keeps the buffer protocol as the Windows service does
// (records with a size field first, 603 and the size needed when the buffer
// is too small) and checks what a correct caller must never do: hand over a
// buffer smaller than one record or unprepared (or a size larger than the
// buffer: the last byte the size claims is touched, so AddressSanitizer sees
// it), read a record the last enumeration did not fill, give the
// dial-parameter call a name longer than maxEntryNameLength, or dial with a
// handle already set. A violation is printed and aborts the process.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "dialup/dialup_service.h"

// Error codes the fake uses, as the Windows service does.
constexpr int32_t kFakeBufferTooSmall = 603;
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
// it lists `active`, hangs up by handle, knows the entries of `phonebook`,
// and a dial of a known entry connects it. Results can be forced per
// operation; every call is appended to `calls` as text ("enum 412",
// "hangup 7", "params Office", "dial Office", "entries", "text 5", "watch").
//
// Made over another service (a platform binding), it scripts nothing: it
// records the calls and results and hands every operation on to that one
// (the checks of the buffer protocol are then that service's own).
struct FakeDialUp {
    FakeDialUp();
    explicit FakeDialUp(const DialUpService& before);
    FakeDialUp(const FakeDialUp&) = delete;
    FakeDialUp& operator=(const FakeDialUp&) = delete;

    std::vector<std::string> phonebook;
    std::vector<FakeConnection> active;
    DialUpHandle nextHandle = 100;

    // Forced results, used front to back; an empty queue means normal behaviour.
    std::deque<int32_t> enumResults;
    // The size left in *sizeInOut on a forced failure; none (or an empty
    // queue) leaves it as it was.
    std::deque<std::optional<uint32_t>> enumReportedSizes;
    // The count claimed on success (may lie): as many records as it claims
    // are filled while they fit, those beyond `active` with made-up names.
    std::deque<uint32_t> enumReportedCounts;
    int32_t hangUpResult = 0;
    int32_t dialParamsResult = 0;       // forced when non-zero
    int32_t dialResult = 0;             // forced when non-zero
    DialUpHandle failedDialHandle = 0;  // handle left behind by a forced failure
    int32_t enumEntriesResult = 0;
    // The count enumEntries claims (may lie); none: the phonebook's size. A
    // name as long as its field fills it without a terminator.
    std::optional<int> entriesCount;
    // Texts of codes; a text as long as the caller's buffer fills it without
    // a terminator. A code without a text makes getErrorString fail.
    std::map<int32_t, std::string> errorTexts;

    // false: nothing below is recorded (benchmarks run millions of passes).
    bool record = true;
    std::vector<std::string> calls;
    // When passes and dials happened (MonotonicMilliseconds), and how long
    // each dial takes (the lock is not held meanwhile).
    std::vector<uint64_t> enumTimes, dialStarts, dialEnds;
    std::vector<int32_t> dialResults, hangUpResults;
    uint32_t dialMs = 0;
    // Called first by every operation with its name ("enum", "dial", ...),
    // without the lock; for benchmarks that time the calls.
    std::function<void(const char* operation)> observe;
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

    bool forwarding = false;
    DialUpService inner{};  // the service it stands before, when forwarding
    // What the last enumeration filled, for the check of every read.
    const void* filledBuffer = nullptr;
    uint32_t filled = 0;
};
