// The program's INI file store (settings/ini_file.h) with its "file" in a
// string: the same transaction as on disk (a save starts from the text as it
// is now, applies the writes and puts the new text in place, in the encoding
// it had), only the two file operations read and replace the string.
#pragma once

#include <string>

#include "settings/ini_file.h"

inline IniFileAccess MemoryIniFiles(std::string* text) {
    return IniFileAccess{text,
                         [](void* ctx, const char*, std::string* out) {
                             *out = *static_cast<std::string*>(ctx);
                             return IniReadResult::kRead;
                         },
                         [](void* ctx, const char*, const std::string& in) {
                             *static_cast<std::string*>(ctx) = in;
                             return true;
                         }};
}

// Opens the store over text: reads see the text as it is now, saves replace it.
inline void OpenIniMemoryStore(IniFileStore* store, std::string* text) {
    store->files = MemoryIniFiles(text);
    OpenIniFileStore(store, "");
}
