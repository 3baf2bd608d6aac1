#include "settings/ini_document.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "settings/ini_lines.h"

namespace {

constexpr size_t kNone = static_cast<size_t>(-1);
constexpr std::string_view kBom = "\xEF\xBB\xBF";

using SectionMap = decltype(IniIndex::sections);

bool IsBlankLine(std::string_view line) {
    return IniTrimLeft(line).empty();
}

// ---------------------------------------------------------------------------
// The index

size_t* EndingCount(IniIndex* index, std::string_view ending) {
    if (ending == "\r\n") return &index->crlf;
    if (ending == "\n") return &index->lf;
    if (ending == "\r") return &index->cr;
    return nullptr;
}

void CountEnding(IniIndex* index, std::string_view ending, size_t delta) {
    if (size_t* count = EndingCount(index, ending)) *count += delta;
}

// The line after the last line of the section whose header is at `header`.
size_t SectionEnd(const IniDocument& doc, size_t header) {
    const std::vector<size_t>& headers = doc.index.headers;
    auto next = std::upper_bound(headers.begin(), headers.end(), header);
    return next == headers.end() ? doc.lines.size() : *next;
}

// Every line of the document, read once. Lines before the first header
// belong to no section; a section read again later adds nothing, as only the
// first of each name is ever read or written.
IniIndex BuildIndex(const IniDocument& doc) {
    IniIndex index;
    IniSectionIndex* current = nullptr;
    for (size_t i = 0; i < doc.lines.size(); ++i) {
        CountEnding(&index, doc.endings[i], 1);
        IniLineInfo info = ClassifyIniLine(doc.lines[i]);
        if (info.kind == IniLineKind::kSection) {
            index.headers.push_back(i);
            auto [it, added] = index.sections.try_emplace(std::string(info.name));
            current = added ? &it->second : nullptr;
            if (added) current->header = i;
        } else if (info.kind == IniLineKind::kKey && current != nullptr) {
            current->keys.try_emplace(std::string(info.name), i);  // the first one wins
        }
    }
    return index;
}

// The keys of the section whose header is at `header`.
IniSectionIndex IndexSection(const IniDocument& doc, size_t header) {
    IniSectionIndex section;
    section.header = header;
    for (size_t i = header + 1, end = SectionEnd(doc, header); i < end; ++i) {
        IniLineInfo info = ClassifyIniLine(doc.lines[i]);
        if (info.kind == IniLineKind::kKey) section.keys.try_emplace(std::string(info.name), i);
    }
    return section;
}

// Lines from `from` on moved by delta (added modulo 2^N, so a move up is the
// negated count): the headers, and the sections starting there with their
// keys. `skip`, the section being edited, is left to the caller.
void ShiftFrom(IniIndex* index, size_t from, size_t delta, const IniSectionIndex* skip) {
    for (size_t& header : index->headers) {
        if (header >= from) header += delta;
    }
    for (auto& [name, section] : index->sections) {
        if (&section == skip || section.header < from) continue;
        section.header += delta;
        for (auto& [key, line] : section.keys) line += delta;
    }
}

// ---------------------------------------------------------------------------
// Changing lines

// The names and the value as they go into the file: without CR and LF, which
// would start a line of their own.
std::string WithoutLineBreaks(const char* text) {
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p != '\r' && *p != '\n') out += *p;
    }
    return out;
}

// The line end used most in the file; CR LF for a file without any.
const char* DominantEnding(const IniIndex& index) {
    if (index.lf > index.crlf && index.lf >= index.cr) return "\n";
    if (index.cr > index.crlf && index.cr > index.lf) return "\r";
    return "\r\n";
}

struct NewLines {
    std::vector<std::string> lines;
    std::vector<std::string> endings;
};

NewLines MakeLines(std::vector<std::string> lines, const char* ending) {
    NewLines add;
    add.endings.assign(lines.size(), ending);
    add.lines = std::move(lines);
    return add;
}

