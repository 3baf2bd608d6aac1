// Poses the running Teleora.exe for the screenshots of the README: opens its
// dialog on a rule, chooses a mode, ends it, and prints the screen
// rectangles to crop. Not a test; scripts/test-windows.sh runs it.
//   pose command ID        posts menu command ID to the tray window
//   pose icon              prints the screen position of the middle of the
//                          tray icon: "x y"
//   pose menu              waits for the open popup menu, prints its rectangle
//                          and the tray's, joined: "left top right bottom"
//   pose escape            presses Escape in the open popup menu and waits
//                          until no menu of the program is shown
//   pose dialog INDEX      opens "Configurazione...", selects rule INDEX,
//                          prints the dialog's rectangle
//   pose cancel            closes the open dialog with "Annulla"
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver.h"

namespace {

DWORD TeleoraPid(HWND* tray) {
    *tray = nullptr;
    WaitUntil([&] { return (*tray = FindWindowA("BreskTeleoraClass", nullptr)) != nullptr; });
    DWORD pid = 0;
    if (*tray != nullptr) GetWindowThreadProcessId(*tray, &pid);
    return pid;
}

void PrintRect(RECT r) {
    printf("%ld %ld %ld %ld\n", r.left, r.top, r.right, r.bottom);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    HWND tray = nullptr;
    DWORD pid = TeleoraPid(&tray);
    if (pid == 0) return 1;
    if (strcmp(argv[1], "command") == 0 && argc == 3) {
        PostMessageA(tray, WM_COMMAND, static_cast<WPARAM>(atoi(argv[2])), 0);
        return Sync(tray) ? 0 : 1;
    }
    if (strcmp(argv[1], "icon") == 0) {
        // The window exists a moment before its icon is added.
        HWND icon = nullptr;
        WaitUntil([&] {
            HWND area = FindWindowA("__winex11_standalone_tray", nullptr);
            if (area == nullptr) return false;
            icon = FindWindowExA(area, nullptr, "__winex11_tray_icon", nullptr);
            return icon != nullptr && IsWindowVisible(icon);
        });
        if (icon == nullptr) return 1;
        RECT r;
        GetWindowRect(icon, &r);
        printf("%ld %ld\n", (r.left + r.right) / 2, (r.top + r.bottom) / 2);
        return 0;
    }
    if (strcmp(argv[1], "menu") == 0) {
        HWND popup = WaitForProcessWindow(pid, "#32768", nullptr);
        if (popup == nullptr) return 1;
        RECT menu, area;
        GetWindowRect(popup, &menu);
        GetWindowRect(FindWindowA("__winex11_standalone_tray", nullptr), &area);
        UnionRect(&area, &area, &menu);
        PrintRect(area);
        return 0;
    }
    if (strcmp(argv[1], "escape") == 0) {
        HWND popup = WaitForMenu(pid);
        if (popup == nullptr) return 1;
        PostMessageA(popup, WM_KEYDOWN, VK_ESCAPE, 0);
        return WaitUntil([&] { return !IsWindowVisible(popup); }) ? 0 : 1;
    }
    if (strcmp(argv[1], "dialog") == 0 && argc == 3) {
        PostMessageA(tray, WM_COMMAND, 40004, 0);
        HWND dialog = WaitForProcessWindow(pid, "#32770", "Configurazione");
        if (dialog == nullptr) return 1;
        SelectListLine(dialog, 1005, atoi(argv[2]));
        RECT r;
        GetWindowRect(dialog, &r);
        PrintRect(r);
        return 0;
    }
    if (strcmp(argv[1], "cancel") == 0) {
        HWND dialog = FindProcessWindow(pid, "#32770", "Configurazione");
        if (dialog == nullptr) return 1;
        ClickButton(dialog, IDCANCEL);
        return WaitUntil([&] { return !IsWindow(dialog); }) ? 0 : 1;
    }
    return 2;
}
