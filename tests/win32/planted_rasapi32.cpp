// A stranger's rasapi32.dll left beside the test programs and Teleora.exe
// (tests only): it leaves a marker file in the working folder if it is ever
// loaded. It exports nothing, so a program that took it would also find none
// of the service's functions.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        HANDLE file = CreateFileA("planted-rasapi32-loaded.txt", GENERIC_WRITE, 0, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }
    return TRUE;
}
