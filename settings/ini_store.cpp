#include "settings/ini_store.h"

#include <atomic>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "common/text.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace {

constexpr size_t kNone = static_cast<size_t>(-1);
constexpr std::string_view kBom = "\xEF\xBB\xBF";

// ---------------------------------------------------------------------------
// Reading lines

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view TrimLeft(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && IsBlank(s[i])) ++i;
    return s.substr(i);
}

std::string_view TrimRight(std::string_view s) {
    size_t n = s.size();
    while (n > 0 && IsBlank(s[n - 1])) --n;
    return s.substr(0, n);
}

std::string_view Trim(std::string_view s) {
    return TrimRight(TrimLeft(s));
}

// One matching pair of quotes around the whole value is not part of it.
std::string_view Unquote(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        return v.substr(1, v.size() - 2);
    }
    return v;
}

enum class LineKind { kBlank, kComment, kSection, kKey, kOther };

struct LineInfo {
    LineKind kind = LineKind::kOther;
    std::string_view name;   // section or key name, trimmed
    std::string_view value;  // a key's value as written, trimmed, quotes kept
    size_t valueStart = 0;   // where a key's value begins on the line
};

LineInfo ClassifyLine(std::string_view line) {
    LineInfo info;
    std::string_view text = TrimLeft(line);
    if (text.empty()) {
        info.kind = LineKind::kBlank;
        return info;
    }
    if (text.front() == ';') {
        info.kind = LineKind::kComment;
        return info;
    }
    if (text.front() == '[') {
        size_t close = text.find(']');
        if (close != std::string_view::npos) {
            info.kind = LineKind::kSection;
            info.name = Trim(text.substr(1, close - 1));
            return info;
        }
        // Without its ']' the line is no header; it is read like any other.
    }
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) return info;  // no '=': not a key
    info.kind = LineKind::kKey;
    info.name = Trim(line.substr(0, eq));
    size_t start = eq + 1;
    while (start < line.size() && IsBlank(line[start])) ++start;
    info.valueStart = start;
    info.value = TrimRight(line.substr(start));
    return info;
}

bool IsSectionHeader(const std::string& line) {
    return ClassifyLine(line).kind == LineKind::kSection;
}

// The header line of the first section with that name, or kNone. Lines
// before the first header belong to no section and are never matched.
size_t FindSection(const IniDocument& doc, std::string_view section) {
    for (size_t i = 0; i < doc.lines.size(); ++i) {
        LineInfo info = ClassifyLine(doc.lines[i]);
        if (info.kind == LineKind::kSection && EqualNoCase(info.name, section)) return i;
    }
    return kNone;
}

// The line after the last line of the section whose header is at `header`.
size_t SectionEnd(const IniDocument& doc, size_t header) {
    size_t i = header + 1;
    while (i < doc.lines.size() && !IsSectionHeader(doc.lines[i])) ++i;
    return i;
}

// The first line of the section that sets `key`, or kNone.
size_t FindKey(const IniDocument& doc, size_t header, size_t end, std::string_view key,
               LineInfo* found) {
    for (size_t i = header + 1; i < end; ++i) {
        LineInfo info = ClassifyLine(doc.lines[i]);
        if (info.kind == LineKind::kKey && EqualNoCase(info.name, key)) {
            *found = info;
            return i;
        }
    }
    return kNone;
}

// The value of section/key as the profile functions return it (quotes
// stripped); false when the key is absent.
bool LookUp(const IniDocument& doc, const char* section, const char* key, std::string_view* value) {
    if (section == nullptr || key == nullptr) return false;
    size_t header = FindSection(doc, Trim(section));
    if (header == kNone) return false;
    LineInfo info;
    if (FindKey(doc, header, SectionEnd(doc, header), Trim(key), &info) == kNone) return false;
    *value = Unquote(info.value);
    return true;
}

int DigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The number at the start of text: blanks, a sign, then decimal digits or
// 0x (hex), 0o (octal), 0b (binary) digits, up to the first other character.
// Unsigned arithmetic makes the result wrap modulo 2^32.
int32_t ParseLeadingInt(std::string_view text) {
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

// ---------------------------------------------------------------------------
// Writing lines

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
std::string DominantEnding(const IniDocument& doc) {
    size_t crlf = 0, lf = 0, cr = 0;
    for (const std::string& e : doc.endings) {
        if (e == "\r\n") ++crlf;
        if (e == "\n") ++lf;
        if (e == "\r") ++cr;
    }
    if (lf > crlf && lf >= cr) return "\n";
    if (cr > crlf && cr > lf) return "\r";
    return "\r\n";
}

// Inserts new lines at `at`. Only the last line of a file can lack its line
// end; when the new lines go after it, it gets one. Either every line goes in
// or, when memory runs out, none does.
void InsertLines(IniDocument* doc, size_t at, std::vector<std::string>* lines,
                 const std::string& ending) {
    std::vector<std::string> endings(lines->size(), ending);
    doc->lines.reserve(doc->lines.size() + lines->size());
    doc->endings.reserve(doc->endings.size() + lines->size());
    // From here on nothing allocates: the strings move and the room is there.
    if (at == doc->lines.size() && at > 0 && doc->endings[at - 1].empty()) {
        doc->endings[at - 1] = ending;  // short enough to need no allocation
    }
    doc->lines.insert(doc->lines.begin() + static_cast<std::ptrdiff_t>(at),
                      std::make_move_iterator(lines->begin()),
                      std::make_move_iterator(lines->end()));
    doc->endings.insert(doc->endings.begin() + static_cast<std::ptrdiff_t>(at),
                        std::make_move_iterator(endings.begin()),
                        std::make_move_iterator(endings.end()));
}

void EraseLines(IniDocument* doc, size_t from, size_t to) {
    doc->lines.erase(doc->lines.begin() + static_cast<std::ptrdiff_t>(from),
                     doc->lines.begin() + static_cast<std::ptrdiff_t>(to));
    doc->endings.erase(doc->endings.begin() + static_cast<std::ptrdiff_t>(from),
                       doc->endings.begin() + static_cast<std::ptrdiff_t>(to));
}

void SetString(IniDocument* doc, const char* sectionText, const char* keyText,
               const char* valueText) {
    std::string sectionClean = WithoutLineBreaks(sectionText);
    std::string_view section = Trim(sectionClean);
    size_t header = FindSection(*doc, section);

    if (keyText == nullptr) {  // delete the whole section
        if (header != kNone) EraseLines(doc, header, SectionEnd(*doc, header));
        return;
    }
    std::string keyClean = WithoutLineBreaks(keyText);
    std::string_view key = Trim(keyClean);

    if (valueText == nullptr) {  // delete the key
        if (header == kNone) return;
        LineInfo info;
        size_t line = FindKey(*doc, header, SectionEnd(*doc, header), key, &info);
        if (line != kNone) EraseLines(doc, line, line + 1);
        return;
    }
    std::string valueClean = WithoutLineBreaks(valueText);
    std::string_view value = TrimLeft(valueClean);

    std::string ending = DominantEnding(*doc);
    if (header == kNone) {  // a new section at the end of the file
        std::vector<std::string> lines;
        lines.push_back("[" + std::string(section) + "]");
        lines.push_back(std::string(key) + "=" + std::string(value));
        InsertLines(doc, doc->lines.size(), &lines, ending);
        return;
    }

    size_t end = SectionEnd(*doc, header);
    LineInfo info;
    size_t line = FindKey(*doc, header, end, key, &info);
    if (line != kNone) {
        // A value that already reads the same is left as it is written, so a
        // save that changes nothing leaves the file as it was.
        if (Unquote(info.value) == Unquote(TrimRight(value))) return;
        // Everything before the value (the key's spelling, the blanks around
        // '=') stays; only the value changes.
        std::string replaced = doc->lines[line].substr(0, info.valueStart);
        replaced.append(value);
        doc->lines[line] = std::move(replaced);
        return;
    }

    // A new key goes after the section's last line that is not blank (its
    // trailing comments included), so blank lines between sections stay
    // between sections.
    size_t at = header + 1;
    for (size_t i = header + 1; i < end; ++i) {
        if (ClassifyLine(doc->lines[i]).kind != LineKind::kBlank) at = i + 1;
    }
    std::vector<std::string> lines;
    lines.push_back(std::string(key) + "=" + std::string(value));
    InsertLines(doc, at, &lines, ending);
}

// ---------------------------------------------------------------------------
// Files

enum class ReadResult { kRead, kMissing, kFailed };

std::atomic<unsigned> g_tempCounter{0};

#ifdef _WIN32

ReadResult ReadFileOrMissing(const char* path, std::string* text) {
    text->clear();
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        return missing ? ReadResult::kMissing : ReadResult::kFailed;
    }
    ReadResult result = ReadResult::kRead;
    if (GetFileType(file) != FILE_TYPE_DISK) result = ReadResult::kFailed;
    char chunk[65536];
    while (result == ReadResult::kRead) {
        DWORD got = 0;
        if (!ReadFile(file, chunk, sizeof chunk, &got, nullptr)) {
            result = ReadResult::kFailed;
            break;
        }
        if (got == 0) break;
        text->append(chunk, got);
    }
    CloseHandle(file);
    if (result != ReadResult::kRead) text->clear();
    return result;
}

