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

bool IsBreak(char c) {
    return c == '\r' || c == '\n';
}

// Where the lines begin: after a UTF-8 byte order mark.
size_t BodyStart(const std::string& text) {
    return std::string_view(text).substr(0, kBom.size()) == kBom ? kBom.size() : 0;
}

// One line of the text: its characters [start, end), its line end [end, next).
struct Line {
    size_t start, end, next;
    std::string_view Content(const std::string& text) const {
        return std::string_view(text.data() + start, end - start);
    }
};

Line LineAt(const std::string& text, size_t start) {
    Line line{start, start, start};
    const char* data = text.data();
    const size_t size = text.size();
    size_t end = start;
    while (end < size && !IsBreak(data[end])) ++end;
    line.end = end;
    line.next = end;
    if (end < size)
        line.next += (data[end] == '\r' && end + 1 < size && data[end + 1] == '\n') ? 2 : 1;
    return line;
}

bool IsBlankLine(const std::string& text, const Line& line) {
    return IniTrimLeft(line.Content(text)).empty();
}

// ---------------------------------------------------------------------------
// Line ends

// Counts the line ends that start in [from, to); a CR at to - 1 followed by
// LF counts as CR LF.
IniIndex CountEndings(const std::string& text, size_t from, size_t to) {
    IniIndex counts;
    for (size_t i = from; i < to; ++i) {
        if (text[i] == '\n') {
            ++counts.lf;
        } else if (text[i] == '\r') {
            if (i + 1 < text.size() && text[i + 1] == '\n') {
                ++counts.crlf;
                ++i;
            } else {
                ++counts.cr;
            }
        }
    }
    return counts;
}

void AddCounts(IniIndex* index, const IniIndex& counts, bool add) {
    size_t sign = add ? 1 : kNone;  // modulo 2^N, kNone is minus one
    index->crlf += sign * counts.crlf;
    index->lf += sign * counts.lf;
    index->cr += sign * counts.cr;
}

// The line end used most in the file; CR LF for a file without any.
const char* DominantEnding(const IniIndex& index) {
    if (index.lf > index.crlf && index.lf >= index.cr) return "\n";
    if (index.cr > index.crlf && index.cr > index.lf) return "\r";
    return "\r\n";
}

// ---------------------------------------------------------------------------
// Finding sections

// The start of the first section header at or after from (a line start) that
// has its '[' before limit, or kNone. Only a '[' that begins a line (after
// blanks) can open one, so the search jumps from '[' to '['.
// Also gives the header's line and name when asked.
size_t NextHeader(const std::string& text, size_t from, size_t limit = kNone,
                  Line* header = nullptr, std::string_view* name = nullptr) {
    const char* data = text.data();
    limit = std::min(limit, text.size());
    for (size_t at = from; at < limit;) {
        const void* found = memchr(data + at, '[', limit - at);
        if (found == nullptr) return kNone;
        const size_t bracket = static_cast<size_t>(static_cast<const char*>(found) - data);
        size_t start = bracket;
        while (start > from && (data[start - 1] == ' ' || data[start - 1] == '\t')) --start;
        if (start != from && !IsBreak(data[start - 1])) {  // inside a line
            at = bracket + 1;
            continue;
        }
        Line line = LineAt(text, start);
        IniLineInfo info = ClassifyIniLine(line.Content(text));
        if (info.kind == IniLineKind::kSection) {
            if (header != nullptr) *header = line;
            if (name != nullptr) *name = info.name;
            return start;
        }
        at = line.next;
    }
    return kNone;
}

std::string_view HeaderName(const std::string& text, size_t header) {
    return ClassifyIniLine(LineAt(text, header).Content(text)).name;
}

// The start of the line that holds the byte at.
size_t LineStartOf(const std::string& text, size_t at) {
    const size_t body = BodyStart(text);
    while (at > body && !IsBreak(text[at - 1])) --at;
    return at;
}

// The index's starts are kept sorted by hash, then by start.
bool Before(const IniSectionStart& a, const IniSectionStart& b) {
    return a.hash != b.hash ? a.hash < b.hash : a.start < b.start;
}

constexpr size_t kMaxShifts = 16;

// Where a start kept in the index lies in the text now.
size_t Resolve(const IniIndex& index, size_t start) {
    for (const IniShift& shift : index.shifts) {
        if (start >= shift.at) start += static_cast<size_t>(shift.delta);
    }
    return start;
}

void ApplyShifts(IniIndex* index) {
    if (index->shifts.empty()) return;
    for (IniSectionStart& section : index->sections) section.start = Resolve(*index, section.start);
    index->shifts.clear();
}

