#include "settings/profile_store_win32.h"

#include <windows.h>

#include "common/text.h"

namespace {

const char* PathOf(void* ctx) {
    return static_cast<Win32ProfileStore*>(ctx)->path;
}

int32_t GetInt(void* ctx, const char* section, const char* key, int32_t defaultValue) {
    return static_cast<int32_t>(GetPrivateProfileIntA(section, key, defaultValue, PathOf(ctx)));
}

void GetString(void* ctx, const char* section, const char* key, const char* defaultValue,
               char* buffer, size_t size) {
    if (size == 0) return;
    DWORD bounded = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(size);
    GetPrivateProfileStringA(section, key, defaultValue, buffer, bounded, PathOf(ctx));
}

// The profile functions write each value straight into the file: there is
// nothing to begin or commit, and a failed write is not reported.
bool BeginSave(void*) {
    return true;
}

void WriteString(void* ctx, const char* section, const char* key, const char* value) {
    WritePrivateProfileStringA(section, key, value, PathOf(ctx));
}

bool CommitSave(void*) {
    return true;
}

}  // namespace

void InitWin32ProfileStore(Win32ProfileStore* store, const char* path) {
    CopyBounded(store->path, path, sizeof store->path);
}

ProfileStore MakeWin32ProfileStore(Win32ProfileStore* store) {
    return ProfileStore{store, &GetInt, &GetString, &BeginSave, &WriteString, &CommitSave};
}
