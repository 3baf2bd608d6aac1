#include "app/dialog/config_dialog.h"

#include <cstdio>
#include <cstring>

#include "common/text.h"
#include "settings/shared_state.h"

namespace {

constexpr int32_t kHourLimit = 24;
constexpr int32_t kMinuteLimit = 60;
constexpr uint32_t kMinPauseSeconds = 1;
constexpr uint32_t kMaxPauseSeconds = 3600;
constexpr int32_t kMillisecondsPerSecond = 1000;

// Room for any two 32-bit numbers around a colon, so that an out-of-range
// value read from the settings file is shown whole.
constexpr size_t kTimeTextSize = 24;
// The pause field is read into this much room. A text that fills it may go on
// beyond it, so it is not taken as a number (no real pause needs that much).
constexpr size_t kPauseTextSize = 256;
// Room for the decimal digits of any 32-bit unsigned number.
constexpr size_t kNumberTextSize = 12;

// The blanks the "%d" conversion skips (isspace in the C locale).
bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

const char* SkipBlanks(const char* p) {
    while (IsBlank(*p)) ++p;
    return p;
}

// Reads one "%d" number at *cursor: blanks, an optional sign, at least one
// digit. On success moves *cursor past the digits and stores in *value the
// number normalised to 0 .. limit-1: a negative number is 0, and the number is
// divided by 10 while it is limit or more. Dividing by 10 drops the last digit,
// so the result is the longest leading run of digits whose value stays below
// limit; building it digit by digit gives that exactly however long the text
// is, without ever leaving the range of int32_t.
bool ReadNormalisedNumber(const char** cursor, int32_t limit, int32_t* value) {
    const char* p = SkipBlanks(*cursor);
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (!IsDigit(*p)) return false;
    int32_t kept = 0;
    bool full = false;  // a digit pushed the number to limit: the rest is cut off
    for (; IsDigit(*p); ++p) {
        if (full) continue;
        int32_t next = kept * 10 + (*p - '0');
        if (next >= limit) {
            full = true;
        } else {
            kept = next;
        }
    }
    *cursor = p;
    *value = negative ? 0 : kept;
    return true;
}

// The selected rule, or null when none is selected.
Rule* SelectedRule(ConfigDialog* dialog) {
    RuleEditBuffer* edit = &dialog->edit;
    if (edit->selection < 0 || edit->selection >= edit->count) return nullptr;
    return &edit->rules[edit->selection];
}

void ShowTime(const DialogView& view, int control, int32_t hour, int32_t minute) {
    char text[kTimeTextSize];
    FormatTimeField(hour, minute, text, sizeof text);
    view.setText(view.ctx, control, text);
}

// The phonebook, sorted as the combo box shows it, goes into the combo box;
// the configured entry is then preselected by prefix. A missing service or a
// failed listing leaves the combo box empty.
void FillEntryList(ConfigDialog* dialog, const char* configured) {
    const DialUpService* service = dialog->service;
    if (service == nullptr || service->enumEntries == nullptr) return;
    // 25 KB: kept off the stack. Only the UI thread opens the dialog, and
    // nothing below calls back into it while the list is in use.
    static PhonebookEntries entries;
    memset(&entries, 0, sizeof entries);
    if (service->enumEntries(service->ctx, &entries) != 0) return;
    if (entries.count < 0 || entries.count > kMaxPhonebookEntries) return;

    const char* names[kMaxPhonebookEntries];
    for (int i = 0; i < entries.count; ++i) {
        entries.names[i][kEntryNameFieldSize - 1] = '\0';
        names[i] = entries.names[i];
    }
    SortEntryNames(names, entries.count);
    const DialogView& view = dialog->view;
    for (int i = 0; i < entries.count; ++i) view.addEntry(view.ctx, names[i]);
    view.selectEntryByPrefix(view.ctx, configured);
}

}  // namespace

