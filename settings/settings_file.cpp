#include "settings/settings_file.h"

#include <cstdint>
#include <cstring>

#include "common/text.h"

namespace {

constexpr const char* kGeneral = "Generale";

// The names below end in one digit: the rule's index, the day of the week.
static_assert(kMaxRules <= 10 && kDaysPerWeek <= 10);

char Digit(int n) {
    return static_cast<char>('0' + n);
}

void RuleSectionName(int index, char (&section)[16]) {
    memcpy(section, "Rule", 4);
    section[4] = Digit(index);
    section[5] = '\0';
}

struct DayKeys {
    char hStart[16] = "hStart", mStart[16] = "mStart", hStop[16] = "hStop", mStop[16] = "mStop";
};

DayKeys KeysForDay(int day) {
    DayKeys keys;
    keys.hStart[6] = keys.mStart[6] = keys.hStop[5] = keys.mStop[5] = Digit(day);
    return keys;
}

// value in decimal, as "%d" writes it.
void WriteInt(const ProfileStore& store, const char* section, const char* key, int32_t value) {
    char text[16];
    FormatDecimal(value, text, sizeof text);
    store.writeString(store.ctx, section, key, text);
}

}  // namespace

void LoadSettings(const ProfileStore& store, Settings* s) {
    SetDefaultSettings(s);
    s->tDelay = store.getInt(store.ctx, kGeneral, "tDelay", kDefaultDelay);
    s->bDropAny = store.getInt(store.ctx, kGeneral, "bDropAny", kDefaultDropAny);
    store.getString(store.ctx, kGeneral, "szRasEntry", kDefaultRasEntry, s->szRasEntry,
                    sizeof s->szRasEntry);
    const int32_t count = ClampRuleCount(store.getInt(store.ctx, kGeneral, "nUserEntries", 0));
    s->ruleTable.nUserEntries = count;
    for (int i = 0; i < count; ++i) {
        char section[16];
        RuleSectionName(i, section);
        Rule& rule = s->ruleTable.rules[i];
        store.getString(store.ctx, section, "szName", "", rule.szName, sizeof rule.szName);
        for (int d = 0; d < kDaysPerWeek; ++d) {
            DayKeys keys = KeysForDay(d);
            DayWindow& w = rule.days[d];
            w.hStart = store.getInt(store.ctx, section, keys.hStart, 0);
            w.mStart = store.getInt(store.ctx, section, keys.mStart, 0);
            w.hStop = store.getInt(store.ctx, section, keys.hStop, 0);
            w.mStop = store.getInt(store.ctx, section, keys.mStop, 0);
        }
    }
}

bool SaveSettings(const ProfileStore& store, const Settings& s) {
    if (!store.beginSave(store.ctx)) return false;
    WriteInt(store, kGeneral, "tDelay", s.tDelay);
    WriteInt(store, kGeneral, "bDropAny", s.bDropAny);
    store.writeString(store.ctx, kGeneral, "szRasEntry", s.szRasEntry);
    const int32_t count = ClampRuleCount(s.ruleTable.nUserEntries);
    WriteInt(store, kGeneral, "nUserEntries", count);
    for (int i = 0; i < count; ++i) {
        char section[16];
        RuleSectionName(i, section);
        const Rule& rule = s.ruleTable.rules[i];
        store.writeString(store.ctx, section, "szName", rule.szName);
        for (int d = 0; d < kDaysPerWeek; ++d) {
            DayKeys keys = KeysForDay(d);
            const DayWindow& w = rule.days[d];
            WriteInt(store, section, keys.hStart, w.hStart);
            WriteInt(store, section, keys.mStart, w.mStart);
            WriteInt(store, section, keys.hStop, w.hStop);
            WriteInt(store, section, keys.mStop, w.mStop);
        }
    }
    return store.commitSave(store.ctx);
}
