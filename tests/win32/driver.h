// Drives a real Teleora.exe from outside, as a user would through messages:
// starts it in a working folder, finds its hidden tray window and its dialog,
// posts menu commands, types into fields, clicks buttons and reads back the
// log, the calls the test double of rasapi32.dll saw and the settings file.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The tray menu's command identifiers.
enum : int {
    kConnesso = 40001,
    kDisconnesso = 40003,
    kConfigurazione = 40004,
    kEsci = 40005,
    kDisabilitato = 40006,
    kLog = 40008,
    kRule0 = 41000,
};

// The [Generale] section of a Teleora.ini, CR LF ended.
std::string General(int tDelay, int bDropAny, const char* entry, int rules);

struct TeleoraRun {
    std::string dir;  // its working folder
    PROCESS_INFORMATION process{};
    HWND tray = nullptr;
};

// The folder of the running test program (Teleora.exe and the double sit there).
std::string TestBinDir();

// Starts Teleora.exe in dir and waits until its tray window exists.
bool Launch(TeleoraRun* run, const std::string& dir);
// Waits for the process to end; returns its exit code, or STILL_ACTIVE.
DWORD WaitForExit(TeleoraRun* run, DWORD timeoutMs);
// Ends the process if it still runs and closes the handles.
void Finish(TeleoraRun* run);

// Polls condition every 20 ms until it holds or timeoutMs have passed.
template <typename Condition>
bool WaitUntil(Condition condition, DWORD timeoutMs = 20000) {
    DWORD start = GetTickCount();
    for (;;) {
        if (condition()) return true;
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(20);
    }
}

// A visible top-level window of the process with that class and title (null
// title: any), or null.
HWND FindProcessWindow(DWORD pid, const char* className, const char* title);
// Waits for such a window that is visible and answers messages.
HWND WaitForProcessWindow(DWORD pid, const char* className, const char* title,
                          DWORD timeoutMs = 20000);
int CountProcessWindows(DWORD pid, const char* className, const char* title);

// Sends WM_NULL and waits for the answer: everything posted before is handled.
bool Sync(HWND window);

// Waits until keys pressed on the keyboard go to window: it is in front (for
// a popup menu: its thread is in front and in the menu's loop).
bool WaitForKeyboard(HWND window, DWORD timeoutMs = 20000);
// The process's open popup menu once its loop reads the keyboard, or null.
HWND WaitForMenu(DWORD pid);

void PostCommand(const TeleoraRun& run, int commandId);
// The tray icon's callback for a mouse-button release: opens the popup menu.
void ClickTrayIcon(const TeleoraRun& run, UINT mouseMessage = WM_RBUTTONUP);
// With the popup open: moves down `downs` times and presses Enter.
bool ChooseMenuItemByKeyboard(const TeleoraRun& run, int downs);

// Dialog controls.
void SetFieldText(HWND dialog, int control, const char* text);
std::string FieldText(HWND dialog, int control);
void ClickButton(HWND dialog, int control);
// Selects line index of the list as a click would (with its notification).
void SelectListLine(HWND dialog, int control, int index);
int ListCount(HWND dialog, int control);
std::string ListLine(HWND dialog, int control, int index);
int ComboCount(HWND dialog, int control);
std::string ComboLine(HWND dialog, int control, int index);
bool IsChecked(HWND dialog, int control);
// The texts of a window's child controls, joined with '|'.
std::string ChildTexts(HWND window);

// Files of the working folder.
void WriteText(const std::string& path, const std::string& text);
std::string ReadText(const std::string& path);
// The log's lines without their time stamps ("RasDial (Office) retcode 0: Success.").
std::vector<std::string> LogEntries(const std::string& dir);
// True when every line of the log starts with a "d/m/yyyy hh:mm:ss: " stamp.
bool LogStampsWellFormed(const std::string& dir);
// The calls the test double recorded, one per line.
std::vector<std::string> RasCalls(const std::string& dir);
std::vector<std::string> CallsStartingWith(const std::string& dir, const std::string& prefix);
int CountLines(const std::vector<std::string>& lines, const std::string& line);
int IniInt(const std::string& dir, const char* section, const char* key, int missing = -12345);
std::string IniString(const std::string& dir, const char* section, const char* key,
                      const char* missing = "<absent>");

// As a person's hands do it.
// The icon's window in Wine's own notification area ("Wine System Tray"),
// once one is shown, or null after timeoutMs.
HWND WaitForTrayIconWindow(DWORD timeoutMs = 20000);
// Moves the mouse to the middle of window and clicks there (SendInput: the
// input goes through the system's queue to whatever window is under it).
void MouseClick(HWND window, bool rightButton);
// The same at point (x, y) of window's client area.
void MouseClickAt(HWND window, int x, int y, bool rightButton);
// Selects the whole text of an edit control and types text one key at a time.
void TypeInto(HWND dialog, int control, const char* text);
// A key pressed on the keyboard (SendInput): it goes to the window in front.
void PressKeyboardKey(WORD key);
// With the popup open: Down `downs` times and Enter on the keyboard.
bool ChooseMenuItemWithKeys(const TeleoraRun& run, int downs);
