// The portable INI store: reads and writes a Windows private-profile file with
// the same observable rules as the system's profile functions, so a settings
// file written by the Windows program reads the same here, and the other way
// round. A save changes only the lines it must and keeps every other byte of
// the file (comments, unknown keys and sections, their order, line ends); the
// new file replaces the old one atomically (temporary file, then rename), so a
// crash or a full disk mid-save leaves the old file or the new one, never a mix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "settings/profile_store.h"

// The parsed lines of one file, kept byte for byte.
struct IniDocument {
    bool bom = false;                  // the file starts with a UTF-8 byte order mark
    std::vector<std::string> lines;    // without their line ends
    std::vector<std::string> endings;  // "\r\n", "\n", "\r" or "" per line
};

// Parses text (any mix of CR LF, LF and CR line ends; a UTF-8 BOM is skipped
// and remembered). Returns false, leaving doc empty, when memory runs out.
bool ParseIni(const std::string& text, IniDocument* doc);
// The exact bytes of the document: SerializeIni of ParseIni(t) gives t back.
// Returns false, leaving text empty, when memory runs out.
bool SerializeIni(const IniDocument& doc, std::string* text);

// GetPrivateProfileIntA's reading of one entry.
int32_t IniGetInt(const IniDocument& doc, const char* section, const char* key,
                  int32_t defaultValue);
// GetPrivateProfileStringA's reading of one entry: cut to size - 1, terminated.
void IniGetString(const IniDocument& doc, const char* section, const char* key,
                  const char* defaultValue, char* buffer, size_t size);
// WritePrivateProfileStringA's change of one entry: creates the section or
// the key when needed and otherwise rewrites only the value on the key's line
// (a line that already reads as the new value is left as it is written).
// A null value deletes the key, a null key the whole section. CR and LF are
// dropped from section, key and value, so a value cannot add lines to the
// file. Returns false, leaving doc unchanged, when memory runs out.
bool IniSetString(IniDocument* doc, const char* section, const char* key, const char* value);

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
