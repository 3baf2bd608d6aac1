#include "settings/shared_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "app/menu.h"
#include "common/text.h"
#include "common/wake_event.h"

namespace {

// Settings of "generation" g: the entry name and every rule name carry g, and
// the table holds g % 10 + 1 rules.
void MakeGeneration(int g, Settings* s) {
    SetDefaultSettings(s);
    char tag[32];
    snprintf(tag, sizeof tag, "gen%d", g);
    CopyBounded(s->szRasEntry, tag, sizeof s->szRasEntry);
    s->tDelay = g;
    s->ruleTable.nUserEntries = g % kMaxRules + 1;
    for (int i = 0; i < kMaxRules; ++i) {
        InitRule(&s->ruleTable.rules[i], tag);
        for (int d = 0; d < kDaysPerWeek; ++d)
            s->ruleTable.rules[i].days[d] = DayWindow{g, g, g, g};
    }
}

// What a pass must never see: a table mixed from two generations, or a rule
// mode that names a rule the table does not hold.
bool Consistent(const SettingsSnapshot& snap) {
    const Settings& s = snap.settings;
    for (int i = 0; i < kMaxRules; ++i) {
        if (strcmp(s.ruleTable.rules[i].szName, s.szRasEntry) != 0) return false;
        for (int d = 0; d < kDaysPerWeek; ++d) {
            if (s.ruleTable.rules[i].days[d].mStop != s.tDelay) return false;
        }
    }
    if (snap.mode >= ModeRuleBase && snap.mode - ModeRuleBase >= s.ruleTable.nUserEntries)
        return false;
    return true;
}

TEST(SharedState, StartsDisabledWithTheLoadedSettings) {
    SharedState state;
    Settings loaded;
    MakeGeneration(7, &loaded);
    InitSharedState(&state, loaded);
    SettingsSnapshot snap;
    TakeSnapshot(&state, &snap);
    EXPECT_EQ(snap.mode, ModeDisabled);
    EXPECT_EQ(memcmp(&snap.settings, &loaded, sizeof loaded), 0);
}

TEST(SharedState, DialogSettingsArriveTogetherWithDisabled) {
    SharedState state;
    Settings s;
    MakeGeneration(1, &s);
    InitSharedState(&state, s);
    PublishMode(&state, ModeRuleBase + 1);
    MakeGeneration(2, &s);
    PublishDialogSettings(&state, s);
    SettingsSnapshot snap;
    TakeSnapshot(&state, &snap);
    EXPECT_EQ(snap.mode, ModeDisabled);
    EXPECT_STREQ(snap.settings.szRasEntry, "gen2");
}

// The user-interface thread replaces the settings and picks the last rule of
// each new table thousands of times while a supervisor thread takes
// snapshots: no snapshot may be mixed, and none may pair an old rule number
// with a new, shorter table.
TEST(SharedState, SnapshotsAreNeverMixedUnderConcurrentChanges) {
    SharedState state;
    Settings s;
    MakeGeneration(0, &s);
    InitSharedState(&state, s);
    WakeEvent* wake = CreateWakeEvent(false, nullptr);
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::atomic<long> seen{0};
    std::thread reader([&] {
        SettingsSnapshot snap;
        while (!done.load()) {
            TakeSnapshot(&state, &snap);
            if (!Consistent(snap)) bad.fetch_add(1);
            seen.fetch_add(1);
        }
    });
    for (int g = 1; g <= 5000; ++g) {
        Settings next;
        MakeGeneration(g, &next);
        PublishDialogSettings(&state, next);
        SelectMode(&state, wake, ModeRuleBase + next.ruleTable.nUserEntries - 1);
    }
    while (seen.load() < 1000) std::this_thread::yield();
    done = true;
    reader.join();
    DestroyWakeEvent(wake);
    EXPECT_EQ(bad.load(), 0);
}

}  // namespace
