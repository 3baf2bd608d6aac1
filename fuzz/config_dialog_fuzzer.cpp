// Random sessions of the configuration dialog against the fake view, which
// behaves like the Windows controls (a text set by the program reports its
// change at once; the list keeps its own selection), and the fake service's
// phonebook (names that may fill their field without a terminator, a count
// that may be wrong). Live settings, phonebook and the user's actions come
// from the input. After every action: 0 to 10 rules, the
// selection none or a rule in use, the list showing exactly the rules' names;
// after a time edit the window holds an hour 0-23 and a minute 0-59 and the
// field shows it; nothing but a valid OK changes the live settings or the
// mode, and a valid OK stores exactly what the dialog showed.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "app/dialog/config_dialog.h"
#include "settings/shared_state.h"
#include "support/fake_dialog_view.h"
#include "support/fake_dialup.h"

namespace {

void Require(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "violated: %s\n", what);
    abort();
}

void FillText(FuzzedDataProvider* in, char* buffer, size_t size) {
    std::string text = in->ConsumeRandomLengthString(size + 8);
    memset(buffer, 'z', size);
    memcpy(buffer, text.data(), text.size() < size ? text.size() : size);
    // Sometimes the file's value fills the buffer without a terminator.
    if (text.size() < size) buffer[text.size()] = '\0';
}

void InputSettings(FuzzedDataProvider* in, Settings* s) {
    SetDefaultSettings(s);
    s->tDelay = in->ConsumeIntegral<int32_t>();
    s->bDropAny = in->ConsumeIntegralInRange<int32_t>(-1, 2);
    FillText(in, s->szRasEntry, sizeof s->szRasEntry);
    s->szRasEntry[sizeof s->szRasEntry - 1] = '\0';
    s->ruleTable.nUserEntries = in->ConsumeIntegralInRange<int32_t>(-2, kMaxRules + 2);
    for (Rule& rule : s->ruleTable.rules) {
        FillText(in, rule.szName, sizeof rule.szName);
        for (DayWindow& w : rule.days) {
            bool wild = in->ConsumeBool();
            w.hStart = wild ? in->ConsumeIntegral<int32_t>() : in->ConsumeIntegralInRange(0, 23);
            w.mStart = wild ? in->ConsumeIntegral<int32_t>() : in->ConsumeIntegralInRange(0, 59);
            w.hStop = wild ? in->ConsumeIntegral<int32_t>() : in->ConsumeIntegralInRange(0, 23);
            w.mStop = wild ? in->ConsumeIntegral<int32_t>() : in->ConsumeIntegralInRange(0, 59);
        }
    }
}

bool SameSettings(const Settings& a, const Settings& b) {
    return memcmp(&a, &b, sizeof a) == 0;
}

