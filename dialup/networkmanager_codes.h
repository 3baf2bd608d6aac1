// The result codes of the NetworkManager binding: their numbers, their
// English texts for the log, and the D-Bus error names that map to them.
// Plain data and lookups, no Qt. The numbers and texts appear in the log and
// in the README's table; they never change meaning once shipped.
#pragma once

#include <cstdint>
#include <span>

enum NmResultCode : int32_t {
    // The binding's own results.
    kNmNoSuchProfile = 1,    // also the code of every "RasGetEntryDialParams" line
    kNmNotRunning = 2,       // nobody owns org.freedesktop.NetworkManager
    kNmNoBus = 3,            // the system bus cannot be reached
    kNmNoAnswer = 4,         // NetworkManager did not answer in time
    kNmBufferTooSmall = 5,   // the connection buffer cannot hold every record
    kNmBadRecordSize = 6,    // the buffer's first record has a foreign size field
    kNmNoDialParams = 7,     // dial without a successful getEntryDialParams
    kNmBadHandle = 8,        // hang-up of a handle this binding never gave out
    kNmDialTimeout = 9,      // the activation did not finish in time
    kNmBadReply = 10,        // an answer of an unexpected shape
    kNmTooManyEntries = 11,  // more dial-up profiles than the dialog has room for

    // 100 + NMActiveConnectionStateReason; a reason above 99 reads as 100.
    kNmReasonBase = 100,
    kNmReasonLast = 199,

    // D-Bus errors, named after the error they stand for.
    kNmUnknownDbusError = 200,  // an error name this program does not know
    kNmRequestFailed = 201,
    kNmPermissionDenied = 202,
    kNmUnknownConnection = 203,
    kNmUnknownDevice = 204,
    kNmConnectionNotAvailable = 205,
    kNmConnectionNotActive = 206,
    kNmConnectionAlreadyActive = 207,
    kNmDependencyFailed = 208,
    kNmInvalidArguments = 209,
    kNmMissingPlugin = 210,
    kNmAccessDenied = 211,
    kNmNoSuchObject = 212,  // no such object, method, interface or property
    kNmInvalidConnection = 213,
    kNmNoSecrets = 214,
    kNmSecretsCancelled = 215,

    // 300 + NMDeviceStateReason.
    kNmDeviceReasonBase = 300,
    kNmDeviceReasonLast = 499,
};

constexpr int kNmMaxErrorNamesPerCode = 4;

// One row of the code table: a code, its text, and the D-Bus error names that
// map to it (unused slots are null).
struct NmCodeEntry {
    int32_t code;
    const char* text;
    const char* dbusErrors[kNmMaxErrorNamesPerCode];
};

// Every code with a fixed text: the binding's own and the D-Bus errors'.
// NetworkManager's reasons (100 + r, 300 + r) have tables of their own,
// indexed by NetworkManager's numbers.
std::span<const NmCodeEntry> NmCodeTable();

// The English text of a result code into buffer (size bytes, always
// terminated). Returns 0 when the code has a text (every code in the table,
// and the whole reason ranges), else a non-zero value.
int32_t NmErrorText(int32_t code, char* buffer, uint32_t size);

// The code of a D-Bus error name from NetworkManager or the bus;
// kNmUnknownDbusError for a name outside the table.
int32_t NmCodeForDbusError(const char* errorName);
