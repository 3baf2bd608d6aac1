// Starts a detached thread that runs for the life of the process: a kernel
// thread on Windows (thread_start_win32.cpp), so the program needs no C++
// thread runtime there; a pthread elsewhere (thread_start_posix.cpp).
#pragma once

// Returns false when the thread could not be started.
bool StartDetachedThread(void (*entry)(void* arg), void* arg);
