// The INI document (settings/ini_document.h) kept in a file. A save changes
// only the lines it must and keeps every other byte of the file; the new file
// replaces the old one atomically (temporary file, then rename), so a crash
// or a full disk mid-save leaves the old file or the new one, never a mix.
#pragma once

#include <string>

#include "settings/ini_document.h"
#include "settings/profile_store.h"

// Reads a whole file. Returns false (and leaves text empty) when it cannot be
// read as a regular file.
bool ReadFileText(const char* path, std::string* text);
// Writes text to a temporary file beside path, flushes it to the disk and
// renames it over path; an existing file keeps its permission bits. Returns
// false on any failure (open, write, full disk, flush, rename), with path left
// byte for byte as it was and the temporary file removed.
bool ReplaceFileAtomically(const char* path, const std::string& text);

// A ProfileStore over one file. Reads see the file as it was when the store
// was opened (or last saved); a save re-reads the file, applies the writes
// and replaces it, so edits made by others in the meantime are kept.
struct IniFileStore {
    std::string path;
    IniDocument doc;
    IniDocument pending;  // the document being saved
    bool saving = false;
    bool writeFailed = false;  // a write of the current save ran out of memory
};

void OpenIniFileStore(IniFileStore* store, const char* path);
ProfileStore MakeIniProfileStore(IniFileStore* store);

// The system's part, one per platform (ini_file_posix.cpp, ini_file_win32.cpp).
// Each may throw std::bad_alloc; the functions above catch it.
enum class IniReadResult { kRead, kMissing, kFailed };
// Reads path whole into text (left empty unless kRead). kMissing: there is no
// such file; kFailed: it exists but cannot be read as a regular file.
IniReadResult ReadIniFile(const char* path, std::string* text);
// Writes text to a new temporary file beside path (its name in *temp), flushes
// it and renames it over path. On failure *temp names the temporary file
// still to be removed, or is empty when none was left.
bool WriteTempAndReplace(const char* path, const std::string& text, std::string* temp);
void RemoveTempFile(const std::string& temp);
