#include <windows.h>

#include "common/thread_start.h"

namespace {
struct Start {
    void (*entry)(void*);
    void* arg;
};

DWORD WINAPI ThreadMain(LPVOID param) {
    Start start = *static_cast<Start*>(param);
    HeapFree(GetProcessHeap(), 0, param);
    start.entry(start.arg);
    return 0;
}
}  // namespace

bool StartDetachedThread(void (*entry)(void*), void* arg) {
    void* mem = HeapAlloc(GetProcessHeap(), 0, sizeof(Start));
    if (mem == nullptr) return false;
    *static_cast<Start*>(mem) = Start{entry, arg};
    HANDLE thread = CreateThread(nullptr, 0, &ThreadMain, mem, 0, nullptr);
    if (thread == nullptr) {
        HeapFree(GetProcessHeap(), 0, mem);
        return false;
    }
    CloseHandle(thread);
    return true;
}
