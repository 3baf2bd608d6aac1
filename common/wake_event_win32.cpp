#include <windows.h>

#include "common/wake_event.h"

WakeEvent* CreateWakeEvent(bool initiallySignalled, const char* name) {
    return reinterpret_cast<WakeEvent*>(
        CreateEventA(nullptr, FALSE, initiallySignalled ? TRUE : FALSE, name));
}

void DestroyWakeEvent(WakeEvent* event) {
    if (event != nullptr) CloseHandle(reinterpret_cast<HANDLE>(event));
}

void SignalWakeEvent(WakeEvent* event) {
    if (event != nullptr) SetEvent(reinterpret_cast<HANDLE>(event));
}

bool WaitWakeEvent(WakeEvent* event, uint32_t timeoutMs) {
    if (event == nullptr) {
        Sleep(timeoutMs);
        return false;
    }
    return WaitForSingleObject(reinterpret_cast<HANDLE>(event), timeoutMs) == WAIT_OBJECT_0;
}

uint64_t MonotonicMilliseconds() {
    return GetTickCount64();
}
