// Any bytes as "Teleora.ini", kept in memory: LoadSettings, then SaveSettings
// and load again, round after round. The table never holds more than ten
// rules, every string is terminated inside its buffer and numbers never
// change. A string may change, because the reading rules trim blanks and strip
// one pair of quotes that a save writes back as given; each such change only
// shortens it (the new value lies inside the old), so the rounds settle. Once
// settled, saving the same settings again changes no byte of the file. After
// every save and delete, the index the document kept up through its writes is
// the one a fresh parse of its text builds. The file layer has a fuzz target
// of its own (ini_file_fuzzer.cpp). A UTF-16 file is read and saved as
// UTF-16; a value that is not UTF-8 reads as Windows-1252 on POSIX.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "fuzz/ini_memory_store.h"
#include "settings/ini_encoding.h"
#include "settings/settings_file.h"

namespace {

void Require(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "violated: %s\n", what);
    abort();
}

bool Terminated(const char* buffer, size_t size) {
    return memchr(buffer, '\0', size) != nullptr;
}

void CheckShape(const Settings& s) {
    Require(s.ruleTable.nUserEntries >= 0 && s.ruleTable.nUserEntries <= kMaxRules,
            "0 to 10 rules");
    Require(Terminated(s.szRasEntry, sizeof s.szRasEntry), "szRasEntry terminated");
    for (int i = 0; i < s.ruleTable.nUserEntries; ++i) {
        Require(Terminated(s.ruleTable.rules[i].szName, kRuleNameSize), "szName terminated");
    }
}

bool SameNumbers(const Settings& a, const Settings& b) {
    if (a.tDelay != b.tDelay || a.bDropAny != b.bDropAny ||
        a.ruleTable.nUserEntries != b.ruleTable.nUserEntries) {
        return false;
    }
    for (int i = 0; i < a.ruleTable.nUserEntries; ++i) {
        if (memcmp(a.ruleTable.rules[i].days, b.ruleTable.rules[i].days,
                   sizeof a.ruleTable.rules[i].days) != 0) {
            return false;
        }
    }
    return true;
}

// Each string of next is the one of prev, or a strictly shorter part of it.
// Returns whether any string changed.
bool StringsShrinkOrStay(const Settings& prev, const Settings& next) {
    bool changed = false;
    auto check = [&changed](const char* before, const char* after) {
        if (strcmp(before, after) == 0) return;
        changed = true;
        Require(strlen(after) < strlen(before) && strstr(before, after) != nullptr,
                "a string changed by a save only loses blanks or quotes around it");
    };
    check(prev.szRasEntry, next.szRasEntry);
    for (int i = 0; i < prev.ruleTable.nUserEntries; ++i) {
        check(prev.ruleTable.rules[i].szName, next.ruleTable.rules[i].szName);
    }
    return changed;
}

IniDocument Parse(const std::string& text) {
    IniDocument doc;
    Require(ParseIni(text, &doc), "the text parses");
    return doc;
}

// The document of a file, as the store reads it (UTF-16 decoded). UTF-8
// comes through UTF-16 and back unchanged.
IniDocument ParseFile(std::string text) {
    if (IsUtf8(text)) {
        std::string there = text;
        EncodeIniTextAsUtf16(&there);
        Require(DecodeIniText(&there) && there == text, "UTF-8 survives UTF-16 and back");
    }
    DecodeIniText(&text);
    return Parse(text);
}

void CheckIndex(const IniDocument& doc) {
    std::string text;
    Require(SerializeIni(doc, &text), "the document serializes");
    Require(doc.index == Parse(text).index, "the index kept by the writes is a fresh one");
}

void Load(IniDocument* doc, Settings* s) {
    IniFileStore ini;
    ini.doc = std::move(*doc);
    memset(s, 0x5a, sizeof *s);  // nothing may be left unset
    LoadSettings(MakeIniProfileStore(&ini), s);
    CheckShape(*s);
    *doc = std::move(ini.doc);
}

// Saves s into the text; returns the document the save left, as the store
// reads it from then on (SaveSettings does not read).
IniDocument Save(std::string* file, const Settings& s) {
    IniFileStore ini;
    ini.files = MemoryIniFiles(file);
    Require(SaveSettings(MakeIniProfileStore(&ini), s), "a save in memory works");
    return std::move(ini.doc);
}

// Deletions, which a save never makes: a key, then a whole section (a later
// one of the same name takes its place), then a key written again.
void CheckDeletions(IniDocument doc) {
    Require(IniSetString(&doc, "Generale", "szRasEntry", nullptr), "a key is deleted");
    Require(IniSetString(&doc, "Rule0", nullptr, nullptr), "a section is deleted");
    Require(IniSetString(&doc, "Rule0", "szName", "x"), "a key is written");
    CheckIndex(doc);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string file(reinterpret_cast<const char*>(data), size);
    IniDocument loaded = ParseFile(file);
    CheckDeletions(loaded);

    Settings prev;
    Load(&loaded, &prev);
    // Every round that changes a string shortens it, so the strings' total
    // length bounds the number of rounds.
    for (int round = 0;; ++round) {
        Require(round <= kRasEntrySize + kMaxRules * kRuleNameSize, "the rounds settle");
        const std::string before = file;
        IniDocument saved = Save(&file, prev);
        if (file == before) {
            // prev was loaded from this very text and saving it changed no
            // byte: settled. Another load of the same text would read the
            // same settings and another save would repeat this one, so the
            // checks after the loop hold already; loaded is this text parsed.
            Require(saved.index == loaded.index, "the index kept by the writes is a fresh one");
            return 0;
        }
        loaded = ParseFile(file);  // as the next load reads the file
        Require(saved.index == loaded.index, "the index kept by the writes is a fresh one");
        Settings next;
        Load(&loaded, &next);
        Require(SameNumbers(prev, next), "numbers survive a save unchanged");
        bool changed = StringsShrinkOrStay(prev, next);
        prev = next;
        if (!changed) break;
    }
    const std::string settled = file;
    IniDocument saved = Save(&file, prev);
    Require(file == settled, "saving the same settings again changes no byte");
    Require(saved.index == loaded.index, "the index kept by the writes is a fresh one");
    return 0;
}
