// Any bytes as "Teleora.ini" on disk, through the file layer: the file
// replaced with the bytes reads back byte for byte, and loading and saving
// the settings through the file store leaves the file exactly as the same
// store leaves the text when its file is a string in memory (the system's
// reading and replacing add nothing of their own).
// Every save flushes to the disk, so this target runs slowly; the reading and
// writing rules are fuzzed in memory by ini_loader_fuzzer.cpp.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/ini_memory_store.h"
#include "settings/ini_file.h"
#include "settings/settings_file.h"

namespace {

std::string g_dir;
std::string g_path;

void RemoveScratch() {
    unlink(g_path.c_str());
    rmdir(g_dir.c_str());
}

// A private folder for the file, on a memory file system when there is one.
void MakeScratch() {
    if (!g_dir.empty()) return;
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/teleora-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) abort();
    g_dir = pattern;
    g_path = g_dir + "/" + kSettingsFileName;
    atexit(&RemoveScratch);
}

void Require(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "violated: %s\n", what);
    abort();
}

std::string FileBytes() {
    std::string text;
    Require(ReadFileText(g_path.c_str(), &text), "the saved file reads");
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MakeScratch();
    const std::string input(reinterpret_cast<const char*>(data), size);
    Require(ReplaceFileAtomically(g_path.c_str(), input), "the input file is written");
    Require(FileBytes() == input, "the file reads back byte for byte");

    IniFileStore file;
    OpenIniFileStore(&file, g_path.c_str());
    Settings fromFile, fromText;
    memset(&fromFile, 0, sizeof fromFile);  // padding too, for the comparison below
    memset(&fromText, 0, sizeof fromText);
    LoadSettings(MakeIniProfileStore(&file), &fromFile);
    Require(SaveSettings(MakeIniProfileStore(&file), fromFile), "a save into a folder works");

    std::string text = input;
    IniFileStore memory;
    OpenIniMemoryStore(&memory, &text);
    LoadSettings(MakeIniProfileStore(&memory), &fromText);
    Require(memcmp(&fromFile, &fromText, sizeof fromFile) == 0, "the file reads as the text");
    Require(SaveSettings(MakeIniProfileStore(&memory), fromText), "a save in memory works");
    Require(FileBytes() == text, "the saved file is the saved text");
    return 0;
}
