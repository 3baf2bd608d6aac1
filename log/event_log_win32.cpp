#include <windows.h>

#include "log/event_log.h"

// INVALID_HANDLE_VALUE is the HANDLE whose value is -1, the owner's "not open".

LogFile::LogFile(const char* path) {
    HANDLE file =
        CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    handle_ = reinterpret_cast<intptr_t>(file);
}

LogFile::~LogFile() {
    if (isOpen()) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

void LogFile::append(const char* bytes, size_t length) {
    if (!isOpen()) return;
    DWORD written = 0;
    WriteFile(reinterpret_cast<HANDLE>(handle_), bytes, static_cast<DWORD>(length), &written,
              nullptr);
}
