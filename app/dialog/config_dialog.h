// The configuration dialog's behaviour, free of any toolkit. A toolkit binding
// (Win32 dialog resource, Qt widgets) creates the controls, forwards every
// notification to the On... functions below and implements the DialogView
// through which these functions read and write the controls. The dialog works
// on the RuleEditBuffer, a private copy of the rule table; only OK hands the
// result to the live settings.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dialup/dialup_service.h"
#include "resources/ui_texts.h"
#include "settings/settings.h"

struct SharedState;

// Control ids. They are the ids of the Windows dialog resource; other
// toolkits map their widgets to them.
enum DialogControl : int {
    kIdOk = 1,
    kIdCancel = 2,
    kIdDelay = 1000,       // "Pausa fra tentativi (s):"
    kIdEntry = 1001,       // "Connessione RAS:" (editable, sorted combo box)
    kIdDropAny = 1002,     // "Tieni chiuse le altre connessioni RAS"
    kIdRuleList = 1005,    // "Regole personalizzate:"
    kIdStartFirst = 1006,  // 1006 + d: start time of day d (0 = Sunday)
    kIdStopFirst = 1013,   // 1013 + d: stop time of day d
    kIdAdd = 1020,         // "Aggiungi"
    kIdRemove = 1021,      // "Rimuovi"
    kIdName = 1022,        // "Nome"
};

constexpr int kNoSelection = -1;
constexpr int kFieldTextSize = 64;  // name and time fields are read up to 63 characters
constexpr int kDialogOk = 1;
constexpr int kDialogCancel = 2;

constexpr const char* kNewRuleName = UI_NEW_RULE;
constexpr const char* kPauseErrorText = UI_PAUSE_ERROR;
constexpr const char* kPauseErrorCaption = UI_ERROR_CAPTION;

struct RuleEditBuffer {
    Rule rules[kMaxRules];
    int32_t count;
    int32_t selection;  // kNoSelection or an index below count
    bool updating;      // the dialog is writing into its own fields
};

// What the dialog needs from its toolkit. A text set through setText may
// report its change back (OnTimeFieldChanged, OnNameChanged) before setText
// returns, as Windows edit controls do; the updating flag makes those reports
// harmless. Selecting in the list through listSelect does not report.
struct DialogView {
    void* ctx;
    void (*setText)(void* ctx, int control, const char* text);
    // The control's text, cut to size - 1 characters and terminated; for the
    // combo box, its text part.
    void (*getText)(void* ctx, int control, char* buffer, size_t size);
    void (*setChecked)(void* ctx, int control, bool checked);
    bool (*isChecked)(void* ctx, int control);
    // Combo box: add one entry name; then select the first entry, in the
    // list's own order, that begins with prefix (case ignored), or leave the
    // text part empty when none does.
    void (*addEntry)(void* ctx, const char* name);
    void (*selectEntryByPrefix)(void* ctx, const char* prefix);
    // Rule list.
    void (*listAppend)(void* ctx, const char* text);
    void (*listInsert)(void* ctx, int index, const char* text);
    void (*listDelete)(void* ctx, int index);
    void (*listSelect)(void* ctx, int index);  // kNoSelection clears it
    int (*listSelection)(void* ctx);           // kNoSelection when none
    void (*beep)(void* ctx);
    void (*showError)(void* ctx, const char* text, const char* caption);
    void (*endDialog)(void* ctx, int result);
    // The caret of an edit control, as an offset into its text (a toolkit
    // without them leaves both null; the caret then stays where setText puts
    // it).
    int (*getCaret)(void* ctx, int control);
    void (*setCaret)(void* ctx, int control, int position);
};

struct ConfigDialog {
    RuleEditBuffer edit;
    SharedState* shared;
    const DialUpService* service;  // lists the phonebook; may be null
    DialogView view;
    bool open;  // set while a dialog is on screen (a second one is not opened)
};

// The dialog opens: pause, check box, phonebook entries with the configured
// one preselected, the rules copied into the edit buffer and listed, no
// selection, empty name and time fields.
void OnDialogInit(ConfigDialog* dialog);
// The list's selection changed (by the user).
void OnRuleSelectionChanged(ConfigDialog* dialog);
// The text of time field control (kIdStartFirst .. kIdStopFirst + 6) changed.
void OnTimeFieldChanged(ConfigDialog* dialog, int control);
// The text of the name field changed.
void OnNameChanged(ConfigDialog* dialog);
// "Aggiungi": a new rule at the end, or the error beep when ten exist.
void OnAddRule(ConfigDialog* dialog);
// "Rimuovi": removes the selected rule; the selection moves to its successor.
void OnRemoveRule(ConfigDialog* dialog);
// OK: checks the pause (1-3600 s); on success publishes the new settings
// together with ModeDisabled and ends the dialog with kDialogOk. Returns
// whether the dialog ended.
bool OnOk(ConfigDialog* dialog);
// "Annulla" or the close button: ends the dialog with kDialogCancel.
void OnCancel(ConfigDialog* dialog);

// --- The dialog's text rules, usable on their own ---

// True for the time fields: kIdStartFirst .. kIdStopFirst + 6.
bool IsTimeField(int control);
// What an edited time field becomes: typed read by ParseTimeField into hour
// and minute, and shown again by FormatTimeField (shown: at least 12 bytes).
void RewriteTimeField(const char* typed, int32_t* hour, int32_t* minute, char* shown, size_t size);
// Where the caret goes after the user's edit of a time field was rewritten,
// so that typing continues where it would have: while the caret was in the
// hour part of typed (before or on its first colon, or there is no colon), at
// the colon of rewritten; otherwise at its end. caret is an offset into typed.
int CaretAfterRewrite(const char* typed, int caret, const char* rewritten);

// Reads "%d:%d" (blanks, optional signs) and normalises the result: negative
// numbers become 0, an hour of 24 or more and a minute of 60 or more are
// divided by 10 until they fit. A number the text does not supply is 0. Any
// length of digits is handled.
void ParseTimeField(const char* text, int32_t* hour, int32_t* minute);
// "%02d:%02d" into buffer (at least 12 bytes).
void FormatTimeField(int32_t hour, int32_t minute, char* buffer, size_t size);
// The pause field's number of seconds, read as an unsigned integer; text that
// is not a number, or one beyond 32 bits, reads as 0.
uint32_t ParsePauseField(const char* text);
// What the pause field shows for tDelay: whole seconds, truncated.
uint32_t PauseSecondsForDelay(int32_t tDelay);

// Case-insensitive helpers for toolkits whose lists do not offer them: sorts
// names (stable) and finds the first that begins with prefix (-1 if none).
void SortEntryNames(const char** names, int count);
int FindEntryByPrefix(const char* const* sortedNames, int count, const char* prefix);
