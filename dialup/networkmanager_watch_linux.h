// Connection notifications from NetworkManager: a thread of its own, with its
// own bus connection and event loop, that does nothing but signal a WakeEvent
// when a dial-up active connection appears, disappears or changes state. A
// LAN connection's change wakes nothing.
#pragma once

#include <cstdint>

struct WakeEvent;

// Starts the watcher for the life of the process. Returns 0, or kNmNoBus when
// no thread could be started. A bus that cannot be reached yet is tried again
// every few seconds; NetworkManager's restarts renew the subscriptions.
int32_t StartNetworkManagerWatch(WakeEvent* wake);

// How many active connections the watcher keeps the kind of: at most those
// NetworkManager lists (for tests).
int NetworkManagerWatchKindsKept();
