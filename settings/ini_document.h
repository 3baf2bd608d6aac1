// A Windows private-profile (INI) file in memory: read with the same
// observable rules as the system's profile functions, so a settings file
// written by the Windows program reads the same here, and the other way
// round. A write changes only the lines it must and keeps every other byte
// (comments, unknown keys and sections, their order, line ends). No I/O: the
// file itself is settings/ini_file.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Section and key names hash and compare without regard to the case of
// ASCII letters, and can be looked up by string_view.
struct IniNameHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const noexcept;
};
struct IniNameEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept;
};
using IniKeyLines = std::unordered_map<std::string, size_t, IniNameHash, IniNameEqual>;

// The first section of one name: where its header is and, for each key, the
// first line in it that sets the key.
struct IniSectionIndex {
    size_t header = 0;
    IniKeyLines keys;
};

// Where things are, built once when the text is parsed and kept up to date by
// each write, so that a look-up does not scan the lines.
struct IniIndex {
    std::vector<size_t> headers;  // the line of every section header, ascending
    std::unordered_map<std::string, IniSectionIndex, IniNameHash, IniNameEqual> sections;
    size_t crlf = 0, lf = 0, cr = 0;  // how many lines end each way
};

// The parsed lines of one file, kept byte for byte. Change it only through
// IniSetString, which keeps the index in step with the lines.
struct IniDocument {
    bool bom = false;                  // the file starts with a UTF-8 byte order mark
    std::vector<std::string> lines;    // without their line ends
    std::vector<std::string> endings;  // "\r\n", "\n", "\r" or "" per line
    IniIndex index;
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
