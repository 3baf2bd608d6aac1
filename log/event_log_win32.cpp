#include "log/event_log_win32.h"

#include "log/event_log.h"

// INVALID_HANDLE_VALUE is the HANDLE whose value is -1, the owner's "not open".

LogFileKind ClassifyLogFile(DWORD attributes, DWORD reparseTag) {
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return LogFileKind::kRefused;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return LogFileKind::kPlain;
    return IsReparseTagNameSurrogate(reparseTag) ? LogFileKind::kRefused : LogFileKind::kFiltered;
}

bool LogLastByteAtHand(DWORD attributes) {
    constexpr DWORD kNotLocal =
        FILE_ATTRIBUTE_OFFLINE | kFileAttributeRecallOnOpen | kFileAttributeRecallOnDataAccess;
    return (attributes & kNotLocal) == 0;
}

bool LogRetryAppendOnly(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

namespace {

// Appends at the end, whatever the file position, and reads the last byte
// for the line-end check. A file the user may append to but not read, or
// that another program holds without sharing reads, still gets its lines,
// without that check.
HANDLE OpenLogFile(const char* path, DWORD disposition, DWORD flags) {
    const DWORD accesses[] = {FILE_READ_DATA | FILE_APPEND_DATA, FILE_APPEND_DATA};
    for (DWORD access : accesses) {
        HANDLE file =
            CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, disposition, FILE_ATTRIBUTE_NORMAL | flags, nullptr);
        if (file != INVALID_HANDLE_VALUE || !LogRetryAppendOnly(GetLastError())) return file;
    }
    return INVALID_HANDLE_VALUE;
}

bool SameFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION first{}, second{};
    return GetFileInformationByHandle(a, &first) && GetFileInformationByHandle(b, &second) &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
}

// A file opened through its reparse point's filter: the same file as found,
// or INVALID_HANDLE_VALUE (someone put another file in its place meanwhile,
// or the filter cannot open it).
HANDLE ReopenThroughFilter(const char* path, HANDLE found) {
    HANDLE file = OpenLogFile(path, OPEN_EXISTING, 0);
    if (file == INVALID_HANDLE_VALUE) return file;
    if (GetFileType(file) != FILE_TYPE_DISK || !SameFile(found, file)) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

// The byte the copies of the program lock while one of them looks at the
// log's end and writes its line: far past any real end, so no reader of the
// log ever meets the lock.
constexpr DWORD kLockOffsetHigh = 0xFFFFFFF0u;

void WriteAll(HANDLE file, const char* bytes, size_t length) {
    DWORD written = 0;
    WriteFile(file, bytes, static_cast<DWORD>(length), &written, nullptr);
}

}  // namespace

// The log is only ever a file on disk. It is first opened without following
// a reparse point: a name surrogate (a symbolic link, a junction) and, like a
// pipe or a device, anything that is not a file on disk are closed unwritten.
// Other reparse points (a file that cloud storage keeps in sync, a
// deduplicated or compressed file) hold the log itself: that file is opened
// again the normal way, so the filter that owns its data takes the write.
LogFile::LogFile(const char* path) {
    handle_ = -1;
    HANDLE file = OpenLogFile(path, OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT);
    if (file == INVALID_HANDLE_VALUE) return;
    FILE_ATTRIBUTE_TAG_INFO info{};
    LogFileKind kind = LogFileKind::kRefused;
    if (GetFileType(file) == FILE_TYPE_DISK &&
        GetFileInformationByHandleEx(file, FileAttributeTagInfo, &info, sizeof info)) {
        kind = ClassifyLogFile(info.FileAttributes, info.ReparseTag);
    }
    if (kind == LogFileKind::kFiltered) {
        HANDLE through = ReopenThroughFilter(path, file);
        CloseHandle(file);
        file = through;
        if (file == INVALID_HANDLE_VALUE) return;
    } else if (kind == LogFileKind::kRefused) {
        CloseHandle(file);
        return;
    }
    handle_ = reinterpret_cast<intptr_t>(file);
}

LogFile::~LogFile() {
    if (!isOpen()) return;
    HANDLE file = reinterpret_cast<HANDLE>(handle_);
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    UnlockFileEx(file, 0, 1, 0, &at);  // fails harmlessly when it was never taken
    CloseHandle(file);
}

void LogFile::append(const char* bytes, size_t length) {
    if (isOpen()) WriteAll(reinterpret_cast<HANDLE>(handle_), bytes, length);
}

int LogFile::lockAndReadLastByte() {
    if (!isOpen()) return -1;
    HANDLE file = reinterpret_cast<HANDLE>(handle_);
    // Another copy holds the lock for one line at most; a lock held longer
    // is waited for 50 ms only, and the line is written anyway. The wait is
    // on the clock: a Sleep(1) lasts a whole timer tick (often 15.6 ms).
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    const ULONGLONG deadline = GetTickCount64() + 50;
    while (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) &&
           GetLastError() == ERROR_LOCK_VIOLATION && GetTickCount64() < deadline) {
        Sleep(1);
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info) || !LogLastByteAtHand(info.dwFileAttributes)) {
        return -1;  // not at hand: taken as ended
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size) || size.QuadPart <= 0) return -1;
    OVERLAPPED last{};
    ULARGE_INTEGER offset;
    offset.QuadPart = static_cast<ULONGLONG>(size.QuadPart - 1);
    last.Offset = offset.LowPart;
    last.OffsetHigh = offset.HighPart;
    unsigned char c = 0;
    DWORD read = 0;
    // A file opened for appending only cannot tell: taken as ended.
    if (!ReadFile(file, &c, 1, &read, &last) || read != 1) return -1;
    return c;
}

// Names are in the ANSI code page here, where 0x80 to 0x9F are printable
// (the euro sign, curly quotes): only the ASCII controls become blanks.
size_t LogControlLength(const char* text, size_t length) {
    if (length == 0) return 0;
    unsigned char c = static_cast<unsigned char>(text[0]);
    return c < 0x20 || c == 0x7F ? 1 : 0;
}