// The index's entry for the first section of that name, or nullptr.
const IniSectionStart* FindEntry(const IniDocument& doc, std::string_view name, uint64_t hash) {
    const std::vector<IniSectionStart>& sections = doc.index.sections;
    auto at = std::lower_bound(sections.begin(), sections.end(), IniSectionStart{0, hash}, Before);
    for (; at != sections.end() && at->hash == hash; ++at) {
        if (EqualNoCase(HeaderName(doc.text, Resolve(doc.index, at->start)), name)) return &*at;
    }
    return nullptr;
}

// The first section of that name (only it is ever read or written): the
// start of its header, or kNone.
size_t FindSection(const IniDocument& doc, std::string_view name) {
    const IniSectionStart* entry = FindEntry(doc, name, IniNameHash(name));
    return entry == nullptr ? kNone : Resolve(doc.index, entry->start);
}

// Adds a header found at start to the index (applied shifts only), unless
// its name is indexed at an earlier start already. Room for it is reserved.
void IndexHeader(IniDocument* doc, size_t start) {
    IniIndex& index = doc->index;
    std::string_view name = HeaderName(doc->text, start);
    const uint64_t hash = IniNameHash(name);
    if (IniSectionStart* entry = const_cast<IniSectionStart*>(FindEntry(*doc, name, hash))) {
        if (entry->start == start) return;
        index.repeats = true;
        if (entry->start < start) return;
        *entry = IniSectionStart{start, hash};  // the same hash: the order stays
        return;
    }
    IniSectionStart added{start, hash};
    index.sections.insert(
        std::upper_bound(index.sections.begin(), index.sections.end(), added, Before), added);
}

// Reads every header of the text into the index. A header whose name the
// index holds already is only counted as a repeat; new names are gathered a
// batch at a time and merged in, keeping only the first of each, so a file of
// many headers of few names needs a batch of room, not one entry per header.
void BuildSectionIndex(const std::string& text, IniIndex* index) {
    std::vector<IniSectionStart>& sections = index->sections;
    size_t merged = 0;
    size_t lastStart = kNone;
    std::string_view lastName;
    // Whether a merged entry before end has that name (and hash).
    auto known = [&](size_t end, std::string_view name, uint64_t hash) {
        auto at = std::lower_bound(sections.begin(), sections.begin() + static_cast<ptrdiff_t>(end),
                                   IniSectionStart{0, hash}, Before);
        for (; at != sections.begin() + static_cast<ptrdiff_t>(end) && at->hash == hash; ++at) {
            if (at->start != lastStart) {  // a file of one name's headers reads it once
                lastStart = at->start;
                lastName = HeaderName(text, at->start);
            }
            if (EqualNoCase(lastName, name)) return true;
        }
        return false;
    };
    auto merge = [&] {
        std::sort(sections.begin() + static_cast<ptrdiff_t>(merged), sections.end(), Before);
        std::inplace_merge(sections.begin(), sections.begin() + static_cast<ptrdiff_t>(merged),
                           sections.end(), Before);
        size_t kept = 0;
        for (size_t i = 0; i < sections.size(); ++i) {
            const bool sameHash = kept > 0 && sections[kept - 1].hash == sections[i].hash;
            if (sameHash && known(kept, HeaderName(text, sections[i].start), sections[i].hash)) {
                index->repeats = true;
            } else {
                sections[kept++] = sections[i];
            }
        }
        sections.resize(kept);
        merged = kept;
    };
    Line header{};
    std::string_view name;
    for (size_t at = NextHeader(text, BodyStart(text), kNone, &header, &name); at != kNone;) {
        const uint64_t hash = IniNameHash(name);
        if (known(merged, name, hash)) {
            index->repeats = true;
        } else {
            sections.push_back({at, hash});
            if (sections.size() - merged >= std::max<size_t>(1024, merged)) merge();
        }
        at = NextHeader(text, header.next, kNone, &header, &name);
    }
    merge();
    index->shifts.reserve(kMaxShifts);
}

// ---------------------------------------------------------------------------
// Changing the text

