// The dial-up service on Linux: NetworkManager on the system bus, spoken to
// through QtDBus.
//
// Phonebook entries are NetworkManager's connection profiles of the dial-up
// kinds (vpn, wireguard, pppoe, gsm, cdma, bluetooth, adsl), named by their
// connection.id; active connections are the active connections of those kinds.
// Wired, wireless, loopback, bridge and every other kind are the LAN's, not
// the dial-up service's: they are never listed, dialled or hung up. A profile
// whose id is longer than 256 bytes fits no entry-name field and is left out
// of both lists.
//
// Every operation is bounded in time: a missing, restarting or hung
// NetworkManager (or system bus) gives an error code, never a stall. One
// instance serves one thread: it opens its own bus connection the first time
// that thread uses it, so the supervisor thread and the user-interface thread
// each get their own instance.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dialup/dialup_service.h"

// Result codes besides NetworkManager's reasons and errors (see NmErrorText).
enum NmResultCode : int32_t {
    kNmNoSuchProfile = 1,       // also the code of every "RasGetEntryDialParams" line
    kNmNotRunning = 2,          // nobody owns org.freedesktop.NetworkManager
    kNmNoBus = 3,               // the system bus cannot be reached
    kNmNoAnswer = 4,            // NetworkManager did not answer in time
    kNmBufferTooSmall = 5,      // the connection buffer cannot hold every record
    kNmBadRecordSize = 6,       // the buffer's first record has a foreign size field
    kNmNoDialParams = 7,        // dial without a successful getEntryDialParams
    kNmBadHandle = 8,           // hang-up of a handle this binding never gave out
    kNmDialTimeout = 9,         // the activation did not finish in time
    kNmBadReply = 10,           // an answer of an unexpected shape
    kNmTooManyEntries = 11,     // more dial-up profiles than the dialog has room for
    kNmReasonBase = 100,        // 100 + NMActiveConnectionStateReason
    kNmDbusErrorBase = 200,     // 200 + our number of a D-Bus error name
    kNmDeviceReasonBase = 300,  // 300 + NMDeviceStateReason
    kNmDeviceReasonLast = 499,
};

struct NmDialUpOptions {
    int callTimeoutMs = 3000;      // one D-Bus call
    int operationBudgetMs = 8000;  // everything one operation does, dial waits aside
    int dialTimeoutMs = 90000;     // from ActivateConnection until activated or failed
};

struct NetworkManagerDialUp;

// Creates an instance; no bus traffic happens until the first operation.
// Returns null when out of memory.
NetworkManagerDialUp* CreateNetworkManagerDialUp(const NmDialUpOptions& options);

// Closes the instance's bus connection and frees it, on the thread that used
// it. The program keeps its instances for its whole life; tests make many.
void DestroyNetworkManagerDialUp(NetworkManagerDialUp* instance);

// The six operations over one instance. The instance must outlive the service.
DialUpService MakeNetworkManagerDialUpService(NetworkManagerDialUp* instance);

// The English text of a result code into buffer (size bytes, always
// terminated). Returns 0 when the code has a text (every code above does,
// the reason and error ranges included), else a non-zero value.
int32_t NmErrorText(int32_t code, char* buffer, uint32_t size);

// The dial-up kinds, as NetworkManager names them in connection.type.
bool IsDialUpConnectionType(const char* type);

// The code of a D-Bus error name from NetworkManager or the bus.
int32_t NmCodeForDbusError(const char* errorName);

// One record of the supervisor's connection buffer.
struct NmConnectionRecord {
    uint32_t size;  // sizeof(NmConnectionRecord) in the first record, as prepared
    DialUpHandle handle;
    char entryName[kEntryNameFieldSize];
};