// Makes room for n more lines, so that InsertLines cannot fail.
void ReserveLines(IniDocument* doc, size_t n) {
    doc->lines.reserve(doc->lines.size() + n);
    doc->endings.reserve(doc->endings.size() + n);
}

// Puts the new lines in at `at`, in room made by ReserveLines: nothing
// allocates, the strings move. Only the last line of a file can lack its line
// end; when the new lines go after it, it gets one.
void InsertLines(IniDocument* doc, size_t at, NewLines* add) {
    if (at == doc->lines.size() && at > 0 && doc->endings[at - 1].empty()) {
        doc->endings[at - 1] = add->endings.front();  // short enough to need no allocation
        CountEnding(&doc->index, add->endings.front(), 1);
    }
    for (const std::string& e : add->endings) CountEnding(&doc->index, e, 1);
    auto pos = static_cast<std::ptrdiff_t>(at);
    doc->lines.insert(doc->lines.begin() + pos, std::make_move_iterator(add->lines.begin()),
                      std::make_move_iterator(add->lines.end()));
    doc->endings.insert(doc->endings.begin() + pos, std::make_move_iterator(add->endings.begin()),
                        std::make_move_iterator(add->endings.end()));
}

void EraseLines(IniDocument* doc, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) CountEnding(&doc->index, doc->endings[i], kNone);
    auto first = static_cast<std::ptrdiff_t>(from), last = static_cast<std::ptrdiff_t>(to);
    doc->lines.erase(doc->lines.begin() + first, doc->lines.begin() + last);
    doc->endings.erase(doc->endings.begin() + first, doc->endings.begin() + last);
}

// A change whose new line does not read as what it was written for (a
// section name with ']', a key name with '=' or starting with ';', a value
// that closes a '[' before the key's '='): made on a copy, which is indexed
// from scratch and then takes the document's place.
template <typename Edit>
void EditAside(IniDocument* doc, Edit edit) {
    IniDocument next;
    next.bom = doc->bom;
    next.lines = doc->lines;
    next.endings = doc->endings;
    edit(&next);
    next.index = BuildIndex(next);
    *doc = std::move(next);
}

void InsertAside(IniDocument* doc, size_t at, NewLines* add) {
    EditAside(doc, [&](IniDocument* next) {
        ReserveLines(next, add->lines.size());
        InsertLines(next, at, add);
    });
}

// Each change below does everything that can fail (allocations) before it
// changes the document, so running out of memory leaves it as it was.

void ReplaceValue(IniDocument* doc, size_t line, std::string_view value) {
    IniLineInfo info = ClassifyIniLine(doc->lines[line]);
    // A value that already reads the same is left as it is written, so a
    // save that changes nothing leaves the file as it was.
    if (IniUnquote(info.value) == IniUnquote(IniTrimRight(value))) return;
    // Everything before the value (the key's spelling, the blanks around
    // '=') stays; only the value changes.
    std::string replaced = doc->lines[line].substr(0, info.valueStart);
    replaced.append(value);
    if (ClassifyIniLine(replaced).kind == IniLineKind::kKey) {
        doc->lines[line] = std::move(replaced);
        return;
    }
    EditAside(doc, [&](IniDocument* next) { next->lines[line] = std::move(replaced); });
}

// A new section at the end of the file.
void AddSection(IniDocument* doc, std::string_view section, std::string_view key,
                std::string_view value) {
    size_t at = doc->lines.size();
    std::vector<std::string> lines;
    lines.push_back("[" + std::string(section) + "]");
    lines.push_back(std::string(key) + "=" + std::string(value));
    NewLines add = MakeLines(std::move(lines), DominantEnding(doc->index));
    IniLineInfo header = ClassifyIniLine(add.lines[0]);
    IniLineInfo entry = ClassifyIniLine(add.lines[1]);
    if (header.kind != IniLineKind::kSection || header.name != section ||
        entry.kind != IniLineKind::kKey || entry.name != key) {
        InsertAside(doc, at, &add);
        return;
    }
    IniSectionIndex indexed;
    indexed.header = at;
    indexed.keys.emplace(std::string(key), at + 1);
    ReserveLines(doc, add.lines.size());
    doc->index.headers.reserve(doc->index.headers.size() + 1);
    doc->index.sections.emplace(std::string(section), std::move(indexed));
    doc->index.headers.push_back(at);
    InsertLines(doc, at, &add);
}

