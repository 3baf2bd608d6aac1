// Puts the test double of rasapi32.dll (built into the "system" folder beside
// this program) into the system folder of the Wine prefix, where the program
// loads the dial-up client from. Run before the tests; exit code 0 when done.
#include <windows.h>

#include <cstdio>
#include <string>

int main() {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string self(path, length);
    std::string from = self.substr(0, self.find_last_of("\\/")) + "\\system\\rasapi32.dll";
    UINT folder = GetSystemDirectoryA(path, sizeof path);
    if (folder == 0 || folder >= sizeof path) return 1;
    std::string to = std::string(path, folder) + "\\rasapi32.dll";
    if (!CopyFileA(from.c_str(), to.c_str(), FALSE)) {
        fprintf(stderr, "cannot copy %s to %s: error %lu\n", from.c_str(), to.c_str(),
                GetLastError());
        return 1;
    }
    return 0;
}