bool WriteTempAndReplace(const char* path, const std::string& text, std::string* temp) {
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
        *temp = std::string(path) + ".tmp" + std::to_string(GetCurrentProcessId()) + "." +
                std::to_string(g_tempCounter.fetch_add(1));
        file = CreateFileA(temp->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
            temp->clear();  // nothing was created
            return false;
        }
    }
    if (file == INVALID_HANDLE_VALUE) {
        temp->clear();
        return false;
    }
    bool ok = true;
    size_t done = 0;
    while (ok && done < text.size()) {
        size_t left = text.size() - done;
        DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
        DWORD wrote = 0;
        if (!WriteFile(file, text.data() + done, chunk, &wrote, nullptr) || wrote == 0) {
            ok = false;
        }
        done += wrote;
    }
    if (ok && !FlushFileBuffers(file)) ok = false;
    if (!CloseHandle(file)) ok = false;
    if (ok &&
        !MoveFileExA(temp->c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ok = false;
    }
    if (ok) temp->clear();  // it is the settings file now
    return ok;
}

void RemoveTemp(const std::string& temp) {
    DeleteFileA(temp.c_str());
}

#else

ReadResult ReadFileOrMissing(const char* path, std::string* text) {
    text->clear();
    // O_NONBLOCK: opening a FIFO must not hang; it is refused below.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno == ENOENT ? ReadResult::kMissing : ReadResult::kFailed;
    ReadResult result = ReadResult::kRead;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) result = ReadResult::kFailed;
    char chunk[65536];
    while (result == ReadResult::kRead) {
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            result = ReadResult::kFailed;
            break;
        }
        if (got == 0) break;
        text->append(chunk, static_cast<size_t>(got));
    }
    close(fd);
    if (result != ReadResult::kRead) text->clear();
    return result;
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;  // ENOSPC, EIO, ...
        done += static_cast<size_t>(wrote);
    }
    return true;
}

