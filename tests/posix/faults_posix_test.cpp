// The core under faults only a real system can stage: the log's folder turning
// read-only while the supervisor runs, a settings file that cannot be read or
// is a folder, and a full disk during the save after the dialog's OK. The
// folders are made really unwritable (a read-only bind mount or a tiny tmpfs
// in a child's own mount namespace, or dropped privileges), which holds even
// for root.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/menu.h"
#include "common/wake_event.h"
#include "settings/ini_file.h"
#include "settings/settings_file.h"
#include "settings/shared_state.h"
#include "supervisor/supervisor.h"
#include "support/loop_thread.h"
#include "support/posix_sandbox.h"
#include "support/test_support.h"

namespace {

// The steps the child checks, in order; it exits with the first that failed.
enum ReadOnlyLogStep {
    kLogFirstLines = 1,
    kLogMadeReadOnly,
    kLogPassesGoOn,
    kLogNoLineWhileReadOnly,
    kLogServiceCallsUnchanged,
    kLogNothingCreated,
    kLogWritableAgain,
    kLogLinesResume,
};

// The supervisor keeps dialling an entry whose dial fails, one "RasDial" line
// per pass. Halfway through, the log's folder becomes read-only: the lines
// are dropped, the file keeps every byte it had, the passes go on at their
// pace and make the same service calls. Once the folder is writable again,
// lines come back.
TEST(FaultsPosix, LogFolderTurningReadOnlyDropsLinesAndNothingElse) {
    ScratchDir dir;
    std::string logPath = dir.File(kLogFileName);
    int rc = RunInChild([&]() -> int {
        // Mounts made later by this thread must be seen by the supervisor
        // thread: the namespace is entered before that thread exists.
        if (RunningAsRoot() && !EnterPrivateMountNamespace()) return kSandboxUnavailable;
        FakeDialUp fake;
        fake.phonebook = {"Office"};
        fake.dialResult = 651;
        fake.errorTexts[651] = "The modem reported an error.";
        FixedClock clock;

        Settings settings;
        SetDefaultSettings(&settings);
        snprintf(settings.szRasEntry, sizeof settings.szRasEntry, "Office");
        settings.tDelay = 2;
        SharedState shared;
        InitSharedState(&shared, settings);
        PublishMode(&shared, ModeAlwaysUp);
        Supervisor supervisor{};
        supervisor.service = &fake.service;
        supervisor.shared = &shared;
        supervisor.clock = clock.clock();
        supervisor.log = EventLog{logPath.c_str(), clock.clock(), ErrorTextOf(&fake.service)};
        std::thread thread = StartLoopThread(&supervisor);
        auto stop = [&](int code) {
            StopLoopThread(&supervisor, &thread);
            return code;
        };
        auto lines = [&] { return ReadCrLfLines(logPath).size(); };

        if (!Eventually([&] { return lines() >= 5; })) return stop(kLogFirstLines);
        if (!MakeReadOnly(dir.path)) return stop(kSandboxUnavailable);
        // A line being written while the mount turned read-only may still
        // land; from here on nothing may.
        size_t callsBefore = fake.CallsOf("dial").size() + 1;
        if (!Eventually([&] { return fake.CallsOf("dial").size() > callsBefore; })) {
            return stop(kLogMadeReadOnly);
        }
        const std::string frozen = ReadWholeFile(logPath);
        size_t callsAtFreeze = fake.CallsOf("dial").size();
        size_t allCallsAtFreeze = fake.CallsOf("enum").size();
        if (!Eventually([&] { return fake.CallsOf("dial").size() >= callsAtFreeze + 30; })) {
            return stop(kLogPassesGoOn);
        }
        if (ReadWholeFile(logPath) != frozen) return stop(kLogNoLineWhileReadOnly);
        {
            // Every pass still lists, reads the parameters and dials; the log
            // asks the service for the error text only when it can write.
            std::lock_guard<std::mutex> lock(fake.mutex);
            std::vector<std::string> calls;
            size_t enums = 0;
            for (const std::string& call : fake.calls) {
                if (call.rfind("enum", 0) == 0 && ++enums <= allCallsAtFreeze) continue;
                if (enums > allCallsAtFreeze) calls.push_back(call.substr(0, call.find(' ')));
            }
            for (size_t i = 0; i + 3 <= calls.size(); i += 3) {
                if (calls[i] != "enum" || calls[i + 1] != "params" || calls[i + 2] != "dial") {
                    return stop(kLogServiceCallsUnchanged);
                }
            }
        }
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path)) {
            names.push_back(entry.path().filename().string());
        }
        if (names != std::vector<std::string>{kLogFileName}) return stop(kLogNothingCreated);

        if (!UndoReadOnly(dir.path)) return stop(kLogWritableAgain);
        size_t frozenLines = ReadCrLfLines(logPath).size();
        if (!Eventually([&] { return lines() >= frozenLines + 3; })) return stop(kLogLinesResume);
        std::vector<std::string> all = ReadCrLfLines(logPath);
        if (all.back() != "6/12/2026 05:01:02: " +
                              LogLine("RasDial", "Office", 651, "The modem reported an error.")) {
            return stop(kLogLinesResume);
        }
        return stop(0);
    });
    if (rc == kSandboxUnavailable) GTEST_SKIP() << SandboxUnavailableReason();
    EXPECT_EQ(rc, 0) << "first failed step in the child (see ReadOnlyLogStep)";
}

