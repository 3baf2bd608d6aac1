// The Windows bindings that talk to the system: the dial-up service against
// the test double of rasapi32.dll (what the records and arguments look like
// when they reach the service), the settings file through the profile
// functions, and the tray icon.
#include <gtest/gtest.h>
#include <windows.h>
// The shell's declarations build on those of windows.h.
#include <shellapi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/win32/shell_win32.h"
#include "dialup/ras_dialup_win32.h"
#include "log/event_log.h"
#include "log/event_log_win32.h"
#include "settings/profile_store_win32.h"
#include "settings/settings_file.h"
#include "support/test_support.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0, end;
    while ((end = text.find("\r\n", start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

const std::string kConnSize = std::to_string(kRasConnSize);

// Each test runs in its own folder with its own scenario for the double.
class RasBinding : public ::testing::Test {
  protected:
    void SetUp() override {
        GetCurrentDirectoryA(sizeof previous, previous);
        ASSERT_TRUE(SetCurrentDirectoryA(dir.path.c_str()));
        InitRasDialUpService(&context, &service);
    }
    void TearDown() override { SetCurrentDirectoryA(previous); }

    void Scenario(const std::string& text) {
        WriteWholeFile(dir.File("rasdouble.txt"), text);
        HMODULE ras = GetModuleHandleA("rasapi32.dll");
        auto reload = reinterpret_cast<void(WINAPI*)()>(
            reinterpret_cast<void*>(GetProcAddress(ras, "RasDoubleReload")));
        ASSERT_NE(reload, nullptr)
            << "the test double of rasapi32.dll is not loaded "
               "(WINEDLLOVERRIDES=rasapi32=n and the DLL in the system folder)";
        reload();
    }

    std::vector<std::string> Calls() { return Lines(ReadWholeFile(dir.File("rascalls.txt"))); }

    ScratchDir dir;
    char previous[MAX_PATH];
    RasDialUp context;
    DialUpService service;
};

TEST_F(RasBinding, EnumeratesConnectionsIntoThePreparedBuffer) {
    EXPECT_EQ(service.connectionRecordSize, kRasConnSize);
    EXPECT_EQ(service.maxEntryNameLength, 256u);
    Scenario("conn 7 Office\nconn 9 Casa\n");
    std::vector<unsigned char> buffer(2 * kRasConnSize, 0xCD);
    service.prepareConnectionBuffer(service.ctx, buffer.data());
    uint32_t size = kRasConnSize, count = 99;
    // One record of room for two connections: the size needed comes back.
    EXPECT_EQ(service.enumConnections(service.ctx, buffer.data(), &size, &count), 603);
    EXPECT_EQ(size, 2 * kRasConnSize);
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(service.enumConnections(service.ctx, buffer.data(), &size, &count), 0);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(service.connectionHandle(service.ctx, buffer.data(), 0), 7u);
    EXPECT_EQ(service.connectionHandle(service.ctx, buffer.data(), 1), 9u);
    char name[64];
    service.connectionEntryName(service.ctx, buffer.data(), 1, name, sizeof name);
    EXPECT_STREQ(name, "Casa");
    EXPECT_EQ(Calls().at(0), "RasEnumConnectionsA dwSize=" + kConnSize + " cb=" + kConnSize +
                                 " -> 603 count=0 cbOut=" + std::to_string(2 * kRasConnSize));
}

TEST_F(RasBinding, EntryNamesAreCutToTheCallersBuffer) {
    const std::string longest(256, 'n');
    Scenario("conn 7 " + longest + "\n");
    std::vector<unsigned char> buffer(kRasConnSize);
    service.prepareConnectionBuffer(service.ctx, buffer.data());
    uint32_t size = kRasConnSize, count = 0;
    ASSERT_EQ(service.enumConnections(service.ctx, buffer.data(), &size, &count), 0);
    char full[300];
    service.connectionEntryName(service.ctx, buffer.data(), 0, full, sizeof full);
    EXPECT_EQ(std::string(full), longest);
    char cut[8];
    memset(cut, '#', sizeof cut);
    service.connectionEntryName(service.ctx, buffer.data(), 0, cut, 5);
    EXPECT_STREQ(cut, "nnnn");
    EXPECT_EQ(cut[5], '#');
}

TEST_F(RasBinding, HangUpPassesTheHandle) {
    Scenario("conn 7 Office\n");
    EXPECT_EQ(service.hangUp(service.ctx, 7), 0);
    EXPECT_EQ(service.hangUp(service.ctx, 7), 6);  // gone now
    EXPECT_EQ(Calls(), (std::vector<std::string>{"RasHangUpA handle=7 name=Office -> 0",
                                                 "RasHangUpA handle=7 name=? -> 6"}));
}

TEST_F(RasBinding, DialUsesTheParametersReadJustBefore) {
    Scenario("entry Office\nentry Casa\n");
    ASSERT_EQ(service.getEntryDialParams(service.ctx, "Casa"), 0);
    DialUpHandle handle = 0;
    ASSERT_EQ(service.dial(service.ctx, &handle), 0);
    EXPECT_EQ(handle, 1000u);
    EXPECT_EQ(Calls(), (std::vector<std::string>{
                           "RasGetEntryDialParamsA phonebook=null dwSize=1052 entry=Casa "
                           "password=1 -> 0",
                           "RasDialA extensions=null phonebook=null dwSize=1052 entry=Casa "
                           "user=utente notifierType=0 notifier=null handleIn=null -> 0 "
                           "handle=1000"}));
}

TEST_F(RasBinding, FailedDialHandsBackTheHandleItLeft) {
    Scenario("entry Office\ndial 678 55\n");
    ASSERT_EQ(service.getEntryDialParams(service.ctx, "Office"), 0);
    DialUpHandle handle = 0;
    EXPECT_EQ(service.dial(service.ctx, &handle), 678);
    EXPECT_EQ(handle, 55u);
}

// The password the service handed over is wiped once the dial has used it,
// whatever the dial's outcome, and when reading the parameters fails.
TEST_F(RasBinding, DialParametersHoldOnlyZerosAfterwards) {
    struct Case {
        const char* scenario;
        int32_t paramsResult;
        bool dials;
    };
    const Case cases[] = {{"entry Office\n", 0, true},
                          {"entry Office\ndial 678 55\n", 0, true},
                          {"entry Office\nparams 623\n", 623, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        Scenario(c.scenario);
        ASSERT_EQ(service.getEntryDialParams(service.ctx, "Office"), c.paramsResult);
        if (c.dials) {
            EXPECT_STREQ(context.dialParams.szPassword, "segreto");
            DialUpHandle handle = 0;
            service.dial(service.ctx, &handle);
        }
        const auto* bytes = reinterpret_cast<const unsigned char*>(&context.dialParams);
        EXPECT_EQ(std::count(bytes, bytes + sizeof context.dialParams, 0),
                  static_cast<long>(sizeof context.dialParams));
    }
}

TEST_F(RasBinding, EntryNamesLongerThanTheServiceTakesAreRefusedUnasked) {
    Scenario("entry " + std::string(256, 'a') + "\n");
    EXPECT_EQ(service.getEntryDialParams(service.ctx, std::string(256, 'a').c_str()), 0);
    EXPECT_NE(service.getEntryDialParams(service.ctx, std::string(257, 'a').c_str()), 0);
    EXPECT_NE(service.getEntryDialParams(service.ctx, std::string(1023, 'a').c_str()), 0);
    EXPECT_EQ(Calls().size(), 1u);  // only the first reached the service
    EXPECT_NE(service.getEntryDialParams(service.ctx, "Sconosciuta"), 0);
}

TEST_F(RasBinding, PhonebookIsListedWithRoomForOneHundredEntries) {
    std::string scenario;
    for (int i = 0; i < 3; ++i) scenario += "entry Voce " + std::to_string(i) + "\n";
    Scenario(scenario);
    PhonebookEntries entries;
    ASSERT_EQ(service.enumEntries(service.ctx, &entries), 0);
    ASSERT_EQ(entries.count, 3);
    EXPECT_STREQ(entries.names[2], "Voce 2");
    EXPECT_EQ(Calls().at(0),
              "RasEnumEntriesA reserved=null phonebook=null dwSize=264 cb=26400 -> 0 count=3");
}

TEST_F(RasBinding, MoreThanOneHundredEntriesGiveNoList) {
    std::string scenario;
    for (int i = 0; i < 101; ++i) scenario += "entry Voce " + std::to_string(i) + "\n";
    Scenario(scenario);
    PhonebookEntries entries;
    entries.count = 42;
    EXPECT_EQ(service.enumEntries(service.ctx, &entries), 603);
    EXPECT_EQ(entries.count, 0);
}

TEST_F(RasBinding, ErrorTextsComeFromTheServiceBounded) {
    Scenario("text 678 Nessuna risposta.\n");
    char text[1024];
    ASSERT_EQ(service.getErrorString(service.ctx, 678, text, sizeof text), 0);
    EXPECT_STREQ(text, "Nessuna risposta.");
    char small[6];
    service.getErrorString(service.ctx, 678, small, sizeof small);
    EXPECT_STREQ(small, "Nessu");
    EXPECT_NE(service.getErrorString(service.ctx, 1, text, sizeof text), 0);
}

// The settings file through the system's profile functions.
class ProfileStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        InitWin32ProfileStore(&file, dir.File("Teleora.ini").c_str());
        store = MakeWin32ProfileStore(&file);
    }
    ScratchDir dir;
    Win32ProfileStore file;
    ProfileStore store;
};

TEST_F(ProfileStoreTest, NoFileGivesTheDefaults) {
    Settings settings;
    LoadSettings(store, &settings);
    EXPECT_EQ(settings.tDelay, 5000);
    EXPECT_EQ(settings.bDropAny, 1);
    EXPECT_STREQ(settings.szRasEntry, kDefaultRasEntry);
    EXPECT_EQ(settings.ruleTable.nUserEntries, 0);
}

TEST_F(ProfileStoreTest, SavedSettingsLoadBackUnchanged) {
    Settings saved;
    SetDefaultSettings(&saved);
    saved.tDelay = 2500;
    saved.bDropAny = 0;
    strcpy(saved.szRasEntry, "");  // stored empty, read back empty
    saved.ruleTable.nUserEntries = kMaxRules;
    for (int i = 0; i < kMaxRules; ++i) {
        Rule& rule = saved.ruleTable.rules[i];
        InitRule(&rule, ("Regola " + std::to_string(i)).c_str());
        for (int d = 0; d < kDaysPerWeek; ++d) rule.days[d] = DayWindow{i, d, 23 - i, 59 - d};
    }
    ASSERT_TRUE(SaveSettings(store, saved));
    Settings loaded;
    LoadSettings(store, &loaded);
    EXPECT_EQ(loaded.tDelay, 2500);
    EXPECT_EQ(loaded.bDropAny, 0);
    EXPECT_STREQ(loaded.szRasEntry, "");
    ASSERT_EQ(loaded.ruleTable.nUserEntries, kMaxRules);
    for (int i = 0; i < kMaxRules; ++i) {
        EXPECT_STREQ(loaded.ruleTable.rules[i].szName, saved.ruleTable.rules[i].szName);
        for (int d = 0; d < kDaysPerWeek; ++d) {
            const DayWindow& a = loaded.ruleTable.rules[i].days[d];
            const DayWindow& b = saved.ruleTable.rules[i].days[d];
            EXPECT_EQ(a.hStart, b.hStart);
            EXPECT_EQ(a.mStart, b.mStart);
            EXPECT_EQ(a.hStop, b.hStop);
            EXPECT_EQ(a.mStop, b.mStop);
        }
    }
    // Monday of rule 1: keys of day 1 in section Rule1, plain decimals.
    std::string path = dir.File("Teleora.ini");
    char value[16];
    GetPrivateProfileStringA("Rule1", "mStart1", "", value, sizeof value, path.c_str());
    EXPECT_STREQ(value, "1");
}

TEST_F(ProfileStoreTest, LongValuesAreCutToTheSettingsBuffers) {
    std::string text = "[Generale]\r\nszRasEntry=" + std::string(1500, 'e') +
                       "\r\nnUserEntries=1\r\n[Rule0]\r\nszName=" + std::string(100, 'n') + "\r\n";
    WriteWholeFile(dir.File("Teleora.ini"), text);
    Settings loaded;
    LoadSettings(store, &loaded);
    EXPECT_EQ(std::string(loaded.szRasEntry), std::string(1023, 'e'));
    EXPECT_EQ(std::string(loaded.ruleTable.rules[0].szName), std::string(63, 'n'));
}

// The tray icon, added and removed on a window of this test.
// Names are in the ANSI code page here: 0x80 to 0x9F are printable (the euro
// sign, curly quotes) and stay; the ASCII controls become blanks.
TEST(EventLogWin32, Windows1252BytesStayAndAsciiControlsGo) {
    char line[kLogLineSize];
    size_t length =
        FormatLogLine(LocalTime{2026, 12, 6, 0, 5, 1, 2, 0}, "RasDial",
                      "\x80 \x93Rosso\x94\x1b[31m\x7f\xc2\x9b", 0, "Success.", line, sizeof line);
    EXPECT_EQ(std::string(line, length),
              "6/12/2026 05:01:02: RasDial (\x80 \x93Rosso\x94 [31m \xc2\x9b) retcode 0: "
              "Success.\r\n");
}

// Only a name surrogate would send the line elsewhere; every other reparse
// point holds the log itself (cloud storage keeps fully local files as
// reparse points too) and is written. The last byte of a file that is not
// fully local is not read (the read would wait for a download). Wine shows
// neither cloud placeholders nor sharing modes: the tables stand for them.
TEST(EventLogWin32, ReparsePointsAreRefusedOnlyWhenTheyNameAnotherFile) {
    constexpr DWORD kReparse = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE;
    struct Case {
        DWORD attributes, tag;
        LogFileKind kind;
        bool lastByte = true;
    } cases[] = {
        {FILE_ATTRIBUTE_ARCHIVE, 0, LogFileKind::kPlain},
        {FILE_ATTRIBUTE_DIRECTORY, 0, LogFileKind::kRefused},
        {kReparse, IO_REPARSE_TAG_SYMLINK, LogFileKind::kRefused},
        {kReparse, IO_REPARSE_TAG_MOUNT_POINT, LogFileKind::kRefused},
        {kReparse, 0x20001234, LogFileKind::kRefused},  // an unknown name surrogate
        {kReparse, IO_REPARSE_TAG_CLOUD, LogFileKind::kFiltered},
        {kReparse, 0x9000601A, LogFileKind::kFiltered},  // cloud files, another provider
        {kReparse, IO_REPARSE_TAG_DEDUP, LogFileKind::kFiltered},
        {kReparse, IO_REPARSE_TAG_WOF, LogFileKind::kFiltered},
        {kReparse, 0x00001234, LogFileKind::kFiltered},  // an unknown tag of another maker
        {kReparse | kFileAttributeRecallOnDataAccess, 0x9000601A, LogFileKind::kFiltered, false},
        {kReparse | kFileAttributeRecallOnOpen, IO_REPARSE_TAG_CLOUD, LogFileKind::kFiltered,
         false},
        {FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_OFFLINE, 0, LogFileKind::kPlain, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ClassifyLogFile(c.attributes, c.tag), c.kind) << std::hex << c.tag;
        EXPECT_EQ(LogLastByteAtHand(c.attributes), c.lastByte) << std::hex << c.attributes;
    }
    // A file held open without read sharing is appended to as one that may
    // not be read; a missing folder is no reason to try again.
    for (DWORD error : {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_PATH_NOT_FOUND}) {
        EXPECT_EQ(LogRetryAppendOnly(error), error != ERROR_PATH_NOT_FOUND) << error;
    }
}

// A plain file gets its lines at its end; a line cut short before (a full
// disk) is ended first, so the new line stands on its own.
TEST(EventLogWin32, LinesFollowWhatTheFileHoldsOnALineOfTheirOwn) {
    const std::string line = "6/12/2026 05:01:02: " + LogLine("RasDial", "Office", 0) + "\r\n";
    struct Case {
        const char* before;
        std::string after;
    } cases[] = {
        {"", line},
        {"kept\r\n", "kept\r\n" + line},
        {"6/12/2026 05:01:01: RasDial (Provi", "6/12/2026 05:01:01: RasDial (Provi\r\n" + line},
        {"cut after CR\r", "cut after CR\r\n" + line},
    };
    ScratchDir dir;
    FixedClock clock;
    const std::string path = dir.File("teleoralog.txt");
    for (const Case& c : cases) {
        WriteWholeFile(path, c.before);
        LogEventTo(EventLog{path.c_str(), clock.clock(), {}}, "RasDial", "Office", 0);
        EXPECT_EQ(ReadWholeFile(path), c.after) << c.before;
    }
}

TEST(TrayIcon, AddedWithItsCallbackAndRemovedAgain) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = &DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "TrayIconTestClass";
    RegisterClassA(&windowClass);
    HWND window =
        CreateWindowExA(0, "TrayIconTestClass", nullptr, 0, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0,
                        nullptr, nullptr, windowClass.hInstance, nullptr);
    ASSERT_NE(window, nullptr);
    auto exists = [&] {
        NOTIFYICONDATAA probe{};
        probe.cbSize = kNotifyIconDataSize;
        probe.hWnd = window;
        probe.uID = kTrayIconId;
        return Shell_NotifyIconA(NIM_MODIFY, &probe) != FALSE;
    };
    HICON icon = LoadIconA(nullptr, MAKEINTRESOURCEA(32512));  // IDI_APPLICATION
    AddTrayIcon(window, kTrayIconId, kTrayCallbackMessage, icon, kTrayTip);
    EXPECT_TRUE(exists());
    RemoveTrayIcon(window, kTrayIconId);
    EXPECT_FALSE(exists());
    DestroyWindow(window);
}

}  // namespace
