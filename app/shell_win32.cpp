#include "app/shell_win32.h"

#include <shellapi.h>

#include <cstddef>

#include "app/menu.h"
#include "common/text.h"
#include "resources/resource_ids.h"

static_assert(NOTIFYICONDATAA_V1_SIZE == kNotifyIconDataSize);
static_assert(offsetof(MENUITEMINFOA, hbmpItem) == kMenuItemInfoSize);
static_assert(sizeof(STARTUPINFOA) == kStartupInfoSize);
static_assert(IDM_CONNECTED == kCmdConnected && IDM_DISCONNECTED == kCmdDisconnected &&
              IDM_DISABLED == kCmdDisabled && IDM_CONFIGURE == kCmdConfigure &&
              IDM_SHOWLOG == kCmdShowLog && IDM_EXIT == kCmdExit);

void AddTrayIcon(HWND window, UINT id, UINT callbackMessage, HICON icon, const char* tip) {
    NOTIFYICONDATAA data{};
    data.cbSize = kNotifyIconDataSize;
    data.hWnd = window;
    data.uID = id;
    if (callbackMessage != 0) {
        data.uFlags |= NIF_MESSAGE;
        data.uCallbackMessage = callbackMessage;
    }
    if (icon != nullptr) {
        data.uFlags |= NIF_ICON;
        data.hIcon = icon;
    }
    if (tip != nullptr) {
        data.uFlags |= NIF_TIP;
        CopyBounded(data.szTip, tip, 64);
    }
    Shell_NotifyIconA(NIM_ADD, &data);
}

void RemoveTrayIcon(HWND window, UINT id) {
    NOTIFYICONDATAA data{};
    data.cbSize = kNotifyIconDataSize;
    data.hWnd = window;
    data.uID = id;
    Shell_NotifyIconA(NIM_DELETE, &data);
}

void RebuildRuleMenuItems(HMENU popup, const RuleTable& table) {
    for (int id = kCmdRuleFirst; id <= kCmdRuleLast; ++id) DeleteMenu(popup, id, MF_BYCOMMAND);
    const int count = ClampRuleCount(table.nUserEntries);
    for (int i = 0; i < count; ++i) {
        char text[kRuleNameSize];
        CopyBounded(text, table.rules[i].szName, sizeof text);
        MENUITEMINFOA item{};
        item.cbSize = kMenuItemInfoSize;
        item.fMask = MIIM_ID | MIIM_TYPE;
        item.fType = MFT_STRING;
        item.wID = static_cast<UINT>(kCmdRuleFirst + i);
        item.dwTypeData = text;
        InsertMenuItemA(popup, static_cast<UINT>(kRuleItemFirstPosition + i), TRUE, &item);
    }
}

void SetMenuCheckMarks(HMENU popup, Mode mode, int32_t nRules) {
    const int fixed[] = {kCmdConnected, kCmdDisconnected, kCmdDisabled};
    for (int id : fixed) {
        CheckMenuItem(popup, id,
                      MF_BYCOMMAND | (IsItemChecked(id, mode, nRules) ? MF_CHECKED : MF_UNCHECKED));
    }
    const int count = ClampRuleCount(nRules);
    for (int i = 0; i < count; ++i) {
        int id = kCmdRuleFirst + i;
        CheckMenuItem(popup, id,
                      MF_BYCOMMAND | (IsItemChecked(id, mode, nRules) ? MF_CHECKED : MF_UNCHECKED));
    }
}

void ShowTrayMenu(HWND window, HMENU popup) {
    POINT cursor{};
    GetCursorPos(&cursor);
    SetForegroundWindow(window);
    TrackPopupMenu(popup, TPM_RIGHTALIGN, cursor.x, cursor.y, 0, window, nullptr);
    SetForegroundWindow(window);
}

void StartLogViewer() {
    // The system's own Notepad: without an application name CreateProcessA
    // would look in the program's and the working folder first.
    char viewer[MAX_PATH + 16];
    UINT folder = GetSystemDirectoryA(viewer, MAX_PATH);
    if (folder == 0 || folder >= MAX_PATH) return;
    CopyBounded(viewer + folder, "\\notepad.exe", sizeof viewer - folder);
    char commandLine[64];  // CreateProcessA may write into it
    CopyBounded(commandLine, kLogViewerCommand, sizeof commandLine);
    STARTUPINFOA startup{};
    startup.cb = kStartupInfoSize;
    PROCESS_INFORMATION process{};
    if (CreateProcessA(viewer, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &process)) {
        // The viewer runs on its own; its handles are of no further use.
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}
