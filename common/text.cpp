#include "common/text.h"

#include <cstring>

void CopyBounded(char* dst, const char* src, size_t size) {
    if (size == 0) return;
    size_t n = BoundedLength(src, size - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

size_t BoundedLength(const char* s, size_t max) {
    size_t n = 0;
    while (n < max && s[n] != '\0') ++n;
    return n;
}

static unsigned char FoldedByte(char c) {
    return static_cast<unsigned char>(FoldCase(c));
}

int CompareNoCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        unsigned char ca = FoldedByte(*a), cb = FoldedByte(*b);
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == '\0') return 0;
    }
}

bool StartsWithNoCase(const char* text, const char* prefix) {
    for (; *prefix != '\0'; ++text, ++prefix) {
        if (FoldCase(*text) != FoldCase(*prefix)) return false;
    }
    return true;
}

size_t Utf8Prefix(std::string_view s, size_t max) {
    if (s.size() <= max) return s.size();
    size_t end = max;
    while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
    return end;
}

size_t FormatDecimal(int64_t value, char* buffer, size_t size) {
    if (size == 0) return 0;
    char digits[20];
    size_t count = 0;
    uint64_t magnitude =
        value < 0 ? 0u - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    size_t out = 0;
    if (value < 0 && out + 1 < size) buffer[out++] = '-';
    while (count > 0 && out + 1 < size) buffer[out++] = digits[--count];
    buffer[out] = '\0';
    return out;
}
