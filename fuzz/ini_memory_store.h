// A ProfileStore over an INI document whose "file" is a string in memory: the
// same transaction as IniFileStore (a save starts from the text as it is now,
// applies the writes and puts the new text in place, in the encoding it had),
// without the disk.
#pragma once

#include <string>
#include <utility>

#include "settings/ini_document.h"
#include "settings/ini_encoding.h"
#include "settings/ini_file.h"
#include "settings/profile_store.h"

struct IniMemoryStore {
    std::string* text;
    IniDocument doc;
    IniDocument pending;
    bool saving = false;
    bool writeFailed = false;
    bool pendingUtf16 = false;
};

inline IniMemoryStore* MemorySelf(void* ctx) {
    return static_cast<IniMemoryStore*>(ctx);
}

inline ProfileStore MakeIniMemoryStore(IniMemoryStore* store) {
    ProfileStore p;
    p.ctx = store;
    p.getInt = [](void* ctx, const char* section, const char* key, int32_t def) {
        return IniGetInt(MemorySelf(ctx)->doc, section, key, def);
    };
    p.getString = [](void* ctx, const char* section, const char* key, const char* def, char* buffer,
                     size_t size) {
        IniGetText(MemorySelf(ctx)->doc, section, key, def, buffer, size, IniValuesAreUtf8());
    };
    p.beginSave = [](void* ctx) {
        IniMemoryStore* s = MemorySelf(ctx);
        s->writeFailed = false;
        std::string text = *s->text;
        s->pendingUtf16 = DecodeIniText(&text);
        s->saving = ParseIni(text, &s->pending);
        return s->saving;
    };
    p.writeString = [](void* ctx, const char* section, const char* key, const char* value) {
        IniMemoryStore* s = MemorySelf(ctx);
        if (s->saving && !IniSetString(&s->pending, section, key, value)) s->writeFailed = true;
    };
    p.commitSave = [](void* ctx) {
        IniMemoryStore* s = MemorySelf(ctx);
        if (!s->saving || s->writeFailed || !SerializeIni(s->pending, s->text)) return false;
        if (s->pendingUtf16) EncodeIniTextAsUtf16(s->text);
        s->saving = false;
        s->doc = std::move(s->pending);
        s->pending = IniDocument{};
        return true;
    };
    return p;
}

// Opens the store over text: reads see the text as it is now.
inline void OpenIniMemoryStore(IniMemoryStore* store, std::string* text) {
    store->text = text;
    store->saving = false;
    std::string decoded = *text;
    DecodeIniText(&decoded);
    ParseIni(decoded, &store->doc);
}