// Replaces the bytes [from, to) with bytes, keeping the index in step: only
// the line ends around the change can change (a CR before it may pair with
// an LF after it, or stop pairing), and the sections after it move. A change
// that touches no header line (nearly every write) only queues its shift; one
// that removes or makes a header reads the lines it touched again. A buffer
// too small is grown by an eighth at least, not doubled, and only then, so a
// write into a large file never holds much more than it. Throws
// std::bad_alloc with doc unchanged.
void Replace(IniDocument* doc, size_t from, size_t to, std::string_view bytes) {
    std::string& text = doc->text;
    IniIndex& index = doc->index;
    const size_t lineStart = LineStartOf(text, from);
    const size_t oldLimit = LineAt(text, to).end;
    size_t gone = NextHeader(text, lineStart, oldLimit);
    if (gone < from) gone = NextHeader(text, LineAt(text, gone).next, oldLimit);
    const bool headerGoes = gone < to;
    const bool headerMayCome = bytes.find_first_of("[]") != std::string_view::npos;
    std::string goneName;  // the name of a header the change removes
    if (headerGoes) {
        goneName = HeaderName(text, gone);
        ApplyShifts(&index);
    }
    if (headerGoes || headerMayCome) {
        index.sections.reserve(index.sections.size() + 2 +
                               static_cast<size_t>(std::count(bytes.begin(), bytes.end(), '[')));
    }
    index.shifts.reserve(kMaxShifts);
    if (index.shifts.size() == kMaxShifts) ApplyShifts(&index);

    size_t left = from > 0 && text[from - 1] == '\r' ? from - 1 : from;
    size_t right = to < text.size() && text[to] == '\n' ? 1 : 0;
    IniIndex before = CountEndings(text, left, to + right);
    const size_t size = text.size() - (to - from) + bytes.size();
    if (size > text.capacity()) {
        std::string grown;
        grown.reserve(size + size / 8 + 64);
        grown.append(text, 0, from);
        grown.append(bytes);
        grown.append(text, to, std::string::npos);
        text.swap(grown);
    } else {
        text.replace(from, to - from, bytes);
    }
    IniIndex after = CountEndings(text, left, from + bytes.size() + right);
    AddCounts(&index, before, false);
    AddCounts(&index, after, true);

    const ptrdiff_t delta =
        static_cast<ptrdiff_t>(bytes.size()) - static_cast<ptrdiff_t>(to - from);
    if (!headerGoes) {
        if (delta != 0) index.shifts.push_back({to, delta});
    } else {
        // Sections in the removed lines leave the index; the others move.
        auto& sections = index.sections;
        size_t kept = 0;
        for (size_t i = 0; i < sections.size(); ++i) {
            if (sections[i].start >= from && sections[i].start < to) continue;
            if (sections[i].start >= to) sections[i].start += static_cast<size_t>(delta);
            sections[kept++] = sections[i];
        }
        const bool indexedGone = kept < sections.size();
        sections.resize(kept);
        // A later section of the removed name, if any, is the first now.
        if (indexedGone && index.repeats) {
            for (size_t at = NextHeader(text, lineStart); at != kNone;
                 at = NextHeader(text, LineAt(text, at).next)) {
                if (EqualNoCase(HeaderName(text, at), goneName)) {
                    IndexHeader(doc, at);
                    break;
                }
            }
        }
    }
    if (headerMayCome) {
        const size_t end = from + bytes.size();
        ApplyShifts(&index);
        for (size_t at = NextHeader(text, lineStart, LineAt(text, end).end); at < end;
             at = NextHeader(text, LineAt(text, at).next, LineAt(text, end).end)) {
            IndexHeader(doc, at);
        }
    }
}

// ---------------------------------------------------------------------------
// Finding keys

// The line after the section's last line: the next header or the end.
size_t SectionEnd(const std::string& text, size_t header) {
    size_t next = NextHeader(text, LineAt(text, header).next);
    return next == kNone ? text.size() : next;
}