void OnDialogInit(ConfigDialog* dialog) {
    Settings live;
    CopyLiveSettings(dialog->shared, &live);
    const DialogView& view = dialog->view;
    RuleEditBuffer* edit = &dialog->edit;
    edit->updating = false;

    char pause[kNumberTextSize];
    FormatDecimal(PauseSecondsForDelay(live.tDelay), pause, sizeof pause);
    view.setText(view.ctx, kIdDelay, pause);

    view.setChecked(view.ctx, kIdDropAny, live.bDropAny != 0);

    live.szRasEntry[kRasEntrySize - 1] = '\0';
    FillEntryList(dialog, live.szRasEntry);

    const int32_t count = ClampRuleCount(live.ruleTable.nUserEntries);
    memcpy(edit->rules, live.ruleTable.rules, sizeof edit->rules);
    edit->count = count;
    for (int32_t i = 0; i < kMaxRules; ++i) edit->rules[i].szName[kRuleNameSize - 1] = '\0';
    for (int32_t i = 0; i < count; ++i) view.listAppend(view.ctx, edit->rules[i].szName);

    // No rule is selected, so the fields belong to none: they open empty.
    edit->selection = kNoSelection;
    view.listSelect(view.ctx, kNoSelection);
    edit->updating = true;
    view.setText(view.ctx, kIdName, "");
    for (int d = 0; d < kDaysPerWeek; ++d) {
        view.setText(view.ctx, kIdStartFirst + d, "");
        view.setText(view.ctx, kIdStopFirst + d, "");
    }
    edit->updating = false;
}

void OnRuleSelectionChanged(ConfigDialog* dialog) {
    const DialogView& view = dialog->view;
    RuleEditBuffer* edit = &dialog->edit;
    int selection = view.listSelection(view.ctx);
    edit->selection = (selection >= 0 && selection < edit->count) ? selection : kNoSelection;
    const Rule* rule = SelectedRule(dialog);
    if (rule == nullptr) return;

    edit->updating = true;
    view.setText(view.ctx, kIdName, rule->szName);
    for (int d = 0; d < kDaysPerWeek; ++d) {
        const DayWindow& w = rule->days[d];
        ShowTime(view, kIdStartFirst + d, w.hStart, w.mStart);
        ShowTime(view, kIdStopFirst + d, w.hStop, w.mStop);
    }
    edit->updating = false;
}

void OnTimeFieldChanged(ConfigDialog* dialog, int control) {
    RuleEditBuffer* edit = &dialog->edit;
    if (!IsTimeField(control) || edit->updating) return;
    Rule* rule = SelectedRule(dialog);
    if (rule == nullptr) return;

    const DialogView& view = dialog->view;
    edit->updating = true;
    char text[kFieldTextSize];
    view.getText(view.ctx, control, text, sizeof text);
    const bool caretKnown = view.getCaret != nullptr && view.setCaret != nullptr;
    const int caret = caretKnown ? view.getCaret(view.ctx, control) : 0;
    int32_t hour = 0;
    int32_t minute = 0;
    char shown[kTimeTextSize];
    RewriteTimeField(text, &hour, &minute, shown, sizeof shown);

    if (control < kIdStopFirst) {
        DayWindow& w = rule->days[control - kIdStartFirst];
        w.hStart = hour;
        w.mStart = minute;
    } else {
        DayWindow& w = rule->days[control - kIdStopFirst];
        w.hStop = hour;
        w.mStop = minute;
    }
    view.setText(view.ctx, control, shown);
    // Rewriting the text moves the caret (a Windows edit control puts it at
    // the start); put it back where the next keystroke belongs.
    if (caretKnown) view.setCaret(view.ctx, control, CaretAfterRewrite(text, caret, shown));
    edit->updating = false;
}

void OnNameChanged(ConfigDialog* dialog) {
    RuleEditBuffer* edit = &dialog->edit;
    if (edit->updating) return;
    Rule* rule = SelectedRule(dialog);
    if (rule == nullptr) return;

    const DialogView& view = dialog->view;
    view.getText(view.ctx, kIdName, rule->szName, sizeof rule->szName);
    int index = edit->selection;
    view.listDelete(view.ctx, index);
    view.listInsert(view.ctx, index, rule->szName);
    view.listSelect(view.ctx, index);
}

void OnAddRule(ConfigDialog* dialog) {
    const DialogView& view = dialog->view;
    RuleEditBuffer* edit = &dialog->edit;
    if (edit->count >= kMaxRules) {
        view.beep(view.ctx);
        return;
    }
    InitRule(&edit->rules[edit->count], kNewRuleName);
    view.listAppend(view.ctx, kNewRuleName);
    ++edit->count;
}

void OnRemoveRule(ConfigDialog* dialog) {
    if (SelectedRule(dialog) == nullptr) return;
    const DialogView& view = dialog->view;
    RuleEditBuffer* edit = &dialog->edit;
    int32_t index = edit->selection;

    view.listDelete(view.ctx, index);
    for (int32_t i = index; i + 1 < edit->count; ++i) edit->rules[i] = edit->rules[i + 1];
    --edit->count;
    // The freed slot keeps no copy of a rule that is gone.
    InitRule(&edit->rules[edit->count], "");

    // The same line again: the rule that moved up into it, or none after the
    // last one. The fields keep showing the removed rule.
    edit->selection = index < edit->count ? index : kNoSelection;
    view.listSelect(view.ctx, edit->selection);
}

