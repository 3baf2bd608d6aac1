// How one line of a private-profile file reads: the rules the INI document
// applies to each line on its own (what is a header, a key, a comment), and
// the reading of an integer value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

std::string_view IniTrimLeft(std::string_view s);
std::string_view IniTrimRight(std::string_view s);
std::string_view IniTrim(std::string_view s);

// Names compare without regard to the case of ASCII letters (EqualNoCase);
// a hash that is the same for names that compare equal.
uint64_t IniNameHash(std::string_view name);

// One matching pair of quotes around the whole value is not part of it.
std::string_view IniUnquote(std::string_view v);

enum class IniLineKind { kBlank, kComment, kSection, kKey, kOther };

struct IniLineInfo {
    IniLineKind kind = IniLineKind::kOther;
    std::string_view name;   // section or key name, trimmed
    std::string_view value;  // a key's value as written, trimmed, quotes kept
    size_t valueStart = 0;   // where a key's value begins on the line
};

IniLineInfo ClassifyIniLine(std::string_view line);

// The number at the start of text (GetPrivateProfileIntA's reading).
int32_t ParseIniInt(std::string_view text);
