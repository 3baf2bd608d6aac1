// Starts a detached thread that runs for the life of the process (a kernel
// thread on Windows, so the program needs no C++ thread runtime there).
#pragma once

// Returns false when the thread could not be started.
bool StartDetachedThread(void (*entry)(void* arg), void* arg);
