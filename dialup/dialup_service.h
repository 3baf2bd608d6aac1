// The dial-up service: the six operations (and an optional seventh) the program needs from the
// system's dial-up client (Remote Access Service on Windows, NetworkManager on Linux). A binding
// fills one DialUpService with its functions and context. Results are the service's codes: 0 for
// success, anything else is an error code that getErrorString can describe.
//
// Connection records belong to the binding: the supervisor owns a byte buffer,
// grows it only to sizes the service reports, and reads records through the
// binding's accessors, and only those the service said it filled.
#pragma once

#include <cstddef>
#include <cstdint>

struct WakeEvent;

// An active connection's handle (HRASCONN on Windows); 0 is no handle.
using DialUpHandle = uintptr_t;

constexpr int kMaxPhonebookEntries = 100;  // room the dialog asks for
constexpr int kEntryNameFieldSize = 257;   // the service's name field: 256 + terminator
constexpr int kErrorTextSize = 1024;

struct PhonebookEntries {
    int count;
    char names[kMaxPhonebookEntries][kEntryNameFieldSize];
};

struct DialUpService {
    void* ctx;

    // Size in bytes of one connection record; the buffer never holds less.
    uint32_t connectionRecordSize;
    // Longest entry name the service can take (256 on Windows). A longer
    // configured name names no phonebook entry.
    uint32_t maxEntryNameLength;

    // Prepares a fresh buffer of connectionRecordSize bytes (on Windows: the
    // first record's dwSize).
    void (*prepareConnectionBuffer)(void* ctx, void* buffer);

    // Lists the active connections into buffer. On 0, *count holds the number
    // of records filled; on any other result *sizeInOut holds the bytes the
    // service needs.
    int32_t (*enumConnections)(void* ctx, void* buffer, uint32_t* sizeInOut, uint32_t* count);
    // Reads record index (below the count enumConnections gave).
    DialUpHandle (*connectionHandle)(void* ctx, const void* buffer, uint32_t index);
    // Copies record index's entry name into out, cut to outSize - 1 characters
    // and always terminated.
    void (*connectionEntryName)(void* ctx, const void* buffer, uint32_t index, char* out,
                                size_t outSize);

    int32_t (*hangUp)(void* ctx, DialUpHandle handle);

    // Reads the stored dial parameters of entry (no longer than
    // maxEntryNameLength) and keeps them for the next dial; 0 when they could
    // be read.
    int32_t (*getEntryDialParams)(void* ctx, const char* entry);
    // Dials with the parameters read last, synchronously. *handle is 0 on
    // entry; on failure it may hold a handle that must be hung up.
    int32_t (*dial)(void* ctx, DialUpHandle* handle);

    // Lists the phonebook (at most kMaxPhonebookEntries names); any result
    // other than 0 means no list.
    int32_t (*enumEntries)(void* ctx, PhonebookEntries* out);

    // The text of an error code into buffer (size bytes); 0 when there is one.
    int32_t (*getErrorString)(void* ctx, int32_t code, char* buffer, uint32_t size);

    // Optional, null when not offered: from now on, signal wake whenever any
    // dial-up connection comes up or goes down; 0 when registered. Called
    // once, at start-up.
    int32_t (*watchConnections)(void* ctx, WakeEvent* wake);
};
