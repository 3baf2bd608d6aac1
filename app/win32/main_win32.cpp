// Teleora's Windows entry point and tray window. The window procedure turns
// messages into calls of the portable core: the menu commands go to
// RunMenuCommand, whose host below supplies the dialog, the menu's rule
// items, the settings file, the log viewer and the exit.
//
// While the configuration dialog is open the tray menu still works (the core
// raises the open dialog for a second "Configurazione..." and cancels it
// before "Esci" or the session's end). The dialog's modal loop is running
// then, so "Esci" destroys the tray window once that loop has returned. The
// end of the Windows session cannot wait for that: Windows may end the
// process as soon as WM_ENDSESSION returns, so there the tray window (the
// dialog's owner, which takes the dialog with it) is destroyed at once, and
// "Teleora stopped" is written before the message returns.
#include <windows.h>

#include "app/menu.h"
#include "app/win32/config_dialog_win32.h"
#include "app/win32/shell_win32.h"
#include "dialup/ras_dialup_win32.h"
#include "log/event_log.h"
#include "resources/resource_ids.h"
#include "settings/profile_store_win32.h"
#include "settings/settings_file.h"
#include "settings/shared_state.h"
#include "supervisor/supervisor.h"

namespace {

struct App {
    HINSTANCE instance;
    HWND window;
    HMENU menu;
    HMENU popup;
    HICON icon;
    UINT taskbarCreated;  // the shell's notice that the notification area is new
    RasDialUp ras;
    DialUpService service;
    Win32ProfileStore storeFile;
    ProfileStore store;
    SharedState shared;
    Supervisor supervisor;
    Win32ConfigDialog dialog;
    Settings live;  // the user-interface thread's copy of the live settings
    MenuHost host;
    bool destroyAfterDialog;  // "Esci" came while the dialog was open
    bool sessionEnding;       // WM_ENDSESSION: nothing may wait
};

App g_app;

int HostRunConfigDialog(void* ctx) {
    App* app = static_cast<App*>(ctx);
    int result = RunConfigDialog(&app->dialog, app->instance, app->window);
    if (app->destroyAfterDialog) DestroyWindow(app->window);
    return result;
}

void HostRebuildRuleItems(void* ctx) {
    App* app = static_cast<App*>(ctx);
    CopyLiveSettings(&app->shared, &app->live);
    RebuildRuleMenuItems(app->popup, app->live.ruleTable);
}

void HostSaveSettings(void* ctx) {
    App* app = static_cast<App*>(ctx);
    CopyLiveSettings(&app->shared, &app->live);
    SaveSettings(app->store, app->live);
}

void HostShowLog(void*) {
    StartLogViewer();
}

// Destroys the tray window, or, while the cancelled dialog's modal loop is
// still running, leaves that to the end of the loop (not so at the session's
// end).
void HostExitProgram(void* ctx) {
    App* app = static_cast<App*>(ctx);
    if (app->dialog.window != nullptr && !app->sessionEnding) {
        app->destroyAfterDialog = true;
        return;
    }
    app->destroyAfterDialog = false;
    DestroyWindow(app->window);
}

bool HostDialogOpen(void* ctx) {
    return static_cast<App*>(ctx)->dialog.window != nullptr;
}

void HostRaiseDialog(void* ctx) {
    SetForegroundWindow(static_cast<App*>(ctx)->dialog.window);
}

void HostCancelDialog(void* ctx) {
    OnCancel(&static_cast<App*>(ctx)->dialog.core);
}

void OnCreate(App* app, HWND window) {
    app->window = window;
    LogProgramStarted();
    app->menu = LoadMenuA(app->instance, MAKEINTRESOURCEA(IDR_TRAYMENU));
    app->popup = GetSubMenu(app->menu, 0);
    HostRebuildRuleItems(app);
    StartSupervisor(&app->supervisor);
}

void OnInitMenuPopup(App* app) {
    CopyLiveSettings(&app->shared, &app->live);
    SetMenuCheckMarks(app->popup, CurrentMode(&app->shared), app->live.ruleTable.nUserEntries);
}

void ShowIcon(App* app) {
    AddTrayIcon(app->window, kTrayIconId, kTrayCallbackMessage, app->icon, kTrayTip);
}

LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    App* app = &g_app;
    switch (message) {
        case WM_CREATE:
            OnCreate(app, window);
            break;
        case WM_DESTROY:
            LogProgramStopped();
            PostQuitMessage(0);
            break;
        case WM_ENDSESSION:
            // Everything is done before the message returns.
            app->sessionEnding = true;
            EndProgram(app->host);
            break;
        case WM_COMMAND:
            RunMenuCommand(app->host, &app->shared, app->supervisor.wake, LOWORD(wParam));
            break;
        case WM_INITMENUPOPUP:
            OnInitMenuPopup(app);
            break;
        case kTrayCallbackMessage:
            if (lParam == WM_LBUTTONUP || lParam == WM_RBUTTONUP) ShowTrayMenu(window, app->popup);
            break;
        default:
            // A restarted shell has forgotten the icon: it is added again.
            if (message == app->taskbarCreated && message != 0) ShowIcon(app);
            break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// DLLs the process loads by name (its own and those the system loads for
// it) come from the system folder only, never from the program's folder or
// the working folder. Windows without the function keeps its usual order.
void LoadDllsFromSystemFolderOnly() {
    auto setDefault = reinterpret_cast<BOOL(WINAPI*)(DWORD)>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories")));
    if (setDefault != nullptr) setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    LoadDllsFromSystemFolderOnly();
    App* app = &g_app;
    InitRasDialUpService(&app->ras, &app->service);
    InitConnectionBuffer(&app->supervisor.buffer, app->service);
    app->instance = instance;

    EventLog log{kLogFileName, SystemClock(), ErrorTextOf(&app->service)};
    ConfigureEventLog(log);
    InitWin32ProfileStore(&app->storeFile, kWin32SettingsPath);
    app->store = MakeWin32ProfileStore(&app->storeFile);
    LoadSettings(app->store, &app->live);
    InitSharedState(&app->shared, app->live);

    app->supervisor.service = &app->service;
    app->supervisor.shared = &app->shared;
    app->supervisor.clock = SystemClock();
    app->supervisor.log = log;
    InitWin32ConfigDialog(&app->dialog, &app->shared, &app->service);
    app->host = MenuHost{.ctx = app,
                         .runConfigDialog = &HostRunConfigDialog,
                         .rebuildRuleItems = &HostRebuildRuleItems,
                         .saveSettings = &HostSaveSettings,
                         .showLog = &HostShowLog,
                         .exitProgram = &HostExitProgram,
                         .dialogOpen = &HostDialogOpen,
                         .raiseDialog = &HostRaiseDialog,
                         .cancelDialog = &HostCancelDialog};

    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = &TrayWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowClassName;
    if (RegisterClassA(&windowClass) == 0) return 1;
    app->taskbarCreated = RegisterWindowMessageA("TaskbarCreated");
    app->icon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_TELEORA));

    HWND window = CreateWindowExA(0, kWindowClassName, nullptr, 0, CW_USEDEFAULT, 0, CW_USEDEFAULT,
                                  0, nullptr, nullptr, instance, nullptr);
    // Without the window nothing could ever end the message loop.
    if (window == nullptr) return 1;
    ShowIcon(app);

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    RemoveTrayIcon(window, kTrayIconId);
    return 0;
}
