#include "settings/ini_file.h"

#include <new>
#include <utility>

#include "settings/ini_encoding.h"

namespace {

IniFileStore* Self(void* ctx) {
    return static_cast<IniFileStore*>(ctx);
}

int32_t StoreGetInt(void* ctx, const char* section, const char* key, int32_t defaultValue) {
    return IniGetInt(Self(ctx)->doc, section, key, defaultValue);
}

void StoreGetString(void* ctx, const char* section, const char* key, const char* defaultValue,
                    char* buffer, size_t size) {
    IniFileStore* store = Self(ctx);
    IniGetText(store->doc, section, key, defaultValue, buffer, size, store->utf8Values);
}

// The save starts from the file as it is now, so that what others wrote since
// it was opened is kept. A file that exists but cannot be read is not
// overwritten.
bool StoreBeginSave(void* ctx) {
    IniFileStore* store = Self(ctx);
    store->saving = false;
    store->writeFailed = false;
    store->pending = IniDocument{};
    store->pendingUtf16 = false;
    std::string text;
    IniReadResult read = IniReadResult::kFailed;
    try {
        read = store->files.read(store->files.ctx, store->path.c_str(), &text);
        if (read == IniReadResult::kRead) store->pendingUtf16 = DecodeIniText(&text);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (read == IniReadResult::kFailed) return false;
    if (read == IniReadResult::kRead && !ParseIni(std::move(text), &store->pending)) return false;
    store->saving = true;
    return true;
}

void StoreWriteString(void* ctx, const char* section, const char* key, const char* value) {
    IniFileStore* store = Self(ctx);
    if (!store->saving) return;
    if (!IniSetString(&store->pending, section, key, value)) store->writeFailed = true;
}

bool StoreCommitSave(void* ctx) {
    IniFileStore* store = Self(ctx);
    if (!store->saving) return false;
    store->saving = false;
    // The document's bytes are the file's: written as they are, not copied,
    // unless the file is UTF-16.
    bool ok = !store->writeFailed;
    std::string utf16;
    if (ok && store->pendingUtf16) {
        try {
            utf16 = store->pending.text;
            EncodeIniTextAsUtf16(&utf16);
        } catch (const std::bad_alloc&) {
            ok = false;
        }
    }
    ok = ok && store->files.replace(store->files.ctx, store->path.c_str(),
                                    store->pendingUtf16 ? utf16 : store->pending.text);
    if (ok) store->doc = std::move(store->pending);
    store->pending = IniDocument{};
    return ok;
}

IniReadResult SystemRead(void*, const char* path, std::string* text) {
    return ReadIniFile(path, text);
}

bool SystemReplace(void*, const char* path, const std::string& text) {
    return ReplaceFileAtomically(path, text);
}

}  // namespace

IniFileAccess SystemIniFiles() {
    return IniFileAccess{nullptr, &SystemRead, &SystemReplace};
}

bool ReadFileText(const char* path, std::string* text) {
    text->clear();
    if (path == nullptr) return false;
    try {
        return ReadIniFile(path, text) == IniReadResult::kRead;
    } catch (const std::bad_alloc&) {
        text->clear();
        return false;
    }
}

bool ReplaceFileAtomically(const char* path, const std::string& text) {
    if (path == nullptr || *path == '\0') return false;
    std::string temp;
    bool ok = false;
    try {
        ok = WriteTempAndReplace(path, text, &temp);
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    if (!ok && !temp.empty()) RemoveTempFile(temp);
    return ok;
}

void OpenIniFileStore(IniFileStore* store, const char* path) {
    store->doc = IniDocument{};
    store->pending = IniDocument{};
    store->saving = false;
    store->writeFailed = false;
    store->utf8Values = IniValuesAreUtf8();
    try {
        store->path = path == nullptr ? "" : path;
        std::string text;
        if (store->files.read(store->files.ctx, store->path.c_str(), &text) ==
            IniReadResult::kRead) {
            DecodeIniText(&text);
            ParseIni(std::move(text), &store->doc);
        }
    } catch (const std::bad_alloc&) {
        store->doc = IniDocument{};  // read as an empty file: the defaults
    }
}

ProfileStore MakeIniProfileStore(IniFileStore* store) {
    return ProfileStore{store,           &StoreGetInt,      &StoreGetString,
                        &StoreBeginSave, &StoreWriteString, &StoreCommitSave};
}
