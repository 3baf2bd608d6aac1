#include "settings/ini_lines.h"

#include "common/text.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

int DigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string_view IniTrimLeft(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && IsBlank(s[i])) ++i;
    s.remove_prefix(i);  // no bounds check to pay for, unlike substr
    return s;
}

std::string_view IniTrimRight(std::string_view s) {
    size_t n = s.size();
    while (n > 0 && IsBlank(s[n - 1])) --n;
    s.remove_suffix(s.size() - n);
    return s;
}

std::string_view IniTrim(std::string_view s) {
    return IniTrimRight(IniTrimLeft(s));
}

uint64_t IniNameHash(std::string_view name) {
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (char c : name) {
        hash ^= static_cast<unsigned char>(FoldCase(c));
        hash *= 1099511628211ull;
    }
    return hash;
}

std::string_view IniUnquote(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        v.remove_prefix(1);
        v.remove_suffix(1);
    }
    return v;
}

IniLineInfo ClassifyIniLine(std::string_view line) {
    IniLineInfo info;
    std::string_view text = IniTrimLeft(line);
    if (text.empty()) {
        info.kind = IniLineKind::kBlank;
        return info;
    }
    if (text.front() == ';') {
        info.kind = IniLineKind::kComment;
        return info;
    }
    if (text.front() == '[') {
        size_t close = text.find(']');
        if (close != std::string_view::npos) {
            info.kind = IniLineKind::kSection;
            info.name = IniTrim(std::string_view(text.data() + 1, close - 1));
            return info;
        }
        // Without its ']' the line is no header; it is read like any other.
    }
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) return info;  // no '=': not a key
    info.kind = IniLineKind::kKey;
    info.name = IniTrim(std::string_view(line.data(), eq));
    size_t start = eq + 1;
    while (start < line.size() && IsBlank(line[start])) ++start;
    info.valueStart = start;
    info.value = IniTrimRight(std::string_view(line.data() + start, line.size() - start));
    return info;
}

// Blanks, a sign, then decimal digits or 0x (hex), 0o (octal), 0b (binary)
// digits, up to the first other character. Unsigned arithmetic makes the
// result wrap modulo 2^32.
int32_t ParseIniInt(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    uint32_t base = 10;
    if (i + 1 < text.size() && text[i] == '0') {
        char prefix = text[i + 1];
        if (prefix == 'x') base = 16;
        if (prefix == 'o') base = 8;
        if (prefix == 'b') base = 2;
        if (base != 10) i += 2;
    }
    uint32_t result = 0;
    for (; i < text.size(); ++i) {
        int digit = DigitValue(text[i]);
        if (digit < 0 || static_cast<uint32_t>(digit) >= base) break;
        result = result * base + static_cast<uint32_t>(digit);
    }
    if (negative) result = 0u - result;
    return static_cast<int32_t>(result);
}
