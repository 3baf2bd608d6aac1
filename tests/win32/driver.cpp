#include "driver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

std::string TestBinDir() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string full(path, n);
    return full.substr(0, full.find_last_of("\\/"));
}

std::string General(int tDelay, int bDropAny, const char* entry, int rules) {
    return "[Generale]\r\ntDelay=" + std::to_string(tDelay) +
           "\r\nbDropAny=" + std::to_string(bDropAny) + "\r\nszRasEntry=" + entry +
           "\r\nnUserEntries=" + std::to_string(rules) + "\r\n";
}

namespace {

struct Search {
    DWORD pid;
    const char* className;
    const char* title;
    bool visibleOnly;
    std::vector<HWND> found;
};

BOOL CALLBACK Collect(HWND window, LPARAM param) {
    Search* search = reinterpret_cast<Search*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != search->pid) return TRUE;
    if (search->visibleOnly && !IsWindowVisible(window)) return TRUE;
    char className[128];
    GetClassNameA(window, className, sizeof className);
    if (strcmp(className, search->className) != 0) return TRUE;
    if (search->title != nullptr) {
        char title[256];
        GetWindowTextA(window, title, sizeof title);
        if (strcmp(title, search->title) != 0) return TRUE;
    }
    search->found.push_back(window);
    return TRUE;
}

std::vector<HWND> ProcessWindows(DWORD pid, const char* className, const char* title,
                                 bool visibleOnly) {
    Search search{pid, className, title, visibleOnly, {}};
    EnumWindows(&Collect, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// Length of the "d/m/yyyy hh:mm:ss: " stamp at the start of line, or 0.
size_t StampLength(const std::string& line) {
    int day, month, year, hour, minute, second, consumed = 0;
    if (sscanf(line.c_str(), "%d/%d/%d %2d:%2d:%2d: %n", &day, &month, &year, &hour, &minute,
               &second, &consumed) != 6 ||
        consumed == 0) {
        return 0;
    }
    return static_cast<size_t>(consumed);
}

}  // namespace

bool Launch(TeleoraRun* run, const std::string& dir) {
    run->dir = dir;
    std::string exe = TestBinDir() + "\\Teleora.exe";
    std::string commandLine = "\"" + exe + "\"";
    std::vector<char> writable(commandLine.begin(), commandLine.end());
    writable.push_back('\0');
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessA(exe.c_str(), writable.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        dir.c_str(), &startup, &run->process)) {
        return false;
    }
    DWORD pid = run->process.dwProcessId;
    return WaitUntil([&] {
        std::vector<HWND> windows = ProcessWindows(pid, "BreskTeleoraClass", nullptr, false);
        if (windows.empty()) return false;
        run->tray = windows.front();
        return true;
    });
}

DWORD WaitForExit(TeleoraRun* run, DWORD timeoutMs) {
    if (run->process.hProcess == nullptr) return STILL_ACTIVE;
    WaitForSingleObject(run->process.hProcess, timeoutMs);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(run->process.hProcess, &code);
    return code;
}

void Finish(TeleoraRun* run) {
    if (run->process.hProcess == nullptr) return;
    if (WaitForSingleObject(run->process.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(run->process.hProcess, 99);
        WaitForSingleObject(run->process.hProcess, 5000);
    }
    CloseHandle(run->process.hThread);
    CloseHandle(run->process.hProcess);
    run->process = PROCESS_INFORMATION{};
}

HWND FindProcessWindow(DWORD pid, const char* className, const char* title) {
    std::vector<HWND> windows = ProcessWindows(pid, className, title, true);
    return windows.empty() ? nullptr : windows.front();
}

HWND WaitForProcessWindow(DWORD pid, const char* className, const char* title, DWORD timeoutMs) {
    HWND found = nullptr;
    WaitUntil(
        [&] {
            found = FindProcessWindow(pid, className, title);
            return found != nullptr && Sync(found);
        },
        timeoutMs);
    return found;
}

int CountProcessWindows(DWORD pid, const char* className, const char* title) {
    return static_cast<int>(ProcessWindows(pid, className, title, false).size());
}

bool Sync(HWND window) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 10000, &result) != 0;
}