Settings SavedSettings() {
    Settings s;
    SetDefaultSettings(&s);
    s.tDelay = 7000;
    snprintf(s.szRasEntry, sizeof s.szRasEntry, "Office");
    s.ruleTable.nUserEntries = 1;
    InitRule(&s.ruleTable.rules[0], "Lavoro");
    s.ruleTable.rules[0].days[1] = DayWindow{8, 30, 12, 0};
    return s;
}

Settings LoadFrom(const std::string& path) {
    IniFileStore ini;
    OpenIniFileStore(&ini, path.c_str());
    Settings s;
    LoadSettings(MakeIniProfileStore(&ini), &s);
    return s;
}

bool SaveTo(const std::string& path, const Settings& s) {
    IniFileStore ini;
    OpenIniFileStore(&ini, path.c_str());
    return SaveSettings(MakeIniProfileStore(&ini), s);
}

bool IsDefault(const Settings& s) {
    return s.tDelay == kDefaultDelay && s.bDropAny == kDefaultDropAny &&
           strcmp(s.szRasEntry, kDefaultRasEntry) == 0 && s.ruleTable.nUserEntries == 0;
}

enum HostileFileStep {
    kHostileSetUp = 1,
    kHostileDefaults,
    kHostileSaveRefused,
};

// A "Teleora.ini" that cannot be read (its bits forbid it, and the process
// is not root), or that is a folder: the program starts with the defaults,
// and a save neither replaces nor touches it.
TEST(FaultsPosix, AnUnreadableOrFolderSettingsFileGivesDefaultsAndIsNeverReplaced) {
    struct Case {
        const char* what;
        bool folder;
    };
    for (const Case& c : {Case{"unreadable file", false}, Case{"folder", true}}) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        std::string path = dir.File(kSettingsFileName);
        if (c.folder) {
            ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
            WriteWholeFile(path + "/inside", "keep");
        } else {
            ASSERT_TRUE(SaveTo(path, SavedSettings()));
            ASSERT_EQ(chmod(path.c_str(), 0200), 0);  // write-only for its owner
        }
        // Others may enter the folder (and, for the folder case, write in it).
        ASSERT_EQ(chmod(dir.path.c_str(), 0777), 0);
        std::string before = c.folder ? ReadWholeFile(path + "/inside") : "";
        if (!c.folder) {
            ASSERT_EQ(chmod(path.c_str(), 0600), 0);
            before = ReadWholeFile(path);
            ASSERT_EQ(chmod(path.c_str(), 0200), 0);
        }

        int rc = RunInChild([&]() -> int {
            if (!DropPrivileges()) return kHostileSetUp;
            if (!c.folder && access(path.c_str(), R_OK) == 0) return kHostileSetUp;
            if (!IsDefault(LoadFrom(path))) return kHostileDefaults;
            if (SaveTo(path, SavedSettings())) return kHostileSaveRefused;
            return 0;
        });
        EXPECT_EQ(rc, 0) << "first failed step in the child (see HostileFileStep)";
        if (c.folder) {
            EXPECT_TRUE(std::filesystem::is_directory(path));
            EXPECT_EQ(ReadWholeFile(path + "/inside"), before);
        } else {
            ASSERT_EQ(chmod(path.c_str(), 0600), 0);
            EXPECT_EQ(ReadWholeFile(path), before);
        }
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path)) {
            names.push_back(entry.path().filename().string());
        }
        EXPECT_EQ(names, std::vector<std::string>{kSettingsFileName}) << "a temporary file is left";
    }
}

