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
