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
    std::vector<std::string> lines;  // without their line ends
    std::vector<std::string> endings;  // "\r\n", "\n", "\r" or "" per line
};

// Parses text (any mix of CR LF, LF and CR line ends; a UTF-8 BOM is skipped).
void ParseIni(const std::string& text, IniDocument* doc);
std::string SerializeIni(const IniDocument& doc);

// GetPrivateProfileIntA's reading of one entry.
int32_t IniGetInt(const IniDocument& doc, const char* section, const char* key,
                  int32_t defaultValue);
// GetPrivateProfileStringA's reading of one entry: cut to size - 1, terminated.
void IniGetString(const IniDocument& doc, const char* section, const char* key,
                  const char* defaultValue, char* buffer, size_t size);
// WritePrivateProfileStringA's change of one entry.
void IniSetString(IniDocument* doc, const char* section, const char* key, const char* value);

// Reads a whole file. Returns false (and leaves text empty) when it cannot be
// read as a regular file.
bool ReadFileText(const char* path, std::string* text);
// Writes text to a temporary file beside path, flushes it and renames it over
// path. Returns false, leaving path untouched, on any failure.
bool ReplaceFileAtomically(const char* path, const std::string& text);

// A ProfileStore over one file. Reads see the file as it was when the store
// was opened (or last saved); a save re-reads the file, applies the writes
// and replaces it, so edits made by others in the meantime are kept.
struct IniFileStore {
    std::string path;
    IniDocument doc;
    IniDocument pending;  // the document being saved
    bool saving = false;
};

void OpenIniFileStore(IniFileStore* store, const char* path);
ProfileStore MakeIniProfileStore(IniFileStore* store);