// A "Teleora.ini" that is a symbolic link, or that is huge. Only a link the
// user owns to a file the user owns is followed: the save replaces the target
// and the link stays. Any other link, one that leads nowhere, and a file over
// 16 MiB give the defaults, and a save writes nothing.
TEST(FaultsPosix, ALinkIsFollowedOnlyWhenItAndItsTargetAreOurs) {
    struct Case {
        const char* what;
        bool target;       // the link leads to a saved settings file
        bool foreignLink;  // the link belongs to another user (root only)
        bool foreignFile;  // its target belongs to another user (root only)
        bool huge;         // no link: a 20 MiB file
        bool followed;
    };
    const Case cases[] = {
        {"own link to own file", true, false, false, false, true},
        {"dangling link", false, false, false, false, false},
        {"link of another user", true, true, false, false, false},
        {"link to a file of another user", true, false, true, false, false},
        {"a 20 MiB file", false, false, false, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if ((c.foreignLink || c.foreignFile) && !RunningAsRoot()) continue;  // cannot chown
        ScratchDir dir;
        std::string path = dir.File(kSettingsFileName);
        std::string target = dir.File("real.ini");
        if (c.target) {
            ASSERT_TRUE(SaveTo(target, SavedSettings()));
        }
        if (c.huge) {
            ASSERT_TRUE(SaveTo(path, SavedSettings()));
            WriteWholeFile(path, ReadWholeFile(path) + std::string(20 << 20, ';'));
        } else {
            ASSERT_EQ(symlink("real.ini", path.c_str()), 0);
        }
        if (c.foreignLink) {
            ASSERT_EQ(lchown(path.c_str(), 65534, 65534), 0);
        }
        if (c.foreignFile) {
            ASSERT_EQ(chown(target.c_str(), 65534, 65534), 0);
        }
        std::string before = c.target ? ReadWholeFile(target) : c.huge ? ReadWholeFile(path) : "";

        Settings changed = SavedSettings();
        changed.tDelay = 9000;
        if (c.followed) {
            EXPECT_EQ(LoadFrom(path).tDelay, 7000);
            EXPECT_TRUE(SaveTo(path, changed));
            EXPECT_EQ(LoadFrom(target).tDelay, 9000);
        } else {
            EXPECT_TRUE(IsDefault(LoadFrom(path)));
            EXPECT_FALSE(SaveTo(path, changed));
            if (c.target) {
                EXPECT_EQ(ReadWholeFile(target), before);
            }
            if (c.huge) {
                EXPECT_EQ(ReadWholeFile(path), before);
            }
        }
        struct stat st;
        ASSERT_EQ(lstat(path.c_str(), &st), 0);
        EXPECT_EQ(S_ISLNK(st.st_mode), !c.huge) << "the link is kept";
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        std::vector<std::string> expected{kSettingsFileName};
        if (c.target) expected.push_back("real.ini");
        EXPECT_EQ(names, expected) << "a file was created";
    }
}

// A link to a settings file on another file system (a tmpfs): the save makes
// its temporary file beside the target, so the rename stays on one file
// system, succeeds, and the link stays a link.
TEST(FaultsPosix, ALinkToAnotherFileSystemIsSavedThrough) {
    if (!RunningAsRoot()) GTEST_SKIP() << SandboxUnavailableReason();
    ScratchDir dir;
    const std::string path = dir.File(kSettingsFileName), elsewhere = dir.File("elsewhere");
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
    int rc = RunInChild([&]() -> int {
        if (!MountTinyTmpfs(elsewhere, 1 << 20)) return kSandboxUnavailable;
        if (!SaveTo(elsewhere + "/real.ini", SavedSettings()) ||
            symlink("elsewhere/real.ini", path.c_str()) != 0) {
            return 1;
        }
        Settings changed = SavedSettings();
        changed.tDelay = 9000;
        if (!SaveTo(path, changed)) return 2;
        if (LoadFrom(elsewhere + "/real.ini").tDelay != 9000) return 3;
        struct stat st;
        return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) ? 0 : 4;
    });
    if (rc == kSandboxUnavailable) GTEST_SKIP() << SandboxUnavailableReason();
    EXPECT_EQ(rc, 0) << "1 set-up, 2 the save failed, 3 the target unchanged, 4 the link gone";
}

