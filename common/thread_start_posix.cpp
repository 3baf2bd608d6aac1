#include <pthread.h>

#include <new>

#include "common/thread_start.h"

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
