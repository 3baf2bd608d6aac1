// The configuration dialog on Windows: dialog resource 104 bound to the
// portable dialog behaviour. The dialog procedure forwards the controls'
// notifications to the On... functions; the DialogView writes and reads the
// controls.
#pragma once

#include <windows.h>

#include "app/dialog/config_dialog.h"

struct Win32ConfigDialog {
    ConfigDialog core;
    HWND window;  // the open dialog, or null
};

// Prepares the binding: core's view talks to the controls of the open dialog.
void InitWin32ConfigDialog(Win32ConfigDialog* dialog, SharedState* shared,
                           const DialUpService* service);

// Runs the dialog modally, owned by owner, and returns kDialogOk or
// kDialogCancel. Must not be called while the dialog is open.
int RunConfigDialog(Win32ConfigDialog* dialog, HINSTANCE instance, HWND owner);

// Creates the dialog without a modal loop (for tests that drive it).
HWND CreateConfigDialogModeless(Win32ConfigDialog* dialog, HINSTANCE instance, HWND owner);