// A new key goes after the section's last line that is not blank (its
// trailing comments included), so blank lines between sections stay between
// sections.
void AddKey(IniDocument* doc, IniSectionIndex* section, std::string_view key,
            std::string_view value) {
    size_t at = SectionEnd(*doc, section->header);
    while (at > section->header + 1 && IsBlankLine(doc->lines[at - 1])) --at;
    std::vector<std::string> lines;
    lines.push_back(std::string(key) + "=" + std::string(value));
    NewLines add = MakeLines(std::move(lines), DominantEnding(doc->index));
    IniLineInfo entry = ClassifyIniLine(add.lines[0]);
    if (entry.kind != IniLineKind::kKey || entry.name != key) {
        InsertAside(doc, at, &add);
        return;
    }
    ReserveLines(doc, 1);
    section->keys.emplace(std::string(key), at);
    // Every key of this section lies before `at`; what follows moves down.
    ShiftFrom(&doc->index, at, 1, section);
    InsertLines(doc, at, &add);
}

void DeleteKey(IniDocument* doc, IniSectionIndex* section, std::string_view key) {
    auto found = section->keys.find(key);
    if (found == section->keys.end()) return;
    size_t line = found->second;
    // A later line with the same key is the one read from now on.
    size_t next = kNone;
    for (size_t i = line + 1, end = SectionEnd(*doc, section->header); i < end; ++i) {
        IniLineInfo info = ClassifyIniLine(doc->lines[i]);
        if (info.kind == IniLineKind::kKey && IniEqualNoCase(info.name, key)) {
            next = i;
            break;
        }
    }
    EraseLines(doc, line, line + 1);
    for (auto& [name, at] : section->keys) {
        if (at > line) --at;
    }
    if (next != kNone) {
        found->second = next - 1;
    } else {
        section->keys.erase(found);
    }
    ShiftFrom(&doc->index, line + 1, kNone, section);
}

void DeleteSection(IniDocument* doc, SectionMap::iterator found) {
    IniSectionIndex* section = &found->second;
    size_t header = section->header;
    size_t end = SectionEnd(*doc, header);
    size_t count = end - header;
    // A later section of the same name is the one read from now on.
    std::vector<size_t>& headers = doc->index.headers;
    size_t later = kNone;
    for (auto h = std::upper_bound(headers.begin(), headers.end(), header); h != headers.end();
         ++h) {
        if (IniEqualNoCase(ClassifyIniLine(doc->lines[*h]).name, found->first)) {
            later = *h;
            break;
        }
    }
    IniSectionIndex replacement;
    if (later != kNone) replacement = IndexSection(*doc, later);

    EraseLines(doc, header, end);
    headers.erase(std::lower_bound(headers.begin(), headers.end(), header));
    ShiftFrom(&doc->index, end, 0 - count, section);
    if (later == kNone) {
        doc->index.sections.erase(found);
        return;
    }
    section->header = replacement.header - count;
    section->keys.swap(replacement.keys);
    for (auto& [name, line] : section->keys) line -= count;
}

void SetString(IniDocument* doc, const char* sectionText, const char* keyText,
               const char* valueText) {
    std::string sectionClean = WithoutLineBreaks(sectionText);
    std::string_view section = IniTrim(sectionClean);
    auto found = doc->index.sections.find(section);
    bool exists = found != doc->index.sections.end();

    if (keyText == nullptr) {  // delete the whole section
        if (exists) DeleteSection(doc, found);
        return;
    }
    std::string keyClean = WithoutLineBreaks(keyText);
    std::string_view key = IniTrim(keyClean);

    if (valueText == nullptr) {  // delete the key
        if (exists) DeleteKey(doc, &found->second, key);
        return;
    }
    std::string valueClean = WithoutLineBreaks(valueText);
    std::string_view value = IniTrimLeft(valueClean);

    if (!exists) {
        AddSection(doc, section, key, value);
        return;
    }
    auto line = found->second.keys.find(key);
    if (line != found->second.keys.end()) {
        ReplaceValue(doc, line->second, value);
    } else {
        AddKey(doc, &found->second, key, value);
    }
}