void PostCommand(const TeleoraRun& run, int commandId) {
    PostMessageA(run.tray, WM_COMMAND, static_cast<WPARAM>(commandId), 0);
}

void ClickTrayIcon(const TeleoraRun& run, UINT mouseMessage) {
    PostMessageA(run.tray, WM_USER + 10, 69, mouseMessage);
}

bool WaitForKeyboard(HWND window, DWORD timeoutMs) {
    const DWORD thread = GetWindowThreadProcessId(window, nullptr);
    char className[16] = "";
    GetClassNameA(window, className, sizeof className);
    const bool menu = strcmp(className, "#32768") == 0;
    return WaitUntil(
        [&] {
            GUITHREADINFO info{};
            info.cbSize = sizeof info;
            HWND front = GetForegroundWindow();
            if (front == nullptr || GetWindowThreadProcessId(front, nullptr) != thread ||
                !GetGUIThreadInfo(thread, &info)) {
                return false;
            }
            return menu ? (info.flags & GUI_INMENUMODE) != 0 && IsWindowVisible(window)
                        : front == window;
        },
        timeoutMs);
}

HWND WaitForMenu(DWORD pid) {
    HWND popup = WaitForProcessWindow(pid, "#32768", nullptr);
    return popup != nullptr && WaitForKeyboard(popup) ? popup : nullptr;
}

bool ChooseMenuItemByKeyboard(const TeleoraRun& run, int downs) {
    HWND popup = WaitForMenu(run.process.dwProcessId);
    if (popup == nullptr) return false;
    for (int i = 0; i < downs; ++i) PostMessageA(popup, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageA(popup, WM_KEYDOWN, VK_RETURN, 0);
    return WaitUntil([&] { return !IsWindowVisible(popup); });
}

void SetFieldText(HWND dialog, int control, const char* text) {
    SetDlgItemTextA(dialog, control, text);
}

std::string FieldText(HWND dialog, int control) {
    char text[1024] = "";
    GetDlgItemTextA(dialog, control, text, sizeof text);
    return text;
}

void ClickButton(HWND dialog, int control) {
    PostMessageA(GetDlgItem(dialog, control), BM_CLICK, 0, 0);
}

void SelectListLine(HWND dialog, int control, int index) {
    HWND list = GetDlgItem(dialog, control);
    SendMessageA(list, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
    // Sent, not posted: a message sent after a posted one (as Sync's) is
    // handled first, so only this returns once the fields are filled.
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(dialog, WM_COMMAND, MAKEWPARAM(control, LBN_SELCHANGE),
                        reinterpret_cast<LPARAM>(list), SMTO_ABORTIFHUNG, 10000, &ignored);
}

int ListCount(HWND dialog, int control) {
    return static_cast<int>(SendDlgItemMessageA(dialog, control, LB_GETCOUNT, 0, 0));
}

// The W forms: across processes Wine returns only one character of the A forms.
static std::string Narrow(const wchar_t* text) {
    char out[1024];
    int n = WideCharToMultiByte(CP_ACP, 0, text, -1, out, sizeof out, nullptr, nullptr);
    return n > 0 ? std::string(out) : std::string();
}

std::string ListLine(HWND dialog, int control, int index) {
    wchar_t text[512] = L"";
    HWND list = GetDlgItem(dialog, control);
    if (SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0) >= 511) return "<long>";
    SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text));
    return Narrow(text);
}

int ComboCount(HWND dialog, int control) {
    return static_cast<int>(SendDlgItemMessageA(dialog, control, CB_GETCOUNT, 0, 0));
}

std::string ComboLine(HWND dialog, int control, int index) {
    wchar_t text[512] = L"";
    HWND combo = GetDlgItem(dialog, control);
    if (SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0) >= 511) return "<long>";
    SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text));
    return Narrow(text);
}

