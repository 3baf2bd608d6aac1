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
#include <vector>

// Where the first header of one section name starts, and the hash of the
// name (IniNameHash).
struct IniSectionStart {
    size_t start;
    uint64_t hash;
};

// A change of the text not yet applied to the section starts: every start at
// or after at moves by delta bytes.
struct IniShift {
    size_t at;
    ptrdiff_t delta;
};

// What the document knows of its text, kept up to date by each write: how
// many lines end each way (the line end a new line gets is the one the file
// uses most) and where each section name first starts, so a look-up finds its
// section without reading the headers before it. Only the first section of a
// name is ever read or written, so a file of many headers of few names keeps
// few starts. The starts are sorted by hash; a write shifts them lazily (up to
// a few shifts wait in shifts and are applied as a look-up reads a start).
struct IniIndex {
    size_t crlf = 0, lf = 0, cr = 0;
    std::vector<IniSectionStart> sections;
    std::vector<IniShift> shifts;
    bool repeats = false;  // some name has a later section too
    // The same counts and the same first sections where the text has them.
    bool operator==(const IniIndex& other) const;
};

// One file's bytes, kept as they are in one buffer: a line is where it lies
// in the text, found by reading, so the document takes little more memory
// than the file itself whatever its lines are like. Change it only through
// IniSetString, which keeps the index in step with the text.
struct IniDocument {
    std::string text;  // every byte of the file, a UTF-8 byte order mark included
    IniIndex index;
};

// Takes text as the document (any mix of CR LF, LF and CR line ends; a UTF-8
// BOM at the start is kept and not read as part of the first line) and reads
// it once for the index. Pass the text with std::move to keep one copy.
// Returns false, leaving doc empty, when memory runs out.
bool ParseIni(std::string text, IniDocument* doc);
// The exact bytes of the document: SerializeIni of ParseIni(t) gives t back.
// Returns false, leaving text empty, when memory runs out.
bool SerializeIni(const IniDocument& doc, std::string* text);

// GetPrivateProfileIntA's reading of one entry.
int32_t IniGetInt(const IniDocument& doc, const char* section, const char* key,
                  int32_t defaultValue);
// The value of one entry as written (quotes removed); false when it is absent.
bool IniFindString(const IniDocument& doc, const char* section, const char* key,
                   std::string_view* value);
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
