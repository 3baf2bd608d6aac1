// The process-wide settings record, its rule table and the mode the user picked
// in the tray menu.
#pragma once

#include <cstdint>

constexpr int kMaxRules = 10;
constexpr int kDaysPerWeek = 7;
constexpr int kRasEntrySize = 1024;  // szRasEntry: at most 1023 characters
constexpr int kRuleNameSize = 64;    // szName: at most 63 characters

// Shown when the settings file names no entry at all (the key is absent).
constexpr const char* kDefaultRasEntry = "Connessione remota";
constexpr int32_t kDefaultDelay = 5000;  // milliseconds
constexpr int32_t kDefaultDropAny = 1;

// One day's connection period. Start equal to stop keeps the entry down all
// day; a start after the stop runs across midnight.
struct DayWindow {
    int32_t hStart;
    int32_t mStart;
    int32_t hStop;
    int32_t mStop;
};

// days[0] is Sunday, days[6] Saturday.
struct Rule {
    char szName[kRuleNameSize];
    DayWindow days[kDaysPerWeek];
};

// Slots 0 .. nUserEntries-1 are in use, in the user's order.
struct RuleTable {
    int32_t nUserEntries;
    Rule rules[kMaxRules];
};

struct Settings {
    int32_t tDelay;    // milliseconds between supervisor passes
    int32_t bDropAny;  // non-zero: hang up every other dial-up connection
    char szRasEntry[kRasEntrySize];
    RuleTable ruleTable;
};

// Mode is a plain number: 0, 1, 2, or ModeRuleBase + rule index.
using Mode = int32_t;
constexpr Mode ModeAlwaysUp = 0;
constexpr Mode ModeAlwaysDown = 1;
constexpr Mode ModeDisabled = 2;
constexpr Mode ModeRuleBase = 3;

// The settings of a program that found no settings file: 5000 ms, drop the
// other connections, the built-in entry name, no rules.
void SetDefaultSettings(Settings* settings);

// A rule count brought into 0 .. kMaxRules: what a table's nUserEntries
// (or the file's) means, however it was set.
constexpr int32_t ClampRuleCount(int32_t count) {
    return count < 0 ? 0 : (count > kMaxRules ? kMaxRules : count);
}

// Makes a fresh rule: the given name, every window 00:00-00:00.
void InitRule(Rule* rule, const char* name);
