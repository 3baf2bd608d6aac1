#include <windows.h>

#include "log/event_log.h"

// INVALID_HANDLE_VALUE is the HANDLE whose value is -1, the owner's "not open".

// The log is only ever a file on disk: a reparse point named like it (a
// symbolic link, a junction) is opened as itself, never followed, and like a
// pipe or a device it is closed unwritten.
LogFile::LogFile(const char* path) {
    handle_ = -1;
    HANDLE file = CreateFileA(
        path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        CloseHandle(file);
        return;
    }
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

// Names are in the ANSI code page here, where 0x80 to 0x9F are printable
// (the euro sign, curly quotes): only the ASCII controls become blanks.
size_t LogControlLength(const char* text, size_t length) {
    if (length == 0) return 0;
    unsigned char c = static_cast<unsigned char>(text[0]);
    return c < 0x20 || c == 0x7F ? 1 : 0;
}