bool OnOk(ConfigDialog* dialog) {
    const DialogView& view = dialog->view;
    char pauseText[kPauseTextSize];
    view.getText(view.ctx, kIdDelay, pauseText, sizeof pauseText);
    uint32_t seconds = 0;
    if (BoundedLength(pauseText, sizeof pauseText) < sizeof pauseText - 1) {
        seconds = ParsePauseField(pauseText);
    }
    if (seconds < kMinPauseSeconds || seconds > kMaxPauseSeconds) {
        view.showError(view.ctx, kPauseErrorText, kPauseErrorCaption);
        return false;
    }

    Settings confirmed;
    CopyLiveSettings(dialog->shared, &confirmed);
    confirmed.tDelay = static_cast<int32_t>(seconds) * kMillisecondsPerSecond;
    view.getText(view.ctx, kIdEntry, confirmed.szRasEntry, sizeof confirmed.szRasEntry);
    confirmed.ruleTable.nUserEntries = dialog->edit.count;
    memcpy(confirmed.ruleTable.rules, dialog->edit.rules, sizeof confirmed.ruleTable.rules);
    confirmed.bDropAny = view.isChecked(view.ctx, kIdDropAny) ? 1 : 0;
    PublishDialogSettings(dialog->shared, confirmed);
    view.endDialog(view.ctx, kDialogOk);
    return true;
}

void OnCancel(ConfigDialog* dialog) {
    const DialogView& view = dialog->view;
    view.endDialog(view.ctx, kDialogCancel);
}

void ParseTimeField(const char* text, int32_t* hour, int32_t* minute) {
    *hour = 0;
    *minute = 0;
    const char* p = text;
    if (!ReadNormalisedNumber(&p, kHourLimit, hour)) return;
    if (*p != ':') return;
    ++p;
    ReadNormalisedNumber(&p, kMinuteLimit, minute);
}

bool IsTimeField(int control) {
    return control >= kIdStartFirst && control < kIdStopFirst + kDaysPerWeek;
}

void RewriteTimeField(const char* typed, int32_t* hour, int32_t* minute, char* shown, size_t size) {
    ParseTimeField(typed, hour, minute);
    FormatTimeField(*hour, *minute, shown, size);
}

int CaretAfterRewrite(const char* typed, int caret, const char* rewritten) {
    const char* colon = strchr(typed, ':');
    const bool inHour = colon == nullptr || caret <= colon - typed;
    const char* newColon = strchr(rewritten, ':');
    if (inHour && newColon != nullptr) return static_cast<int>(newColon - rewritten);
    return static_cast<int>(strlen(rewritten));
}

void FormatTimeField(int32_t hour, int32_t minute, char* buffer, size_t size) {
    if (size == 0) return;
    snprintf(buffer, size, "%02d:%02d", static_cast<int>(hour), static_cast<int>(minute));
}

uint32_t ParsePauseField(const char* text) {
    const char* p = SkipBlanks(text);
    if (!IsDigit(*p)) return 0;
    uint64_t value = 0;
    for (; IsDigit(*p); ++p) {
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > UINT32_MAX) return 0;
    }
    p = SkipBlanks(p);
    if (*p != '\0') return 0;
    return static_cast<uint32_t>(value);
}

uint32_t PauseSecondsForDelay(int32_t tDelay) {
    // A negative pause can only come from a hand-edited file. It shows as 0,
    // not as a huge unsigned number, so OK is refused until it is corrected.
    if (tDelay < 0) return 0;
    return static_cast<uint32_t>(tDelay / kMillisecondsPerSecond);
}

void SortEntryNames(const char** names, int count) {
    // Insertion sort: stable, and the list never holds more than a hundred.
    for (int i = 1; i < count; ++i) {
        const char* name = names[i];
        int j = i;
        while (j > 0 && CompareNoCase(names[j - 1], name) > 0) {
            names[j] = names[j - 1];
            --j;
        }
        names[j] = name;
    }
}

int FindEntryByPrefix(const char* const* sortedNames, int count, const char* prefix) {
    for (int i = 0; i < count; ++i) {
        if (StartsWithNoCase(sortedNames[i], prefix)) return i;
    }
    return -1;
}
