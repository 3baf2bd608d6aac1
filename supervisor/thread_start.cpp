#include "supervisor/thread_start.h"

#ifdef _WIN32
#include <windows.h>

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

#else
#include <pthread.h>

#include <new>

namespace {
struct Start {
    void (*entry)(void*);
    void* arg;
};

void* ThreadMain(void* param) {
    Start start = *static_cast<Start*>(param);
    delete static_cast<Start*>(param);
    start.entry(start.arg);
    return nullptr;
}
}  // namespace

bool StartDetachedThread(void (*entry)(void*), void* arg) {
    Start* start = new (std::nothrow) Start{entry, arg};
    if (start == nullptr) return false;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, &ThreadMain, start) != 0) {
        delete start;
        return false;
    }
    pthread_detach(thread);
    return true;
}
#endif
