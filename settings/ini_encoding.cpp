#include "settings/ini_encoding.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "common/text.h"

namespace {

// Windows-1252 0x80..0x9F; the five bytes it leaves undefined keep their
// C1 control, as the system's conversion does.
constexpr uint16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

constexpr uint32_t kReplacement = 0xFFFD;

void AppendUtf8(uint32_t c, std::string* out) {
    if (c < 0x80) {
        out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (c >> 6)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (c >> 12)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (c >> 18)));
        out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

void AppendUtf16(uint32_t c, std::string* out) {
    auto unit = [out](uint32_t u) {
        out->push_back(static_cast<char>(u & 0xFF));
        out->push_back(static_cast<char>(u >> 8));
    };
    if (c < 0x10000) {
        unit(c);
    } else {
        c -= 0x10000;
        unit(0xD800 | (c >> 10));
        unit(0xDC00 | (c & 0x3FF));
    }
}

uint32_t Windows1252(unsigned char b) {
    return b >= 0x80 && b < 0xA0 ? kWindows1252High[b - 0x80] : b;
}

// The length of the well-formed UTF-8 sequence at s[at] (its character in
// *c), or 0 when there is none.
size_t Utf8Sequence(std::string_view s, size_t at, uint32_t* c) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + at;
    size_t left = s.size() - at;
    unsigned char b = p[0];
    size_t n;
    uint32_t min;
    if (b < 0x80) {
        *c = b;
        return 1;
    } else if (b >= 0xC2 && b <= 0xDF) {
        n = 2, min = 0x80, *c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3, min = 0x800, *c = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4, min = 0x10000, *c = b & 0x07;
    } else {
        return 0;
    }
    if (left < n) return 0;
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        *c = (*c << 6) | (p[i] & 0x3F);
    }
    if (*c < min || *c > 0x10FFFF || (*c >= 0xD800 && *c <= 0xDFFF)) return 0;
    return n;
}

}  // namespace

bool IsUtf8(std::string_view s) {
    uint32_t c;
    for (size_t at = 0; at < s.size();) {
        size_t n = Utf8Sequence(s, at, &c);
        if (n == 0) return false;
        at += n;
    }
    return true;
}

void AppendWindows1252AsUtf8(std::string_view s, std::string* out) {
    for (char b : s) AppendUtf8(Windows1252(static_cast<unsigned char>(b)), out);
}

bool DecodeIniText(std::string* text) {
    if (text->size() < 2 || (*text)[0] != '\xFF' || (*text)[1] != '\xFE') return false;
    const auto* p = reinterpret_cast<const unsigned char*>(text->data());
    size_t units = (text->size() - 2) / 2;
    std::string out;
    out.reserve(units * 3 / 2 + 3);
    for (size_t i = 0; i < units; ++i) {
        uint32_t u = p[2 + 2 * i] | (p[3 + 2 * i] << 8);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            uint32_t low = p[4 + 2 * i] | (p[5 + 2 * i] << 8);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendUtf8(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00), &out);
                ++i;
                continue;
            }
        }
        AppendUtf8(u >= 0xD800 && u <= 0xDFFF ? kReplacement : u, &out);
    }
    if (text->size() % 2 != 0) AppendUtf8(kReplacement, &out);
    *text = std::move(out);
    return true;
}

void EncodeIniTextAsUtf16(std::string* text) {
    std::string out;
    out.reserve(text->size() * 2 + 2);
    out += "\xFF\xFE";
    uint32_t c;
    for (size_t at = 0; at < text->size();) {
        size_t n = Utf8Sequence(*text, at, &c);
        if (n == 0) {
            c = Windows1252(static_cast<unsigned char>((*text)[at]));
            n = 1;
        }
        AppendUtf16(c, &out);
        at += n;
    }
    *text = std::move(out);
}

void IniGetText(const IniDocument& doc, const char* section, const char* key,
                const char* defaultValue, char* buffer, size_t size, bool utf8Values) {
    if (!utf8Values) {
        IniGetString(doc, section, key, defaultValue, buffer, size);
        return;
    }
    if (buffer == nullptr || size == 0) return;
    std::string_view value;
    if (!IniFindString(doc, section, key, &value)) {
        value = defaultValue == nullptr ? std::string_view() : std::string_view(defaultValue);
    }
    std::string converted;
    if (!IsUtf8(value)) {
        // At most size - 1 bytes are kept, and no byte grows past 3.
        try {
            AppendWindows1252AsUtf8(value.substr(0, size - 1), &converted);
        } catch (const std::bad_alloc&) {
            converted.clear();
        }
        value = converted;
    }
    size_t n = Utf8Prefix(value, size - 1);
    memcpy(buffer, value.data(), n);
    buffer[n] = '\0';
}
