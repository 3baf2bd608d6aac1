// The tray menu's behaviour, free of any toolkit: its items and their command
// ids, the rule items, the check marks, and what every command does. The
// Win32 window procedure and the Qt tray bind their widgets to this.
#pragma once

#include <cstddef>
#include <cstdint>

#include "settings/settings.h"

struct SharedState;
struct WakeEvent;

enum MenuCommand : int {
    kCmdConnected = 40001,     // "Connesso"
    kCmdDisconnected = 40003,  // "Disconnesso"
    kCmdConfigure = 40004,     // "Configurazione..."
    kCmdExit = 40005,          // "Esci"
    kCmdDisabled = 40006,      // "Disabilitato"
    kCmdShowLog = 40008,       // "Log"
    kCmdRuleFirst = 41000,     // 41000 + i: rule i
    kCmdRuleLast = kCmdRuleFirst + kMaxRules - 1,
};

constexpr int kRuleItemFirstPosition = 3;  // rule i sits at position 3 + i
constexpr int kMaxMenuItems = 8 + kMaxRules;

struct MenuItem {
    int commandId;  // 0 for a separator
    bool separator;
    bool checked;
    char text[kRuleNameSize];
};

// The popup's items, in order, with the rule items of table inserted after
// "Disabilitato" and exactly the item of mode checked. Returns the count.
int BuildMenuItems(const RuleTable& table, Mode mode, MenuItem* items, int capacity);

// The fixed items of the menu resource (no rule items, nothing checked).
int BaseMenuItems(MenuItem* items, int capacity);

// The command id whose item shows mode; 0 when mode has none.
int CommandForMode(Mode mode);
// True when id selects a mode (the three modes and 41000-41009), with it.
bool ModeForCommand(int commandId, Mode* mode);
// Whether item commandId carries the check mark for mode with nRules rules.
bool IsItemChecked(int commandId, Mode mode, int32_t nRules);

// The command of the mode item whose text is name, ASCII letter case ignored:
// "Connesso", "Disconnesso", "Disabilitato" or a rule of table (the first
// item in menu order wins). 0 when no mode item has that text.
int CommandForModeName(const RuleTable& table, const char* name);
// The mode items' texts in menu order, each in double quotes, separated by
// ", ", into buffer (cut to size, always terminated). Control characters in a
// rule's name become one blank each, as in the log.
void ListModeNames(const RuleTable& table, char* buffer, size_t size);

// Stores mode and signals the WakeEvent.
void SelectMode(SharedState* state, WakeEvent* wake, Mode mode);

// What the toolkit does for the commands that need it.
struct MenuHost {
    void* ctx;
    // Runs the configuration dialog modally; returns kDialogOk or kDialogCancel
    // (the dialog itself publishes the settings on OK). Called only while no
    // dialog is open.
    int (*runConfigDialog)(void* ctx);
    // Rebuilds the rule items of the popup from the live table.
    void (*rebuildRuleItems)(void* ctx);
    // Writes the live settings to the settings file.
    void (*saveSettings)(void* ctx);
    // Starts the log viewer on the log file, without waiting for it.
    void (*showLog)(void* ctx);
    // Ends the program: the stop line is logged and the event loop ends. An
    // open dialog has been cancelled before; it may still be closing.
    void (*exitProgram)(void* ctx);
    // Whether the configuration dialog is on screen (its modal run not over).
    bool (*dialogOpen)(void* ctx);
    // Brings the open dialog to the front.
    void (*raiseDialog)(void* ctx);
    // Ends the open dialog as "Annulla" does: nothing of it is stored.
    void (*cancelDialog)(void* ctx);
};

// Carries out one menu command, then wakes the supervisor. A second
// "Configurazione..." brings the open dialog to the front instead of opening
// another one over the same rules. After an OK in the dialog: the rule items
// are rebuilt and the settings saved (the mode is already ModeDisabled, set
// together with the new settings). "Esci" ends the program as EndProgram does.
void RunMenuCommand(const MenuHost& host, SharedState* state, WakeEvent* wake, int commandId);

// "Esci" and the end of the session: an open dialog is cancelled first, so
// nothing of it is stored, then the host ends the program.
void EndProgram(const MenuHost& host);

// The lines that open and close every run of the program in the log.
void LogProgramStarted();
void LogProgramStopped();