// The first line of the section that sets the key; *line is how it reads.
// Returns false when there is none.
bool FindKey(const std::string& text, size_t header, std::string_view name, Line* found,
             IniLineInfo* info) {
    const size_t end = SectionEnd(text, header);
    for (size_t at = LineAt(text, header).next; at < end;) {
        Line line = LineAt(text, at);
        IniLineInfo read = ClassifyIniLine(line.Content(text));
        if (read.kind == IniLineKind::kKey && EqualNoCase(read.name, name)) {
            *found = line;
            *info = read;
            return true;
        }
        at = line.next;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Changing lines

// Whether the last line of the text lacks its line end (only the last line
// can); such a line gets one when lines are added after it.
bool LastLineOpen(const std::string& text) {
    return text.size() > BodyStart(text) && !IsBreak(text.back());
}

// info is how the key's line reads now.
void ReplaceValue(IniDocument* doc, const Line& line, const IniLineInfo& info,
                  std::string_view value) {
    // A value that already reads the same is left as it is written, so a
    // save that changes nothing leaves the file as it was.
    if (IniUnquote(info.value) == IniUnquote(IniTrimRight(value))) return;
    // Everything before the value (the key's spelling, the blanks around
    // '=') stays; only the value changes.
    Replace(doc, line.start + info.valueStart, line.end, value);
}

// A new section at the end of the file.
void AddSection(IniDocument* doc, std::string_view section, std::string_view key,
                std::string_view value) {
    const std::string_view ending = DominantEnding(doc->index);
    std::string add;
    if (LastLineOpen(doc->text)) add.append(ending);
    add.append("[").append(section).append("]").append(ending);
    add.append(key).append("=").append(value).append(ending);
    Replace(doc, doc->text.size(), doc->text.size(), add);
}

// A new key goes after the section's last line that is not blank (its
// trailing comments included), so blank lines between sections stay between
// sections.
void AddKey(IniDocument* doc, size_t header, std::string_view key, std::string_view value) {
    const std::string& text = doc->text;
    const size_t end = SectionEnd(text, header);
    size_t at = LineAt(text, header).next;
    for (size_t i = at; i < end;) {
        Line line = LineAt(text, i);
        if (!IsBlankLine(text, line)) at = line.next;
        i = line.next;
    }
    const std::string_view ending = DominantEnding(doc->index);
    std::string add;
    if (at == text.size() && LastLineOpen(text)) add.append(ending);
    add.append(key).append("=").append(value).append(ending);
    Replace(doc, at, at, add);
}

// text without CR and LF: text itself when it has none (the usual case, which
// then allocates nothing), else a cleaned copy kept in storage.
std::string_view WithoutLineBreaks(const char* text, std::string* storage) {
    std::string_view view(text);
    if (view.find_first_of("\r\n") == std::string_view::npos) return view;
    for (char c : view) {
        if (!IsBreak(c)) *storage += c;
    }
    return *storage;
}

// Each change allocates everything it needs before it changes the document,
// so running out of memory leaves it as it was. A later section or key of
// the same name, if any, is the one read after a deletion.
void SetString(IniDocument* doc, const char* sectionText, const char* keyText,
               const char* valueText) {
    std::string sectionClean;
    std::string_view section = IniTrim(WithoutLineBreaks(sectionText, &sectionClean));
    size_t header = FindSection(*doc, section);

    if (keyText == nullptr) {  // delete the whole section
        if (header != kNone) Replace(doc, header, SectionEnd(doc->text, header), {});
        return;
    }
    std::string keyClean;
    std::string_view key = IniTrim(WithoutLineBreaks(keyText, &keyClean));
    Line line{};
    IniLineInfo info;
    bool found = header != kNone && FindKey(doc->text, header, key, &line, &info);

    if (valueText == nullptr) {  // delete the key
        if (found) Replace(doc, line.start, line.next, {});
        return;
    }
    std::string valueClean;
    std::string_view value = IniTrimLeft(WithoutLineBreaks(valueText, &valueClean));

    if (header == kNone) {
        AddSection(doc, section, key, value);
    } else if (found) {
        ReplaceValue(doc, line, info, value);
    } else {
        AddKey(doc, header, key, value);
    }
}

// The value of section/key as the profile functions return it (quotes
// stripped); false when the key is absent.
bool LookUp(const IniDocument& doc, const char* section, const char* key, std::string_view* value) {
    if (section == nullptr || key == nullptr) return false;
    size_t header = FindSection(doc, IniTrim(section));
    if (header == kNone) return false;
    Line line{};
    IniLineInfo info;
    if (!FindKey(doc.text, header, IniTrim(key), &line, &info)) return false;
    *value = IniUnquote(info.value);
    return true;
}

}  // namespace

bool ParseIni(std::string text, IniDocument* doc) {
    try {
        IniDocument parsed;
        parsed.index = CountEndings(text, BodyStart(text), text.size());
        BuildSectionIndex(text, &parsed.index);
        parsed.text = std::move(text);
        *doc = std::move(parsed);
        return true;
    } catch (const std::bad_alloc&) {
        *doc = IniDocument{};
        return false;
    }
}

bool IniIndex::operator==(const IniIndex& other) const {
    if (crlf != other.crlf || lf != other.lf || cr != other.cr) return false;
    auto resolved = [](const IniIndex& index) {
        std::vector<IniSectionStart> starts = index.sections;
        for (IniSectionStart& s : starts) s.start = Resolve(index, s.start);
        std::sort(starts.begin(), starts.end(), Before);
        return starts;
    };
    std::vector<IniSectionStart> mine = resolved(*this), theirs = resolved(other);
    return std::equal(mine.begin(), mine.end(), theirs.begin(), theirs.end(),
                      [](const IniSectionStart& a, const IniSectionStart& b) {
                          return a.start == b.start && a.hash == b.hash;
                      });
}

bool SerializeIni(const IniDocument& doc, std::string* text) {
    try {
        *text = doc.text;
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
