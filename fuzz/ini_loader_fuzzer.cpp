// Any bytes as "Teleora.ini": LoadSettings, then SaveSettings and load again,
// round after round. The table never holds more than ten rules, every string
// is terminated inside its buffer and numbers never change. A string may
// change, because the reading rules trim blanks and strip one pair of quotes
// that a save writes back as given; each such change only shortens it (the
// new value lies inside the old), so the rounds settle. Once settled, saving
// the same settings again changes no byte of the file.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "settings/ini_store.h"
#include "settings/settings_file.h"

namespace {

std::string g_dir;
std::string g_path;

void RemoveScratch() {
    unlink(g_path.c_str());
    rmdir(g_dir.c_str());
}

// A private folder for the file, on a memory file system when there is one
// (every save flushes the file to the disk).
void MakeScratch() {
    if (!g_dir.empty()) return;
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/teleora-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) abort();
    g_dir = pattern;
    g_path = g_dir + "/" + kSettingsFileName;
    atexit(&RemoveScratch);
}

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

void Load(Settings* s) {
    IniFileStore ini;
    OpenIniFileStore(&ini, g_path.c_str());
    memset(s, 0x5a, sizeof *s);  // nothing may be left unset
    LoadSettings(MakeIniProfileStore(&ini), s);
    CheckShape(*s);
}

void Save(const Settings& s) {
    IniFileStore ini;
    OpenIniFileStore(&ini, g_path.c_str());
    Require(SaveSettings(MakeIniProfileStore(&ini), s), "a save into a writable folder works");
}

std::string FileBytes() {
    std::string text;
    Require(ReadFileText(g_path.c_str(), &text), "the saved file reads");
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MakeScratch();
    Require(ReplaceFileAtomically(g_path.c_str(),
                                  std::string(reinterpret_cast<const char*>(data), size)),
            "the input file is written");

    Settings prev;
    Load(&prev);
    // Every round that changes a string shortens it, so the strings' total
    // length bounds the number of rounds.
    for (int round = 0;; ++round) {
        Require(round <= kRasEntrySize + kMaxRules * kRuleNameSize, "the rounds settle");
        Save(prev);
        Settings next;
        Load(&next);
        Require(SameNumbers(prev, next), "numbers survive a save unchanged");
        bool changed = StringsShrinkOrStay(prev, next);
        prev = next;
        if (!changed) break;
    }
    const std::string settled = FileBytes();
    Save(prev);
    Require(FileBytes() == settled, "saving the same settings again changes no byte");
    return 0;
}