// The value of section/key as the profile functions return it (quotes
// stripped); false when the key is absent.
bool LookUp(const IniDocument& doc, const char* section, const char* key, std::string_view* value) {
    if (section == nullptr || key == nullptr) return false;
    auto found = doc.index.sections.find(IniTrim(section));
    if (found == doc.index.sections.end()) return false;
    auto line = found->second.keys.find(IniTrim(key));
    if (line == found->second.keys.end()) return false;
    *value = IniUnquote(ClassifyIniLine(doc.lines[line->second]).value);
    return true;
}

}  // namespace

size_t IniNameHash::operator()(std::string_view name) const noexcept {
    size_t hash = 14695981039346656037ull & static_cast<size_t>(-1);  // FNV-1a
    for (char c : name) {
        hash ^= static_cast<unsigned char>(IniFoldCase(c));
        hash *= static_cast<size_t>(1099511628211ull);
    }
    return hash;
}

bool IniNameEqual::operator()(std::string_view a, std::string_view b) const noexcept {
    return IniEqualNoCase(a, b);
}

bool ParseIni(const std::string& text, IniDocument* doc) {
    try {
        IniDocument parsed;
        size_t i = 0;
        if (std::string_view(text).substr(0, kBom.size()) == kBom) {
            parsed.bom = true;
            i = kBom.size();
        }
        while (i < text.size()) {
            size_t end = text.find_first_of("\r\n", i);
            if (end == std::string::npos) {
                parsed.lines.push_back(text.substr(i));
                parsed.endings.emplace_back();
                break;
            }
            size_t endLength =
                (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1;
            parsed.lines.push_back(text.substr(i, end - i));
            parsed.endings.push_back(text.substr(end, endLength));
            i = end + endLength;
        }
        parsed.index = BuildIndex(parsed);
        *doc = std::move(parsed);
        return true;
    } catch (const std::bad_alloc&) {
        *doc = IniDocument{};
        return false;
    }
}

bool SerializeIni(const IniDocument& doc, std::string* text) {
    try {
        std::string out;
        size_t total = doc.bom ? kBom.size() : 0;
        for (size_t i = 0; i < doc.lines.size(); ++i) {
            total += doc.lines[i].size() + doc.endings[i].size();
        }
        out.reserve(total);
        if (doc.bom) out.append(kBom);
        for (size_t i = 0; i < doc.lines.size(); ++i) {
            out.append(doc.lines[i]);
            out.append(doc.endings[i]);
        }
        *text = std::move(out);
        return true;
    } catch (const std::bad_alloc&) {
        text->clear();
        return false;
    }
}

int32_t IniGetInt(const IniDocument& doc, const char* section, const char* key,
                  int32_t defaultValue) {
    std::string_view value;
    if (!LookUp(doc, section, key, &value) || value.empty()) return defaultValue;
    return ParseIniInt(value);
}

void IniGetString(const IniDocument& doc, const char* section, const char* key,
                  const char* defaultValue, char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return;
    std::string_view value;
    if (!LookUp(doc, section, key, &value)) {
        value = defaultValue == nullptr ? std::string_view() : std::string_view(defaultValue);
    }
    size_t n = value.size() < size - 1 ? value.size() : size - 1;
    memcpy(buffer, value.data(), n);
    buffer[n] = '\0';
}

bool IniSetString(IniDocument* doc, const char* section, const char* key, const char* value) {
    if (doc == nullptr || section == nullptr) return true;
    try {
        SetString(doc, section, key, value);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}