// What the menu's host does around the dialog: the dialog's OK publishes the
// confirmed settings, then the host saves the live settings to the file.
struct DialogOkHost {
    SharedState* shared;
    Settings confirmed;
    std::string path;
    int saves = 0;
    bool saveOk = true;
};

int RunDialogWithOk(void* ctx) {
    auto* host = static_cast<DialogOkHost*>(ctx);
    PublishDialogSettings(host->shared, host->confirmed);
    return 1;  // kDialogOk
}

void SaveLiveSettings(void* ctx) {
    auto* host = static_cast<DialogOkHost*>(ctx);
    Settings live;
    CopyLiveSettings(host->shared, &live);
    host->saveOk = SaveTo(host->path, live);
    ++host->saves;
}

void Nothing(void*) {}

bool NoDialogOpen(void*) {
    return false;
}

enum FullDiskStep {
    kFullMounted = 1,
    kFullOldSaved,
    kFullFilled,
    kFullSaveTried,
    kFullOldFileWhole,
    kFullLiveAsConfirmed,
    kFullModeDisabled,
    kFullNextSaveWorks,
};

// The disk fills up before the user presses OK: the save after OK fails, the
// old file stays whole (and still reads as the old settings), while the
// program goes on with the settings as the user confirmed them. Once there
// is room again, the next OK writes them.
TEST(FaultsPosix, AFullDiskAtTheSaveAfterOkKeepsTheOldFileAndTheConfirmedSettings) {
    if (!RunningAsRoot()) GTEST_SKIP() << SandboxUnavailableReason();
    ScratchDir dir;
    int rc = RunInChild([&]() -> int {
        if (!MountTinyTmpfs(dir.path, 64 * 1024)) return kSandboxUnavailable;
        std::string path = dir.File(kSettingsFileName);
        Settings old = SavedSettings();
        if (!SaveTo(path, old)) return kFullOldSaved;
        const std::string oldBytes = ReadWholeFile(path);
        if (!FillUntilFull(dir.File("filler"))) return kFullFilled;

        SharedState shared;
        InitSharedState(&shared, old);
        PublishMode(&shared, ModeRuleBase);
        DialogOkHost host{&shared, old, path};
        host.confirmed.tDelay = 60000;
        host.confirmed.ruleTable.nUserEntries = kMaxRules;
        for (int i = 0; i < kMaxRules; ++i) {
            InitRule(&host.confirmed.ruleTable.rules[i],
                     std::string(kRuleNameSize - 1, 'r').c_str());
        }
        MenuHost menu{&host,    &RunDialogWithOk, &Nothing, &SaveLiveSettings, &Nothing,
                      &Nothing, &NoDialogOpen,    &Nothing, &Nothing};
        WakeEvent* wake = CreateWakeEvent(false, nullptr);
        RunMenuCommand(menu, &shared, wake, kCmdConfigure);
        DestroyWakeEvent(wake);

        if (host.saves != 1 || host.saveOk) return kFullSaveTried;
        if (ReadWholeFile(path) != oldBytes) return kFullOldFileWhole;
        Settings reread = LoadFrom(path);
        if (memcmp(&reread.ruleTable, &old.ruleTable, sizeof old.ruleTable) != 0 ||
            reread.tDelay != old.tDelay) {
            return kFullOldFileWhole;
        }
        Settings live;
        CopyLiveSettings(&shared, &live);
        if (memcmp(&live, &host.confirmed, sizeof live) != 0) return kFullLiveAsConfirmed;
        if (CurrentMode(&shared) != ModeDisabled) return kFullModeDisabled;

        if (truncate(dir.File("filler").c_str(), 0) != 0) return kFullFilled;
        wake = CreateWakeEvent(false, nullptr);
        RunMenuCommand(menu, &shared, wake, kCmdConfigure);
        DestroyWakeEvent(wake);
        if (!host.saveOk) return kFullNextSaveWorks;
        reread = LoadFrom(path);
        if (reread.tDelay != 60000 || reread.ruleTable.nUserEntries != kMaxRules) {
            return kFullNextSaveWorks;
        }
        return 0;
    });
    if (rc == kSandboxUnavailable) GTEST_SKIP() << SandboxUnavailableReason();
    EXPECT_EQ(rc, 0) << "first failed step in the child (see FullDiskStep)";
}

}  // namespace
