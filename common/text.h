// Bounded string helpers for the fixed character buffers of the settings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Copies at most size - 1 characters of src into dst and always terminates it
// (the lstrcpynA rule). Does nothing when size is 0.
void CopyBounded(char* dst, const char* src, size_t size);

// Length of s, reading at most max characters.
size_t BoundedLength(const char* s, size_t max);

// Case-insensitive comparison of ASCII letters (the other bytes compare as
// unsigned values). Returns <0, 0 or >0.
int CompareNoCase(const char* a, const char* b);

// An ASCII capital as its small letter; every other byte as it is. Inline,
// as the INI look-ups call it for every byte of every name.
inline char FoldCase(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when a and b have the same length and differ at most in ASCII case.
inline bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && FoldCase(a[i]) != FoldCase(b[i])) return false;
    }
    return true;
}

// True when text begins with prefix, compared without regard to ASCII case.
bool StartsWithNoCase(const char* text, const char* prefix);

// The longest prefix of s of at most max bytes that does not end inside a
// UTF-8 sequence (s being UTF-8): where a UTF-8 text may be cut.
size_t Utf8Prefix(std::string_view s, size_t max);

// Writes value in decimal, as "%lld" would (snprintf costs far more, and a
// save writes some 300 numbers), cut to size - 1 characters and terminated;
// nothing when size is 0. Returns the characters written. 21 bytes hold any
// value.
size_t FormatDecimal(int64_t value, char* buffer, size_t size);
