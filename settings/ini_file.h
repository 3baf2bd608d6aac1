// The INI document (settings/ini_document.h) kept in a file. A save changes
// only the lines it must and keeps every other byte of the file; the new file
// replaces the old one atomically (temporary file, then rename), so a crash
// or a full disk mid-save leaves the old file or the new one, never a mix.
#pragma once

#include <cstddef>
#include <string>

#include "settings/ini_document.h"
#include "settings/profile_store.h"

// A larger file is taken as unreadable: the defaults, and never overwritten.
constexpr size_t kMaxIniFileSize = size_t{16} << 20;

// Reads a whole file. Returns false (and leaves text empty) when it cannot be
// read as a regular file.
bool ReadFileText(const char* path, std::string* text);
// Writes text to a temporary file beside path, flushes it to the disk and
// renames it over path; an existing file keeps its permission bits. Returns
// false on any failure (open, write, full disk, flush, rename), with path left
// byte for byte as it was and the temporary file removed.
bool ReplaceFileAtomically(const char* path, const std::string& text);

// The program's strings are UTF-8 (POSIX) or bytes of the ANSI code page
// (Windows); one per platform, see below.
bool IniValuesAreUtf8();

enum class IniReadResult { kRead, kMissing, kFailed };

// Where the store's file lives: its two operations. The program's is the
// system's file (SystemIniFiles: ReadIniFile and ReplaceFileAtomically below);
// the fuzzers keep the "file" in memory and run the same transaction.
struct IniFileAccess {
    void* ctx;
    // Reads the file whole, as ReadIniFile does. May throw std::bad_alloc.
    IniReadResult (*read)(void* ctx, const char* path, std::string* text);
    // Replaces the file with text, all or nothing, as ReplaceFileAtomically does.
    bool (*replace)(void* ctx, const char* path, const std::string& text);
};
IniFileAccess SystemIniFiles();

// A ProfileStore over one file. Reads see the file as it was when the store
// was opened (or last saved); a save re-reads the file, applies the writes
// and replaces it, so edits made by others in the meantime are kept.
struct IniFileStore {
    IniFileAccess files = SystemIniFiles();
    std::string path;
    IniDocument doc;
    IniDocument pending;                   // the document being saved
    bool pendingUtf16 = false;             // the file being saved is UTF-16 LE and stays so
    bool utf8Values = IniValuesAreUtf8();  // see IniGetText (settings/ini_encoding.h)
    bool saving = false;
    bool writeFailed = false;  // a write of the current save ran out of memory
};

// Reads path through store->files (the system's unless the caller set others).
void OpenIniFileStore(IniFileStore* store, const char* path);
ProfileStore MakeIniProfileStore(IniFileStore* store);

// The system's part, one per platform (ini_file_linux.cpp, ini_file_win32.cpp).
// Each may throw std::bad_alloc; the functions above catch it.
// Reads path whole into text (left empty unless kRead). kMissing: there is no
// such file; kFailed: it exists but cannot be read as a regular file, is
// larger than kMaxIniFileSize, or (POSIX) is a symbolic link that the user
// does not own, whose target the user does not own, or that leads nowhere.
IniReadResult ReadIniFile(const char* path, std::string* text);
// Writes text to a new temporary file beside path (its name in *temp), flushes
// it and renames it over path (over the target of a link ReadIniFile follows). On failure *temp
// names the temporary file still to be removed, or is empty when none was left.
bool WriteTempAndReplace(const char* path, const std::string& text, std::string* temp);
void RemoveTempFile(const std::string& temp);
