// The settings file on Windows: read through CreateFileA/ReadFile, replaced
// with MoveFileExA over a flushed temporary file. The program's strings are
// bytes of the ANSI code page, kept as they are.
#include <windows.h>

#include <atomic>
#include <string>

#include "settings/ini_file.h"

namespace {

std::atomic<unsigned> g_tempCounter{0};

// A file handle, closed at the end of its scope; Close() closes it earlier
// and tells whether the system took the data.
class FileHandle {
  public:
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    ~FileHandle() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    HANDLE get() const { return handle_; }
    bool Close() {
        HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return CloseHandle(handle) != 0;
    }

  private:
    HANDLE handle_;
};

}  // namespace

bool IniValuesAreUtf8() {
    return false;
}

IniReadResult ReadIniFile(const char* path, std::string* text) {
    text->clear();
    FileHandle file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        return missing ? IniReadResult::kMissing : IniReadResult::kFailed;
    }
    IniReadResult result = IniReadResult::kRead;
    if (GetFileType(file.get()) != FILE_TYPE_DISK) result = IniReadResult::kFailed;
    char chunk[65536];
    while (result == IniReadResult::kRead) {
        DWORD got = 0;
        if (!ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr)) {
            result = IniReadResult::kFailed;
            break;
        }
        if (got == 0) break;
        text->append(chunk, got);
        if (text->size() > kMaxIniFileSize) result = IniReadResult::kFailed;
    }
    if (result != IniReadResult::kRead) text->clear();
    return result;
}

bool WriteTempAndReplace(const char* path, const std::string& text, std::string* temp) {
    HANDLE created = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && created == INVALID_HANDLE_VALUE; ++attempt) {
        *temp = std::string(path) + ".tmp" + std::to_string(GetCurrentProcessId()) + "." +
                std::to_string(g_tempCounter.fetch_add(1));
        created = CreateFileA(temp->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        if (created == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
            temp->clear();  // nothing was created
            return false;
        }
    }
    if (created == INVALID_HANDLE_VALUE) {
        temp->clear();
        return false;
    }
    FileHandle file(created);
    bool ok = true;
    size_t done = 0;
    while (ok && done < text.size()) {
        size_t left = text.size() - done;
        DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
        DWORD wrote = 0;
        if (!WriteFile(file.get(), text.data() + done, chunk, &wrote, nullptr) || wrote == 0) {
            ok = false;
        }
        done += wrote;
    }
    if (ok && !FlushFileBuffers(file.get())) ok = false;
    if (!file.Close()) ok = false;
    if (ok &&
        !MoveFileExA(temp->c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ok = false;
    }
    if (ok) temp->clear();  // it is the settings file now
    return ok;
}

void RemoveTempFile(const std::string& temp) {
    DeleteFileA(temp.c_str());
}
