// The INI store's file handling where only POSIX can set the scene: folders
// that refuse writes, a full disk, permission bits, a FIFO in the file's place.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "settings/ini_file.h"
#include "settings/settings_file.h"
#include "support/posix_sandbox.h"
#include "support/test_support.h"

namespace {

Settings SmallSettings() {
    Settings s;
    SetDefaultSettings(&s);
    return s;
}

// Ten rules with the longest names and entry: a file of several kilobytes.
Settings BigSettings() {
    Settings s;
    SetDefaultSettings(&s);
    std::string entry(kRasEntrySize - 1, 'e');
    snprintf(s.szRasEntry, sizeof s.szRasEntry, "%s", entry.c_str());
    s.ruleTable.nUserEntries = kMaxRules;
    for (int i = 0; i < kMaxRules; ++i) {
        InitRule(&s.ruleTable.rules[i],
                 std::string(kRuleNameSize - 1, static_cast<char>('a' + i)).c_str());
        for (DayWindow& w : s.ruleTable.rules[i].days) w = DayWindow{-2147483647, 59, 23, 1000000};
    }
    return s;
}

bool Save(const std::string& path, const Settings& settings) {
    IniFileStore ini;
    OpenIniFileStore(&ini, path.c_str());
    return SaveSettings(MakeIniProfileStore(&ini), settings);
}

std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool CanCreateFileIn(const std::string& dir) {
    std::string probe = dir + "/probe";
    int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) return false;
    close(fd);
    unlink(probe.c_str());
    return true;
}

