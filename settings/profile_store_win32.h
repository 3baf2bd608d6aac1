// The settings file on Windows: the system's private-profile functions on
// ".\Teleora.ini", the file in the current working folder.
#pragma once

#include "settings/profile_store.h"

constexpr const char* kWin32SettingsPath = ".\\Teleora.ini";

struct Win32ProfileStore {
    char path[260];  // MAX_PATH
};

// A store over path (cut to 259 characters); kWin32SettingsPath for the
// program's own file.
void InitWin32ProfileStore(Win32ProfileStore* store, const char* path);
ProfileStore MakeWin32ProfileStore(Win32ProfileStore* store);
