#include "app/menu.h"

#include <cstring>

#include "app/dialog/config_dialog.h"
#include "common/text.h"
#include "common/wake_event.h"
#include "log/event_log.h"
#include "resources/ui_texts.h"
#include "settings/shared_state.h"

namespace {

struct FixedItem {
    int commandId;
    const char* text;  // null for a separator
};

// The popup as the menu resource holds it; rule items go in at position 3.
constexpr FixedItem kFixedItems[] = {
    {kCmdConnected, UI_CONNECTED},
    {kCmdDisconnected, UI_DISCONNECTED},
    {kCmdDisabled, UI_DISABLED},
    {0, nullptr},
    {kCmdConfigure, UI_CONFIGURE},
    {kCmdShowLog, UI_SHOW_LOG},
    {0, nullptr},
    {kCmdExit, UI_EXIT},
};

void SetItem(MenuItem* item, int commandId, const char* text) {
    item->commandId = commandId;
    item->separator = text == nullptr;
    item->checked = false;
    CopyBounded(item->text, text != nullptr ? text : "", sizeof item->text);
}

}  // namespace

int BaseMenuItems(MenuItem* items, int capacity) {
    int n = 0;
    for (const FixedItem& fixed : kFixedItems) {
        if (n == capacity) break;
        SetItem(&items[n++], fixed.commandId, fixed.text);
    }
    return n;
}

int BuildMenuItems(const RuleTable& table, Mode mode, MenuItem* items, int capacity) {
    const int rules = ClampRuleCount(table.nUserEntries);
    int n = 0;
    for (int i = 0; i < static_cast<int>(sizeof kFixedItems / sizeof kFixedItems[0]); ++i) {
        if (i == kRuleItemFirstPosition) {
            for (int r = 0; r < rules && n < capacity; ++r) {
                SetItem(&items[n++], kCmdRuleFirst + r, table.rules[r].szName);
            }
        }
        if (n == capacity) break;
        SetItem(&items[n++], kFixedItems[i].commandId, kFixedItems[i].text);
    }
    for (int i = 0; i < n; ++i) {
        items[i].checked = !items[i].separator && IsItemChecked(items[i].commandId, mode, rules);
    }
    return n;
}

int CommandForMode(Mode mode) {
    switch (mode) {
        case ModeAlwaysUp:
            return kCmdConnected;
        case ModeAlwaysDown:
            return kCmdDisconnected;
        case ModeDisabled:
            return kCmdDisabled;
        default:
            break;
    }
    if (mode >= ModeRuleBase && mode - ModeRuleBase < kMaxRules) {
        return kCmdRuleFirst + (mode - ModeRuleBase);
    }
    return 0;
}

bool ModeForCommand(int commandId, Mode* mode) {
    switch (commandId) {
        case kCmdConnected:
            *mode = ModeAlwaysUp;
            return true;
        case kCmdDisconnected:
            *mode = ModeAlwaysDown;
            return true;
        case kCmdDisabled:
            *mode = ModeDisabled;
            return true;
        default:
            break;
    }
    if (commandId >= kCmdRuleFirst && commandId <= kCmdRuleLast) {
        *mode = ModeRuleBase + (commandId - kCmdRuleFirst);
        return true;
    }
    return false;
}

bool IsItemChecked(int commandId, Mode mode, int32_t nRules) {
    if (commandId >= kCmdRuleFirst && commandId <= kCmdRuleLast &&
        commandId - kCmdRuleFirst >= nRules) {
        return false;
    }
    return commandId != 0 && CommandForMode(mode) == commandId;
}

int CommandForModeName(const RuleTable& table, const char* name) {
    MenuItem items[kMaxMenuItems];
    const int n = BuildMenuItems(table, ModeDisabled, items, kMaxMenuItems);
    Mode unused;
    for (int i = 0; i < n; ++i) {
        if (ModeForCommand(items[i].commandId, &unused) &&
            CompareNoCase(items[i].text, name) == 0) {
            return items[i].commandId;
        }
    }
    return 0;
}

void ListModeNames(const RuleTable& table, char* buffer, size_t size) {
    if (size == 0) return;
    buffer[0] = '\0';
    MenuItem items[kMaxMenuItems];
    const int n = BuildMenuItems(table, ModeDisabled, items, kMaxMenuItems);
    Mode unused;
    size_t used = 0;
    for (int i = 0; i < n; ++i) {
        if (!ModeForCommand(items[i].commandId, &unused)) continue;
        const char* parts[] = {used > 0 ? ", \"" : "\"", items[i].text, "\""};
        for (const char* part : parts) {
            CopyBounded(buffer + used, part, size - used);
            const size_t length = BoundedLength(buffer + used, size - used);
            // A rule's name comes from the settings file: its control
            // characters become blanks, as in the log, before a terminal
            // shows the list.
            size_t kept = used;
            for (size_t i = used; i < used + length;) {
                const size_t control = LogControlLength(buffer + i, used + length - i);
                buffer[kept++] = control > 0 ? ' ' : buffer[i];
                i += control > 0 ? control : 1;
            }
            buffer[kept] = '\0';
            used = kept;
        }
    }
}

void SelectMode(SharedState* state, WakeEvent* wake, Mode mode) {
    PublishMode(state, mode);
    SignalWakeEvent(wake);
}

void RunMenuCommand(const MenuHost& host, SharedState* state, WakeEvent* wake, int commandId) {
    Mode mode;
    if (ModeForCommand(commandId, &mode)) {
        SelectMode(state, wake, mode);
        return;
    }
    switch (commandId) {
        case kCmdConfigure:
            if (host.dialogOpen(host.ctx)) {
                host.raiseDialog(host.ctx);
                break;
            }
            // On OK the dialog has already published the new settings together
            // with ModeDisabled; the menu and the file follow.
            if (host.runConfigDialog(host.ctx) == kDialogOk) {
                host.rebuildRuleItems(host.ctx);
                host.saveSettings(host.ctx);
            }
            break;
        case kCmdShowLog:
            host.showLog(host.ctx);
            break;
        case kCmdExit:
            EndProgram(host);
            break;
        default:
            break;
    }
    SignalWakeEvent(wake);
}

void EndProgram(const MenuHost& host) {
    if (host.dialogOpen(host.ctx)) host.cancelDialog(host.ctx);
    host.exitProgram(host.ctx);
}

void LogProgramStarted() {
    LogEvent(kLogStarted, kLogInfo, 0);
}

void LogProgramStopped() {
    LogEvent(kLogStopped, kLogInfo, 0);
}