mode_t ModeOf(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

TEST(IniStorePosix, ReplaceKeepsThePermissionBits) {
    for (mode_t mode : {0600, 0640, 0444, 0755}) {
        ScratchDir dir;
        std::string path = dir.File("Teleora.ini");
        WriteWholeFile(path, "[Generale]\r\n");
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
        ASSERT_TRUE(ReplaceFileAtomically(path.c_str(), "[Generale]\r\ntDelay=1\r\n"));
        EXPECT_EQ(ModeOf(path), mode) << std::oct << mode;
        EXPECT_EQ(ReadWholeFile(path), "[Generale]\r\ntDelay=1\r\n");
    }
}

TEST(IniStorePosix, ANewFileFollowsTheUmask) {
    ScratchDir dir;
    mode_t old = umask(027);
    bool saved = Save(dir.File("Teleora.ini"), SmallSettings());
    umask(old);
    ASSERT_TRUE(saved);
    EXPECT_EQ(ModeOf(dir.File("Teleora.ini")), 0640u);
}

TEST(IniStorePosix, AFifoIsNotASettingsFile) {
    ScratchDir dir;
    std::string path = dir.File("Teleora.ini");
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    std::string text = "stale";
    EXPECT_FALSE(ReadFileText(path.c_str(), &text));  // and does not wait for a writer
    EXPECT_EQ(text, "");
    IniFileStore ini;
    OpenIniFileStore(&ini, path.c_str());
    Settings s;
    LoadSettings(MakeIniProfileStore(&ini), &s);
    EXPECT_EQ(s.tDelay, kDefaultDelay);
}

// On POSIX each value is taken on its own: UTF-8 as it is, anything else as
// the Windows program's Windows-1252; a cut to the buffer never splits a
// character. A save writes UTF-8.
TEST(IniStorePosix, ValuesReadAsUtf8OrWindows1252) {
    const std::string a62(62, 'a');
    struct Case {
        const char* what;
        std::string value;  // as the file holds it
        std::string read;   // szName and szRasEntry as loaded
        std::string name;   // szName, when it differs (the 64-byte buffer)
    };
    const Case cases[] = {
        {"Windows-1252", "Citt\xE0", "Citt\xC3\xA0", ""},
        {"UTF-8", "Citt\xC3\xA0", "Citt\xC3\xA0", ""},
        {"Windows-1252 specials", "\x80\x9C", "\xE2\x82\xAC\xC5\x93", ""},
        {"an overlong form is no UTF-8", "\xE0\x80\x80", "\xC3\xA0\xE2\x82\xAC\xE2\x82\xAC", ""},
        {"UTF-8 cut before a character", a62 + "\xC3\xA0", a62 + "\xC3\xA0", a62},
        {"Windows-1252 cut before a character", a62 + "\xE0", a62 + "\xC3\xA0", a62},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        std::string path = dir.File("Teleora.ini");
        WriteWholeFile(path, "[Generale]\r\nszRasEntry=" + c.value +
                                 "\r\nnUserEntries=1\r\n[Rule0]\r\nszName=" + c.value + "\r\n");
        IniFileStore ini;
        OpenIniFileStore(&ini, path.c_str());
        Settings s;
        LoadSettings(MakeIniProfileStore(&ini), &s);
        EXPECT_EQ(s.szRasEntry, c.read);
        EXPECT_EQ(s.ruleTable.rules[0].szName, c.name.empty() ? c.read : c.name);
        ASSERT_TRUE(Save(path, s));
        EXPECT_NE(ReadWholeFile(path).find("szRasEntry=" + c.read + "\r\n"), std::string::npos);
    }
}

// The steps a child checks, in order; it exits with the number of the first
// that did not hold, or 0.
enum ReadOnlyStep {
    kReadOnlySaveRefused = 1,
    kReadOnlyReplaceRefused,
    kReadOnlyFileKept,
    kReadOnlyNothingLeft,
    kReadOnlyNotEffective = 20,
};

TEST(IniStorePosix, AnUnwritableFolderKeepsTheOldFile) {
    ScratchDir dir;
    std::string path = dir.File("Teleora.ini");
    ASSERT_TRUE(Save(path, SmallSettings()));
    const std::string old = ReadWholeFile(path);

    int rc = RunInChild([&] {
        if (!MakeReadOnly(dir.path)) return kSandboxUnavailable;
        if (CanCreateFileIn(dir.path)) return static_cast<int>(kReadOnlyNotEffective);
        if (Save(path, BigSettings())) return static_cast<int>(kReadOnlySaveRefused);
        if (ReplaceFileAtomically(path.c_str(), "x"))
            return static_cast<int>(kReadOnlyReplaceRefused);
        if (ReadWholeFile(path) != old) return static_cast<int>(kReadOnlyFileKept);
        if (FilesIn(dir.path) != std::vector<std::string>{"Teleora.ini"}) {
            return static_cast<int>(kReadOnlyNothingLeft);
        }
        return 0;
    });
    if (rc == kSandboxUnavailable) GTEST_SKIP() << SandboxUnavailableReason();
    EXPECT_EQ(rc, 0) << "first failed step in the child (see ReadOnlyStep)";
    EXPECT_EQ(ReadWholeFile(path), old);
    EXPECT_EQ(FilesIn(dir.path), std::vector<std::string>{"Teleora.ini"});
}

enum FullDiskStep {
    kFullOldFileWritten = 1,
    kFullDiskFilled,
    kFullSaveRefused,
    kFullFileKept,
    kFullNoTempLeft,
    kFullPartialWriteRefused,
    kFullFileKeptAfterPartialWrite,
    kFullNoTempLeftAfterPartialWrite,
    kFullSaveWorksWithRoom,
    kFullSavedFileReadsBack,
};

TEST(IniStorePosix, AFullDiskKeepsTheOldFile) {
    if (!RunningAsRoot()) {
        GTEST_SKIP() << "needs root to mount a tiny tmpfs; without it no disk can be filled "
                        "safely";
    }
    ScratchDir dir;
    int rc = RunInChild([&]() -> int {
        if (!MountTinyTmpfs(dir.path, 64 * 1024)) return kSandboxUnavailable;
        std::string path = dir.File("Teleora.ini");
        std::string filler = dir.File("filler");
        if (!Save(path, SmallSettings())) return kFullOldFileWritten;
        const std::string old = ReadWholeFile(path);
        if (!FillUntilFull(filler)) return kFullDiskFilled;

        if (Save(path, BigSettings())) return kFullSaveRefused;
        if (ReadWholeFile(path) != old) return kFullFileKept;
        if (FilesIn(dir.path) != std::vector<std::string>{"Teleora.ini", "filler"}) {
            return kFullNoTempLeft;
        }

        // Room for a part of the new file only: the write stops midway.
        off_t size = static_cast<off_t>(std::filesystem::file_size(filler));
        if (truncate(filler.c_str(), size > 8192 ? size - 8192 : 0) != 0) return kFullDiskFilled;
        if (ReplaceFileAtomically(path.c_str(), std::string(40000, 'x'))) {
            return kFullPartialWriteRefused;
        }
        if (ReadWholeFile(path) != old) return kFullFileKeptAfterPartialWrite;
        if (FilesIn(dir.path) != std::vector<std::string>{"Teleora.ini", "filler"}) {
            return kFullNoTempLeftAfterPartialWrite;
        }

        // With room again the same save works: the failures above came from
        // the full disk alone.
        if (truncate(filler.c_str(), 0) != 0) return kFullDiskFilled;
        if (!Save(path, BigSettings())) return kFullSaveWorksWithRoom;
        IniFileStore ini;
        OpenIniFileStore(&ini, path.c_str());
        Settings loaded;
        LoadSettings(MakeIniProfileStore(&ini), &loaded);
        Settings big = BigSettings();
        if (memcmp(&loaded, &big, sizeof big) != 0) return kFullSavedFileReadsBack;
        return 0;
    });
    if (rc == kSandboxUnavailable) GTEST_SKIP() << SandboxUnavailableReason();
    EXPECT_EQ(rc, 0) << "first failed step in the child (see FullDiskStep)";
    EXPECT_TRUE(FilesIn(dir.path).empty()) << "the tmpfs must not outlive the child";
}

}  // namespace
