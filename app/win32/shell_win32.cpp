#include "app/win32/shell_win32.h"

#include <shellapi.h>

#include <cstddef>

#include "app/menu.h"
#include "common/text.h"
#include "log/event_log.h"
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

LogViewer ChooseLogViewer(bool systemNotepadExists, bool windowsNotepadExists) {
    if (systemNotepadExists) return LogViewer::kSystemNotepad;
    if (windowsNotepadExists) return LogViewer::kWindowsNotepad;
    return LogViewer::kAssociatedProgram;
}

namespace {

// folder's notepad.exe into path (MAX_PATH + 16 bytes), when it is a file.
bool NotepadIn(UINT(WINAPI* folder)(LPSTR, UINT), char* path, size_t size) {
    UINT length = folder(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    CopyBounded(path + length, "\\notepad.exe", size - length);
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The Notepad is named by its full path: without an application name
// CreateProcessA would look in the program's and the working folder first.
void StartNotepad(const char* notepad) {
    char commandLine[64] = "notepad.exe ";  // CreateProcessA may write into it
    size_t used = BoundedLength(commandLine, sizeof commandLine);
    CopyBounded(commandLine + used, kLogFileName, sizeof commandLine - used);
    STARTUPINFOA startup{};
    startup.cb = kStartupInfoSize;
    PROCESS_INFORMATION process{};
    if (CreateProcessA(notepad, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &process)) {
        // The viewer runs on its own; its handles are of no further use.
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

// The log by its full path, so that nothing but the working folder's log
// can be the file opened. The shell opens only a file that exists: a missing
// log is created empty first, through the log's own open (which refuses a
// link or a folder in its place). Whatever still fails is not shown.
void OpenWithAssociatedProgram() {
    char path[MAX_PATH];
    DWORD length = GetFullPathNameA(kLogFileName, sizeof path, path, nullptr);
    if (length == 0 || length >= sizeof path) return;
    if (!LogFile(path).isOpen()) return;
    SHELLEXECUTEINFOA open{};
    open.cbSize = sizeof open;
    open.fMask = SEE_MASK_FLAG_NO_UI;
    open.lpVerb = "open";
    open.lpFile = path;
    open.nShow = SW_SHOWNORMAL;
    ShellExecuteExA(&open);
}

}  // namespace

void StartLogViewer() {
    char system[MAX_PATH + 16];
    char windows[MAX_PATH + 16];
    bool inSystem = NotepadIn(&GetSystemDirectoryA, system, sizeof system);
    bool inWindows = NotepadIn(&GetSystemWindowsDirectoryA, windows, sizeof windows);
    switch (ChooseLogViewer(inSystem, inWindows)) {
        case LogViewer::kSystemNotepad:
            StartNotepad(system);
            break;
        case LogViewer::kWindowsNotepad:
            StartNotepad(windows);
            break;
        case LogViewer::kAssociatedProgram:
            OpenWithAssociatedProgram();
            break;
    }
}