void CheckInvariants(const ConfigDialog& dialog, const FakeDialogView& view) {
    const RuleEditBuffer& edit = dialog.edit;
    Require(edit.count >= 0 && edit.count <= kMaxRules, "0 to 10 rules");
    Require(edit.selection == kNoSelection || (edit.selection >= 0 && edit.selection < edit.count),
            "selection none or a rule in use");
    Require(view.listSel == edit.selection, "the list selects the selected rule");
    Require(!edit.updating, "the updating flag is cleared after every action");
    Require(static_cast<int>(view.list.size()) == edit.count, "one line per rule");
    for (int i = 0; i < edit.count; ++i) {
        Require(memchr(edit.rules[i].szName, '\0', kRuleNameSize) != nullptr, "names terminated");
        Require(view.list[i] == edit.rules[i].szName, "each line shows its rule's name");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);

    Settings initial;
    InputSettings(&in, &initial);
    static SharedState shared;  // holds a mutex: one for the whole run
    InitSharedState(&shared, initial);
    Mode mode = in.ConsumeIntegralInRange<Mode>(0, ModeRuleBase + kMaxRules);
    PublishMode(&shared, mode);

    FakeDialUp book;
    book.record = false;
    book.enumEntriesResult = in.ConsumeBool() ? 0 : in.ConsumeIntegral<int32_t>();
    int names = in.ConsumeIntegralInRange(0, 8);
    for (int i = 0; i < names; ++i) book.phonebook.push_back(in.ConsumeRandomLengthString(300));
    // The count may disagree with the names filled in, or exceed the room.
    if (!in.ConsumeBool())
        book.entriesCount = in.ConsumeIntegralInRange(-2, kMaxPhonebookEntries + 2);

    ConfigDialog dialog{};
    FakeDialogView view;
    Settings live;
    CopyLiveSettings(&shared, &live);
    auto open = [&] {
        view = FakeDialogView{};
        view.dialog = &dialog;
        dialog.shared = &shared;
        dialog.service = &book.service;
        dialog.view = view.Bind(in.ConsumeBool());
        OnDialogInit(&dialog);
        CheckInvariants(dialog, view);
        Require(view.listSel == kNoSelection, "the dialog opens with no rule selected");
    };
    open();

    while (in.remaining_bytes() > 0) {
        if (!view.endResults.empty()) open();
        int before = dialog.edit.selection;
        switch (in.ConsumeIntegralInRange(0, 9)) {
            case 0: {  // the user clicks a line, or below the last one
                view.Click(in.ConsumeIntegralInRange(-1, static_cast<int>(view.list.size()) - 1));
                break;
            }
            case 1: {  // the user types into a time field
                int control = kIdStartFirst + in.ConsumeIntegralInRange(0, 2 * kDaysPerWeek - 1);
                std::string typed = in.ConsumeRandomLengthString(80);
                view.Paste(control, typed);
                if (before != kNoSelection) {
                    const Rule& rule = dialog.edit.rules[before];
                    bool start = control < kIdStopFirst;
                    const DayWindow& w =
                        rule.days[control - (start ? kIdStartFirst : kIdStopFirst)];
                    int32_t h = start ? w.hStart : w.hStop;
                    int32_t m = start ? w.mStart : w.mStop;
                    Require(h >= 0 && h <= 23 && m >= 0 && m <= 59, "an edited window is in range");
                    char shown[kFieldTextSize];
                    FormatTimeField(h, m, shown, sizeof shown);
                    Require(view.Text(control) == shown, "the field shows the stored time");
                } else {
                    Require(view.Text(control) == typed, "without a rule the text stays as typed");
                }
                break;
            }
            case 2:  // the user types a name
                view.Paste(kIdName, in.ConsumeRandomLengthString(100));
                break;
            case 3: {
                int count = dialog.edit.count;
                int beeps = view.beeps;
                OnAddRule(&dialog);
                Require(
                    count == kMaxRules ? view.beeps == beeps + 1 : dialog.edit.count == count + 1,
                    "add grows the table or beeps when it is full");
                Require(dialog.edit.selection == before, "add keeps the selection");
                break;
            }
            case 4:
                OnRemoveRule(&dialog);
                break;
            case 5:
                view.Paste(kIdDelay, in.ConsumeRandomLengthString(20));
                break;
            case 6:
                view.dropAnyChecked = !view.dropAnyChecked;
                break;
            case 7:
                view.Paste(kIdEntry, in.ConsumeRandomLengthString(1100));
                break;
            case 8: {
                size_t errors = view.errors.size();
                Settings expected = live;
                RuleEditBuffer edit = dialog.edit;
                bool ended = OnOk(&dialog);
                Settings now;
                CopyLiveSettings(&shared, &now);
                if (!ended) {
                    Require(view.errors.size() == errors + 1 && view.endResults.empty(),
                            "a bad pause is refused");
                    Require(view.errors.back().first == kPauseErrorText &&
                                view.errors.back().second == kPauseErrorCaption,
                            "the pause message");
                    Require(SameSettings(now, live) && CurrentMode(&shared) == mode,
                            "a refused OK changes nothing");
                    break;
                }
                Require(view.endResults == std::vector<int>{kDialogOk}, "OK ends with 1, once");
                uint32_t seconds = ParsePauseField(view.Text(kIdDelay).c_str());
                Require(seconds >= 1 && seconds <= 3600, "only a pause of 1-3600 s is stored");
                expected.tDelay = static_cast<int32_t>(seconds * 1000);
                snprintf(expected.szRasEntry, sizeof expected.szRasEntry, "%s",
                         view.Text(kIdEntry).c_str());
                expected.bDropAny = view.dropAnyChecked ? 1 : 0;
                expected.ruleTable.nUserEntries = edit.count;
                memcpy(expected.ruleTable.rules, edit.rules, sizeof edit.rules);
                Require(now.tDelay == expected.tDelay && now.bDropAny == expected.bDropAny &&
                            strcmp(now.szRasEntry, expected.szRasEntry) == 0 &&
                            memcmp(&now.ruleTable, &expected.ruleTable, sizeof now.ruleTable) == 0,
                        "OK stores what the dialog showed");
                Require(CurrentMode(&shared) == ModeDisabled, "OK resets the mode");
                live = now;
                mode = ModeDisabled;
                continue;
            }
            case 9:
                OnCancel(&dialog);
                Require(view.endResults == std::vector<int>{kDialogCancel},
                        "Annulla ends with 2, once");
                break;
        }
        Settings now;
        CopyLiveSettings(&shared, &now);
        Require(SameSettings(now, live), "only OK changes the live settings");
        Require(CurrentMode(&shared) == mode, "the dialog never changes the mode");
        if (view.endResults.empty()) CheckInvariants(dialog, view);
    }
    return 0;
}
