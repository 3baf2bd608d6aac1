// The seam between the settings file's rules and the place the values live:
// the portable INI store (settings/ini_file.h) or, on Windows, the system's
// private-profile functions. Reads go key by key; a save is one transaction
// (BeginSave, any number of WriteString, CommitSave), so a store that can
// replace its file atomically does so once per save.
#pragma once

#include <cstddef>
#include <cstdint>

struct ProfileStore {
    void* ctx;
    // The integer at the start of the value (GetPrivateProfileIntA's rules);
    // the default when the key is absent or its value empty.
    int32_t (*getInt)(void* ctx, const char* section, const char* key, int32_t defaultValue);
    // Copies the value, or the default when the key is absent, into buffer,
    // cut to size - 1 characters and always terminated.
    void (*getString)(void* ctx, const char* section, const char* key, const char* defaultValue,
                      char* buffer, size_t size);
    // Starts a save. Returns false when the save cannot happen at all.
    bool (*beginSave)(void* ctx);
    // Sets section/key to value, creating the section or key when needed.
    void (*writeString)(void* ctx, const char* section, const char* key, const char* value);
    // Ends the save. Returns false when the file could not be written; the
    // file then stays as it was before the save.
    bool (*commitSave)(void* ctx);
};
