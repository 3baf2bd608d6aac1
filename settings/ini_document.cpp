#include "settings/ini_document.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "common/text.h"
#include "settings/ini_lines.h"

namespace {

constexpr size_t kNone = static_cast<size_t>(-1);
constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool IsBlankLine(std::string_view line) {
    return IniTrimLeft(line).empty();
}

// ---------------------------------------------------------------------------
// The index

using Sections = std::vector<IniSectionEntry>;

size_t* EndingCount(IniIndex* index, std::string_view ending) {
    if (ending == "\r\n") return &index->crlf;
    if (ending == "\n") return &index->lf;
    if (ending == "\r") return &index->cr;
    return nullptr;
}

void CountEnding(IniIndex* index, std::string_view ending, size_t delta) {
    if (size_t* count = EndingCount(index, ending)) *count += delta;
}

bool KeyOrder(const IniKeyEntry& a, const IniKeyEntry& b) {
    return a.hash != b.hash ? a.hash < b.hash : a.line < b.line;
}

// Every line of the document, read once. Lines before the first header
// belong to no section.
IniIndex BuildIndex(const IniDocument& doc) {
    IniIndex index;
    for (size_t i = 0; i < doc.lines.size(); ++i) {
        CountEnding(&index, doc.endings[i], 1);
        IniLineInfo info = ClassifyIniLine(doc.lines[i]);
        if (info.kind == IniLineKind::kSection) {
            index.sections.push_back(IniSectionEntry{IniNameHash(info.name), i, {}});
        } else if (info.kind == IniLineKind::kKey && !index.sections.empty()) {
            index.sections.back().keys.push_back(IniKeyEntry{IniNameHash(info.name), i});
        }
    }
    for (IniSectionEntry& section : index.sections) {
        std::sort(section.keys.begin(), section.keys.end(), KeyOrder);
    }
    return index;
}

// The first section of that name (only it is ever read or written), or
// kNone.
size_t FindSection(const IniDocument& doc, std::string_view name) {
    uint64_t hash = IniNameHash(name);
    const Sections& sections = doc.index.sections;
    for (size_t i = 0; i < sections.size(); ++i) {
        if (sections[i].hash == hash &&
            EqualNoCase(ClassifyIniLine(doc.lines[sections[i].header]).name, name)) {
            return i;
        }
    }
    return kNone;
}

// The entry of the first line in the section that sets the key, or end;
// *line is how that line reads.
std::vector<IniKeyEntry>::const_iterator FindKey(const IniDocument& doc,
                                                 const IniSectionEntry& section,
                                                 std::string_view name, IniLineInfo* line) {
    uint64_t hash = IniNameHash(name);
    auto it =
        std::lower_bound(section.keys.begin(), section.keys.end(), IniKeyEntry{hash, 0}, KeyOrder);
    for (; it != section.keys.end() && it->hash == hash; ++it) {
        *line = ClassifyIniLine(doc.lines[it->line]);
        if (EqualNoCase(line->name, name)) return it;
    }
    return section.keys.end();
}

// The line after the last line of the section.
size_t SectionEnd(const IniDocument& doc, size_t section) {
    const Sections& sections = doc.index.sections;
    return section + 1 < sections.size() ? sections[section + 1].header : doc.lines.size();
}

// The sections from `first` on moved by delta lines (added modulo 2^N, so a
// move up is the negated count).
void ShiftSections(IniIndex* index, size_t first, size_t delta) {
    for (size_t i = first; i < index->sections.size(); ++i) {
        IniSectionEntry& section = index->sections[i];
        section.header += delta;
        for (IniKeyEntry& key : section.keys) key.line += delta;
    }
}

// Room for one more element, growing by half at least, so that adding
// cannot fail afterwards and a run of additions copies little.
template <typename T>
void ReserveOneMore(std::vector<T>* v) {
    if (v->size() < v->capacity()) return;
    v->reserve(std::max(v->size() + 1, v->size() + v->size() / 2));
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

// Makes room for n more lines, so that InsertLines cannot fail. The room
// grows by half at least, so that a save writing key after key into a new
// file does not copy every line each time.
void ReserveLines(IniDocument* doc, size_t n) {
    size_t need = doc->lines.size() + n;
    if (need <= doc->lines.capacity() && need <= doc->endings.capacity()) return;
    size_t room = std::max(need, doc->lines.size() + doc->lines.size() / 2);
    doc->lines.reserve(room);
    doc->endings.reserve(room);
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
//
// A line that ends in CR followed by an empty line that ends in LF reads as
// one line ending in CR LF. An insertion or deletion that brings two such
// lines together (at `joint` and the line after it) is made aside too, and
// the result is read again from its text, whose bytes stay as they are.
bool EndsJoin(const IniDocument& doc, size_t joint) {
    return joint + 1 < doc.lines.size() && doc.endings[joint] == "\r" &&
           doc.lines[joint + 1].empty() && doc.endings[joint + 1] == "\n";
}

template <typename Edit>
void EditAside(IniDocument* doc, Edit edit, size_t joint = kNone) {
    IniDocument next;
    next.bom = doc->bom;
    next.lines = doc->lines;
    next.endings = doc->endings;
    edit(&next);
    if (joint != kNone && EndsJoin(next, joint)) {
        std::string text;
        if (!SerializeIni(next, &text) || !ParseIni(text, &next)) throw std::bad_alloc();
    } else {
        next.index = BuildIndex(next);
    }
    *doc = std::move(next);
}

void InsertAside(IniDocument* doc, size_t at, NewLines* add) {
    size_t joint = at + add->lines.size() - 1;  // the last new line
    EditAside(
        doc,
        [&](IniDocument* next) {
            ReserveLines(next, add->lines.size());
            InsertLines(next, at, add);
        },
        joint);
}

// Whether putting the new lines in at `at` joins the last one's end to the
// line after it.
bool InsertJoins(const IniDocument& doc, size_t at, const NewLines& add) {
    return at < doc.lines.size() && add.endings.back() == "\r" && doc.lines[at].empty() &&
           doc.endings[at] == "\n";
}

// Erases the lines from..to aside, and returns true, when that joins the
// line before them to the one after.
bool EraseJoiningAside(IniDocument* doc, size_t from, size_t to) {
    if (from == 0 || to >= doc->lines.size() || doc->endings[from - 1] != "\r" ||
        !doc->lines[to].empty() || doc->endings[to] != "\n") {
        return false;
    }
    EditAside(
        doc, [&](IniDocument* next) { EraseLines(next, from, to); }, from - 1);
    return true;
}

// Each change below does everything that can fail (allocations) before it
// changes the document, so running out of memory leaves it as it was.

// info is how the key's line reads now.
void ReplaceValue(IniDocument* doc, size_t line, const IniLineInfo& info, std::string_view value) {
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
    IniSectionEntry indexed{IniNameHash(section), at, {IniKeyEntry{IniNameHash(key), at + 1}}};
    ReserveLines(doc, add.lines.size());
    ReserveOneMore(&doc->index.sections);
    doc->index.sections.push_back(std::move(indexed));
    InsertLines(doc, at, &add);
}

// A new key goes after the section's last line that is not blank (its
// trailing comments included), so blank lines between sections stay between
// sections.
void AddKey(IniDocument* doc, size_t sectionIndex, std::string_view key, std::string_view value) {
    IniSectionEntry& section = doc->index.sections[sectionIndex];
    size_t at = SectionEnd(*doc, sectionIndex);
    while (at > section.header + 1 && IsBlankLine(doc->lines[at - 1])) --at;
    std::vector<std::string> lines;
    lines.push_back(std::string(key) + "=" + std::string(value));
    NewLines add = MakeLines(std::move(lines), DominantEnding(doc->index));
    IniLineInfo entry = ClassifyIniLine(add.lines[0]);
    if (entry.kind != IniLineKind::kKey || entry.name != key || InsertJoins(*doc, at, add)) {
        InsertAside(doc, at, &add);
        return;
    }
    ReserveLines(doc, 1);
    ReserveOneMore(&section.keys);
    // Every key of this section lies before `at`; what follows moves down.
    IniKeyEntry added{IniNameHash(key), at};
    section.keys.insert(std::upper_bound(section.keys.begin(), section.keys.end(), added, KeyOrder),
                        added);
    ShiftSections(&doc->index, sectionIndex + 1, 1);
    InsertLines(doc, at, &add);
}

// A later line with the same key, if any, is the one read from then on.
void DeleteKey(IniDocument* doc, size_t sectionIndex, std::string_view key) {
    IniSectionEntry& section = doc->index.sections[sectionIndex];
    IniLineInfo info;
    auto found = FindKey(*doc, section, key, &info);
    if (found == section.keys.end()) return;
    size_t line = found->line;
    if (EraseJoiningAside(doc, line, line + 1)) return;
    section.keys.erase(found);
    for (IniKeyEntry& k : section.keys) {
        if (k.line > line) --k.line;
    }
    ShiftSections(&doc->index, sectionIndex + 1, kNone);
    EraseLines(doc, line, line + 1);
}

// A later section of the same name, if any, is the one read from then on.
void DeleteSection(IniDocument* doc, size_t sectionIndex) {
    size_t header = doc->index.sections[sectionIndex].header;
    size_t end = SectionEnd(*doc, sectionIndex);
    if (EraseJoiningAside(doc, header, end)) return;
    Sections& sections = doc->index.sections;
    sections.erase(sections.begin() + static_cast<std::ptrdiff_t>(sectionIndex));
    ShiftSections(&doc->index, sectionIndex, 0 - (end - header));
    EraseLines(doc, header, end);
}

// text without CR and LF: text itself when it has none (the usual case, which
// then allocates nothing), else a cleaned copy kept in storage.
std::string_view WithoutLineBreaks(const char* text, std::string* storage) {
    std::string_view view(text);
    if (view.find_first_of("\r\n") == std::string_view::npos) return view;
    *storage = WithoutLineBreaks(text);
    return *storage;
}

void SetString(IniDocument* doc, const char* sectionText, const char* keyText,
               const char* valueText) {
    std::string sectionClean;
    std::string_view section = IniTrim(WithoutLineBreaks(sectionText, &sectionClean));
    size_t found = FindSection(*doc, section);

    if (keyText == nullptr) {  // delete the whole section
        if (found != kNone) DeleteSection(doc, found);
        return;
    }
    std::string keyClean;
    std::string_view key = IniTrim(WithoutLineBreaks(keyText, &keyClean));

    if (valueText == nullptr) {  // delete the key
        if (found != kNone) DeleteKey(doc, found, key);
        return;
    }
    std::string valueClean;
    std::string_view value = IniTrimLeft(WithoutLineBreaks(valueText, &valueClean));

    if (found == kNone) {
        AddSection(doc, section, key, value);
        return;
    }
    const IniSectionEntry& entry = doc->index.sections[found];
    IniLineInfo info;
    auto line = FindKey(*doc, entry, key, &info);
    if (line != entry.keys.end()) {
        ReplaceValue(doc, line->line, info, value);
    } else {
        AddKey(doc, found, key, value);
    }
}

// The value of section/key as the profile functions return it (quotes
// stripped); false when the key is absent.
bool LookUp(const IniDocument& doc, const char* section, const char* key, std::string_view* value) {
    if (section == nullptr || key == nullptr) return false;
    size_t found = FindSection(doc, IniTrim(section));
    if (found == kNone) return false;
    const IniSectionEntry& entry = doc.index.sections[found];
    IniLineInfo info;
    auto line = FindKey(doc, entry, IniTrim(key), &info);
    if (line == entry.keys.end()) return false;
    *value = IniUnquote(info.value);
    return true;
}

}  // namespace

bool ParseIni(const std::string& text, IniDocument* doc) {
    try {
        IniDocument parsed;
        size_t i = 0;
        if (std::string_view(text).substr(0, kBom.size()) == kBom) {
            parsed.bom = true;
            i = kBom.size();
        }
        // Room for every line at once (CR LF counts twice): no regrowth.
        size_t most = 1 + static_cast<size_t>(std::count(text.begin(), text.end(), '\n') +
                                              std::count(text.begin(), text.end(), '\r'));
        parsed.lines.reserve(most);
        parsed.endings.reserve(most);
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

bool IniFindString(const IniDocument& doc, const char* section, const char* key,
                   std::string_view* value) {
    return LookUp(doc, section, key, value);
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