bool IsChecked(HWND dialog, int control) {
    return SendDlgItemMessageA(dialog, control, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

static BOOL CALLBACK AppendText(HWND child, LPARAM param) {
    char text[512] = "";
    GetWindowTextA(child, text, sizeof text);
    std::string* out = reinterpret_cast<std::string*>(param);
    if (!out->empty()) *out += "|";
    *out += text;
    return TRUE;
}

std::string ChildTexts(HWND window) {
    std::string texts;
    EnumChildWindows(window, &AppendText, reinterpret_cast<LPARAM>(&texts));
    return texts;
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::vector<std::string> LogEntries(const std::string& dir) {
    std::vector<std::string> entries;
    for (const std::string& line : SplitLines(ReadText(dir + "\\teleoralog.txt"))) {
        size_t stamp = StampLength(line);
        entries.push_back(stamp == 0 ? "<no stamp> " + line : line.substr(stamp));
    }
    return entries;
}

bool LogStampsWellFormed(const std::string& dir) {
    std::string text = ReadText(dir + "\\teleoralog.txt");
    if (text.empty() || text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0)
        return false;
    for (const std::string& line : SplitLines(text)) {
        if (StampLength(line) == 0) return false;
    }
    return true;
}

std::vector<std::string> RasCalls(const std::string& dir) {
    return SplitLines(ReadText(dir + "\\rascalls.txt"));
}

std::vector<std::string> CallsStartingWith(const std::string& dir, const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& call : RasCalls(dir)) {
        if (call.compare(0, prefix.size(), prefix) == 0) out.push_back(call);
    }
    return out;
}

int CountLines(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

int IniInt(const std::string& dir, const char* section, const char* key, int missing) {
    std::string path = dir + "\\Teleora.ini";
    return static_cast<int>(GetPrivateProfileIntA(section, key, missing, path.c_str()));
}

std::string IniString(const std::string& dir, const char* section, const char* key,
                      const char* missing) {
    std::string path = dir + "\\Teleora.ini";
    char value[1024];
    GetPrivateProfileStringA(section, key, missing, value, sizeof value, path.c_str());
    return value;
}

HWND WaitForTrayIconWindow(DWORD timeoutMs) {
    HWND icon = nullptr;
    WaitUntil(
        [&] {
            HWND area = FindWindowA("__winex11_standalone_tray", nullptr);
            icon = area == nullptr ? nullptr
                                   : FindWindowExA(area, nullptr, "__winex11_tray_icon", nullptr);
            return icon != nullptr && IsWindowVisible(icon);
        },
        timeoutMs);
    return icon != nullptr && IsWindowVisible(icon) ? icon : nullptr;
}

void MouseClick(HWND window, bool rightButton) {
    RECT r;
    GetClientRect(window, &r);
    MouseClickAt(window, (r.left + r.right) / 2, (r.top + r.bottom) / 2, rightButton);
}

void MouseClickAt(HWND window, int x, int y, bool rightButton) {
    POINT p{x, y};
    ClientToScreen(window, &p);
    const LONG width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    INPUT inputs[3]{};
    for (INPUT& input : inputs) input.type = INPUT_MOUSE;
    inputs[0].mi.dx = p.x * 65535 / (width - 1);
    inputs[0].mi.dy = p.y * 65535 / (height - 1);
    inputs[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    inputs[1].mi.dwFlags = rightButton ? MOUSEEVENTF_RIGHTDOWN : MOUSEEVENTF_LEFTDOWN;
    inputs[2].mi.dwFlags = rightButton ? MOUSEEVENTF_RIGHTUP : MOUSEEVENTF_LEFTUP;
    SendInput(3, inputs, sizeof(INPUT));
}

void TypeInto(HWND dialog, int control, const char* text) {
    HWND field = GetDlgItem(dialog, control);
    SendMessageA(field, EM_SETSEL, 0, -1);
    for (const char* key = text; *key != '\0'; ++key) {
        SendMessageA(field, WM_CHAR, static_cast<WPARAM>(static_cast<unsigned char>(*key)), 1);
    }
}

void PressKeyboardKey(WORD key) {
    INPUT inputs[2]{};
    for (INPUT& input : inputs) {
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = key;
    }
    inputs[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, inputs, sizeof(INPUT));
}

bool ChooseMenuItemWithKeys(const TeleoraRun& run, int downs) {
    HWND popup = WaitForMenu(run.process.dwProcessId);
    if (popup == nullptr) return false;
    for (int i = 0; i < downs; ++i) PressKeyboardKey(VK_DOWN);
    PressKeyboardKey(VK_RETURN);
    return WaitUntil([&] { return !IsWindowVisible(popup); });
}