// Makes the rename itself durable. A failure here is not reported: the new
// file is in place either way.
void SyncFolderOf(const char* path) {
    const char* slash = strrchr(path, '/');
    std::string folder = slash == nullptr ? "." : std::string(path, slash - path);
    if (folder.empty()) folder = "/";
    int fd = open(folder.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

bool WriteTempAndReplace(const char* path, const std::string& text, std::string* temp) {
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        *temp = std::string(path) + ".tmp" + std::to_string(getpid()) + "." +
                std::to_string(g_tempCounter.fetch_add(1));
        fd = open(temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            temp->clear();  // nothing was created
            return false;
        }
    }
    if (fd < 0) {
        temp->clear();
        return false;
    }
    // The settings file keeps the permission bits it had.
    struct stat st;
    if (stat(path, &st) == 0 && S_ISREG(st.st_mode)) fchmod(fd, st.st_mode & 07777);
    bool ok = WriteAll(fd, text) && fsync(fd) == 0;
    if (close(fd) != 0) ok = false;
    if (ok && rename(temp->c_str(), path) != 0) ok = false;
    if (!ok) return false;
    temp->clear();  // it is the settings file now
    SyncFolderOf(path);
    return true;
}

void RemoveTemp(const std::string& temp) {
    unlink(temp.c_str());
}

#endif

// ---------------------------------------------------------------------------
// The ProfileStore over an IniFileStore

IniFileStore* Self(void* ctx) {
    return static_cast<IniFileStore*>(ctx);
}

int32_t StoreGetInt(void* ctx, const char* section, const char* key, int32_t defaultValue) {
    return IniGetInt(Self(ctx)->doc, section, key, defaultValue);
}

void StoreGetString(void* ctx, const char* section, const char* key, const char* defaultValue,
                    char* buffer, size_t size) {
    IniGetString(Self(ctx)->doc, section, key, defaultValue, buffer, size);
}

// The save starts from the file as it is now, so that what others wrote since
// it was opened is kept. A file that exists but cannot be read is not
// overwritten.
bool StoreBeginSave(void* ctx) {
    IniFileStore* store = Self(ctx);
    store->saving = false;
    store->writeFailed = false;
    store->pending = IniDocument{};
    std::string text;
    ReadResult read = ReadResult::kFailed;
    try {
        read = ReadFileOrMissing(store->path.c_str(), &text);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (read == ReadResult::kFailed) return false;
    if (read == ReadResult::kRead && !ParseIni(text, &store->pending)) return false;
    store->saving = true;
    return true;
}

void StoreWriteString(void* ctx, const char* section, const char* key, const char* value) {
    IniFileStore* store = Self(ctx);
    if (!store->saving) return;
    if (!IniSetString(&store->pending, section, key, value)) store->writeFailed = true;
}

bool StoreCommitSave(void* ctx) {
    IniFileStore* store = Self(ctx);
    if (!store->saving) return false;
    store->saving = false;
    std::string text;
    bool ok = !store->writeFailed && SerializeIni(store->pending, &text) &&
              ReplaceFileAtomically(store->path.c_str(), text);
    if (ok) store->doc = std::move(store->pending);
    store->pending = IniDocument{};
    return ok;
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
    return ParseLeadingInt(value);
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
    // The changes are built aside and put in without allocating, so running
    // out of memory leaves the document as it was.
    try {
        SetString(doc, section, key, value);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool ReadFileText(const char* path, std::string* text) {
    text->clear();
    if (path == nullptr) return false;
    try {
        return ReadFileOrMissing(path, text) == ReadResult::kRead;
    } catch (const std::bad_alloc&) {
        text->clear();
        return false;
    }
}

bool ReplaceFileAtomically(const char* path, const std::string& text) {
    if (path == nullptr || *path == '\0') return false;
    std::string temp;
    bool ok = false;
    try {
        ok = WriteTempAndReplace(path, text, &temp);
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    if (!ok && !temp.empty()) RemoveTemp(temp);
    return ok;
}

void OpenIniFileStore(IniFileStore* store, const char* path) {
    store->doc = IniDocument{};
    store->pending = IniDocument{};
    store->saving = false;
    store->writeFailed = false;
    try {
        store->path = path == nullptr ? "" : path;
        std::string text;
        if (ReadFileOrMissing(store->path.c_str(), &text) == ReadResult::kRead) {
            ParseIni(text, &store->doc);
        }
    } catch (const std::bad_alloc&) {
        store->doc = IniDocument{};  // read as an empty file: the defaults
    }
}

ProfileStore MakeIniProfileStore(IniFileStore* store) {
    return ProfileStore{store,           &StoreGetInt,      &StoreGetString,
                        &StoreBeginSave, &StoreWriteString, &StoreCommitSave};
}
