// The WakeEvent as the Windows kernel sees it, for bindings that hand it to
// the system (the dial-up service's connection notifications).
#pragma once

#include <windows.h>

#include "common/wake_event.h"

// The event's kernel handle; the WakeEvent pointer is the handle itself.
inline HANDLE WakeEventHandle(WakeEvent* event) {
    return reinterpret_cast<HANDLE>(event);
}
