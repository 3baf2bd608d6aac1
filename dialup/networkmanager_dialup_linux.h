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
#include "dialup/networkmanager_codes.h"

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
// Its result codes and their texts (getErrorString) are networkmanager_codes.h's.
DialUpService MakeNetworkManagerDialUpService(NetworkManagerDialUp* instance);

// One record of the supervisor's connection buffer.
struct NmConnectionRecord {
    uint32_t size;  // sizeof(NmConnectionRecord) in the first record, as prepared
    DialUpHandle handle;
    char entryName[kEntryNameFieldSize];
};
