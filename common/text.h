// Bounded string helpers for the fixed character buffers of the settings.
#pragma once

#include <cstddef>
#include <string_view>

// Copies at most size - 1 characters of src into dst and always terminates it
// (the lstrcpynA rule). Does nothing when size is 0.
void CopyBounded(char* dst, const char* src, size_t size);

// Length of s, reading at most max characters.
size_t BoundedLength(const char* s, size_t max);

// Case-insensitive comparison of ASCII letters (the other bytes compare as
// unsigned values). Returns <0, 0 or >0.
int CompareNoCase(const char* a, const char* b);

// An ASCII capital as its small letter; every other byte as it is.
char FoldCase(char c);

// True when a and b have the same length and differ at most in ASCII case.
bool EqualNoCase(std::string_view a, std::string_view b);

// True when text begins with prefix, compared without regard to ASCII case.
bool StartsWithNoCase(const char* text, const char* prefix);
