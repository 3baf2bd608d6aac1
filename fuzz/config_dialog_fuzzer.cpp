// Random sessions of the configuration dialog against a view that behaves
// like the Windows controls (a text set by the program reports its change at
// once; the list keeps its own selection). Live settings, phonebook and the
// user's actions come from the input. After every action: 0 to 10 rules, the
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
#include "common/text.h"
#include "settings/shared_state.h"

namespace {

void Require(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "violated: %s\n", what);
    abort();
}

struct View {
    ConfigDialog* dialog = nullptr;
    std::map<int, std::string> texts;
    bool dropAny = false;
    std::vector<std::string> entries;
    std::vector<std::string> list;
    int listSel = kNoSelection;
    int beeps = 0;
    int errors = 0;
    int ended = 0;  // 0 while open, else the dialog's result
};

View* Self(void* ctx) {
    return static_cast<View*>(ctx);
}

void SetText(void* ctx, int control, const char* text) {
    View* v = Self(ctx);
    v->texts[control] = text;
    // An edit control reports every change of its text, also the program's own.
    if (IsTimeField(control)) OnTimeFieldChanged(v->dialog, control);
    if (control == kIdName) OnNameChanged(v->dialog);
}

void GetText(void* ctx, int control, char* buffer, size_t size) {
    Require(size > 0, "getText with room");
    const std::string& text = Self(ctx)->texts[control];
    size_t n = text.size() < size - 1 ? text.size() : size - 1;
    memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

void SetChecked(void* ctx, int control, bool checked) {
    Require(control == kIdDropAny, "only the check box is checked");
    Self(ctx)->dropAny = checked;
}

bool IsChecked(void* ctx, int control) {
    Require(control == kIdDropAny, "only the check box is read as checked");
    return Self(ctx)->dropAny;
}

void AddEntry(void* ctx, const char* name) {
    Require(strlen(name) < kEntryNameFieldSize, "entry names fit their field");
    Self(ctx)->entries.push_back(name);
}

void SelectEntryByPrefix(void* ctx, const char* prefix) {
    View* v = Self(ctx);
    for (const std::string& entry : v->entries) {
        if (StartsWithNoCase(entry.c_str(), prefix)) {
            v->texts[kIdEntry] = entry;
            return;
        }
    }
    v->texts[kIdEntry] = "";
}

void ListAppend(void* ctx, const char* text) {
    Self(ctx)->list.push_back(text);
}

void ListInsert(void* ctx, int index, const char* text) {
    View* v = Self(ctx);
    Require(index >= 0 && index <= static_cast<int>(v->list.size()), "insert inside the list");
    v->list.insert(v->list.begin() + index, text);
    if (v->listSel >= index) ++v->listSel;
}

void ListDelete(void* ctx, int index) {
    View* v = Self(ctx);
    Require(index >= 0 && index < static_cast<int>(v->list.size()), "delete a listed line");
    v->list.erase(v->list.begin() + index);
    if (v->listSel == index) {
        v->listSel = kNoSelection;
    } else if (v->listSel > index) {
        --v->listSel;
    }
}

void ListSelect(void* ctx, int index) {
    View* v = Self(ctx);
    Require(index == kNoSelection || (index >= 0 && index < static_cast<int>(v->list.size())),
            "select a listed line or none");
    v->listSel = index;
}

int ListSelection(void* ctx) {
    return Self(ctx)->listSel;
}

void Beep(void* ctx) {
    ++Self(ctx)->beeps;
}

void ShowError(void* ctx, const char* text, const char* caption) {
    Require(strcmp(text, kPauseErrorText) == 0 && strcmp(caption, kPauseErrorCaption) == 0,
            "the pause message");
    ++Self(ctx)->errors;
}

void EndDialog(void* ctx, int result) {
    View* v = Self(ctx);
    Require(v->ended == 0, "a dialog ends once");
    v->ended = result;
}

// The phonebook the service lists: names and the result come from the input;
// a name may fill its field without a terminator, and the count may be wrong.
struct Phonebook {
    int32_t result = 0;
    int count = 0;
    std::vector<std::string> names;
};

int32_t EnumEntries(void* ctx, PhonebookEntries* out) {
    Phonebook* book = static_cast<Phonebook*>(ctx);
    if (book->result != 0) return book->result;
    out->count = book->count;
    for (size_t i = 0; i < book->names.size() && i < kMaxPhonebookEntries; ++i) {
        const std::string& name = book->names[i];
        memset(out->names[i], 'q', kEntryNameFieldSize);
        memcpy(out->names[i], name.data(),
               name.size() < kEntryNameFieldSize ? name.size() : kEntryNameFieldSize);
        if (name.size() < kEntryNameFieldSize) out->names[i][name.size()] = '\0';
    }
    return 0;
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

void CheckInvariants(const ConfigDialog& dialog, const View& view) {
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

    Phonebook book;
    book.result = in.ConsumeBool() ? 0 : in.ConsumeIntegral<int32_t>();
    int names = in.ConsumeIntegralInRange(0, 8);
    for (int i = 0; i < names; ++i) book.names.push_back(in.ConsumeRandomLengthString(300));
    // The count may disagree with the names filled in, or exceed the room.
    book.count = in.ConsumeBool() ? names : in.ConsumeIntegralInRange(-2, kMaxPhonebookEntries + 2);
    DialUpService service{};
    service.ctx = &book;
    service.enumEntries = &EnumEntries;

    ConfigDialog dialog{};
    View view;
    Settings live;
    CopyLiveSettings(&shared, &live);
    auto open = [&] {
        view = View{};
        view.dialog = &dialog;
        dialog.shared = &shared;
        dialog.service = &service;
        dialog.view = DialogView{&view,
                                 &SetText,
                                 &GetText,
                                 &SetChecked,
                                 &IsChecked,
                                 &AddEntry,
                                 &SelectEntryByPrefix,
                                 &ListAppend,
                                 &ListInsert,
                                 &ListDelete,
                                 &ListSelect,
                                 &ListSelection,
                                 &Beep,
                                 &ShowError,
                                 &EndDialog,
                                 nullptr,
                                 nullptr};
        OnDialogInit(&dialog);
        CheckInvariants(dialog, view);
        Require(view.listSel == kNoSelection, "the dialog opens with no rule selected");
    };
    open();

    while (in.remaining_bytes() > 0) {
        if (view.ended != 0) open();
        int before = dialog.edit.selection;
        switch (in.ConsumeIntegralInRange(0, 9)) {
            case 0: {  // the user clicks a line, or below the last one
                int line = in.ConsumeIntegralInRange(-1, static_cast<int>(view.list.size()) - 1);
                view.listSel = line;
                OnRuleSelectionChanged(&dialog);
                break;
            }
            case 1: {  // the user types into a time field
                int control = kIdStartFirst + in.ConsumeIntegralInRange(0, 2 * kDaysPerWeek - 1);
                std::string typed = in.ConsumeRandomLengthString(80);
                view.texts[control] = typed;
                OnTimeFieldChanged(&dialog, control);
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
                    Require(view.texts[control] == shown, "the field shows the stored time");
                } else {
                    Require(view.texts[control] == typed, "without a rule the text stays as typed");
                }
                break;
            }
            case 2:  // the user types a name
                view.texts[kIdName] = in.ConsumeRandomLengthString(100);
                OnNameChanged(&dialog);
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
                view.texts[kIdDelay] = in.ConsumeRandomLengthString(20);
                break;
            case 6:
                view.dropAny = !view.dropAny;
                break;
            case 7:
                view.texts[kIdEntry] = in.ConsumeRandomLengthString(1100);
                break;
            case 8: {
                int errors = view.errors;
                Settings expected = live;
                RuleEditBuffer edit = dialog.edit;
                bool ended = OnOk(&dialog);
                Settings now;
                CopyLiveSettings(&shared, &now);
                if (!ended) {
                    Require(view.errors == errors + 1 && view.ended == 0, "a bad pause is refused");
                    Require(SameSettings(now, live) && CurrentMode(&shared) == mode,
                            "a refused OK changes nothing");
                    break;
                }
                Require(view.ended == kDialogOk, "OK ends with 1");
                uint32_t seconds = ParsePauseField(view.texts[kIdDelay].c_str());
                Require(seconds >= 1 && seconds <= 3600, "only a pause of 1-3600 s is stored");
                expected.tDelay = static_cast<int32_t>(seconds * 1000);
                snprintf(expected.szRasEntry, sizeof expected.szRasEntry, "%s",
                         view.texts[kIdEntry].c_str());
                expected.bDropAny = view.dropAny ? 1 : 0;
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
                Require(view.ended == kDialogCancel, "Annulla ends with 2");
                break;
        }
        Settings now;
        CopyLiveSettings(&shared, &now);
        Require(SameSettings(now, live), "only OK changes the live settings");
        Require(CurrentMode(&shared) == mode, "the dialog never changes the mode");
        if (view.ended == 0) CheckInvariants(dialog, view);
    }
    return 0;
}
