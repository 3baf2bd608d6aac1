// The Windows tray program's pieces below the window procedure: the tray
// icon, the popup menu's items and check marks, and the log viewer. Each
// translates between the portable core and the Win32 calls, nothing more.
#pragma once

#include <windows.h>

#include "resources/ui_texts.h"
#include "settings/settings.h"

constexpr const char* kWindowClassName = "BreskTeleoraClass";
constexpr UINT kTrayIconId = 69;
constexpr UINT kTrayCallbackMessage = WM_USER + 10;  // 1034
constexpr const char* kTrayTip = UI_PROGRAM_NAME;

// The shell's records in the version the program is built against.
#ifdef _WIN64
constexpr UINT kNotifyIconDataSize = 104;
constexpr UINT kMenuItemInfoSize = 72;
constexpr DWORD kStartupInfoSize = 104;
#else
constexpr UINT kNotifyIconDataSize = 88;
constexpr UINT kMenuItemInfoSize = 44;
constexpr DWORD kStartupInfoSize = 68;
#endif

// Adds the notification-area icon: cbSize kNotifyIconDataSize (88 in the
// 32-bit program, 104 in the 64-bit build), window and id, and a flag for
// each optional argument given (callbackMessage non-zero, icon, tip).
void AddTrayIcon(HWND window, UINT id, UINT callbackMessage, HICON icon, const char* tip);
void RemoveTrayIcon(HWND window, UINT id);

// Deletes the items 41000-41009 and inserts one item per rule of table,
// rule i at position 3 + i with id 41000 + i.
void RebuildRuleMenuItems(HMENU popup, const RuleTable& table);

// Checks exactly the item that shows mode (WM_INITMENUPOPUP).
void SetMenuCheckMarks(HMENU popup, Mode mode, int32_t nRules);

// Opens popup at the cursor, its top-right corner there, owned by window;
// returns when it closes (the chosen command arrives as WM_COMMAND).
void ShowTrayMenu(HWND window, HMENU popup);

// The program that shows the log: the system folder's Notepad, else the
// Windows folder's, else the program the system associates with the log.
// A Notepad of the working or the program's folder is never one of them.
enum class LogViewer { kSystemNotepad, kWindowsNotepad, kAssociatedProgram };
LogViewer ChooseLogViewer(bool systemNotepadExists, bool windowsNotepadExists);

// Starts the viewer ChooseLogViewer names, a Notepad with the command line
// "notepad.exe " followed by the log's file name, without waiting for it; a
// failure is ignored.
void StartLogViewer();
