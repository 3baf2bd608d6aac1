// End-to-end tests of the real Teleora.exe under Wine: each test prepares a
// working folder (settings file, the test double's scenario), starts the
// program there, works its menu and dialog through messages, ends it with
// "Esci" and checks the log, the calls the double saw and the settings file.
#include <gtest/gtest.h>
#include <windows.h>
// The shell's declarations build on those of windows.h.
#include <shellapi.h>

#include <string>
#include <vector>

#include "driver.h"
#include "resources/ui_texts.h"
#include "support/test_support.h"

namespace {

// The connection record the program hands to the service (412 bytes in the
// 32-bit program, 416 in this 64-bit build).
const std::string kConnSize = sizeof(void*) == 8 ? "416" : "412";

const std::string kStarted = LogLine("Teleora started", "Info", 0);
const std::string kStopped = LogLine("Teleora stopped", "Info", 0);

// A rule section whose window is 00:00-23:59 on the days in `activeDays`
// (bit d = weekday d) and 00:00-00:00 (never) on the others.
std::string RuleSection(int index, const char* name, unsigned activeDays) {
    std::string text = "[Rule" + std::to_string(index) + "]\r\nszName=" + name + "\r\n";
    for (int d = 0; d < 7; ++d) {
        bool active = (activeDays >> d) & 1u;
        std::string day = std::to_string(d);
        text += "hStart" + day + "=0\r\nmStart" + day + "=0\r\nhStop" + day + "=" +
                (active ? "23" : "0") + "\r\nmStop" + day + "=" + (active ? "59" : "0") + "\r\n";
    }
    return text;
}

int Today() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    // A rule test must not straddle midnight: wait for the new day.
    if (now.wHour == 23 && now.wMinute == 59) {
        Sleep(static_cast<DWORD>((61 - now.wSecond) * 1000));
        GetLocalTime(&now);
    }
    return now.wDayOfWeek;
}

class TeleoraTest : public ::testing::Test {
  protected:
    void TearDown() override {
        if (run.process.hProcess != nullptr && WaitForExit(&run, 0) == STILL_ACTIVE) {
            PostCommand(run, kEsci);
            WaitForExit(&run, 10000);
        }
        Finish(&run);
    }

    // Writes the settings file and the double's scenario (each only when
    // given), starts the program and waits for its start line.
    void Start(const std::string& settings = "", const std::string& scenario = "") {
        if (!settings.empty()) WriteText(dir.File("Teleora.ini"), settings);
        if (!scenario.empty()) WriteText(dir.File("rasdouble.txt"), scenario);
        ASSERT_TRUE(Launch(&run, dir.path));
        ASSERT_TRUE(WaitForLog(kStarted));
    }

    // Ends the program with "Esci" and expects a normal end.
    void Exit() {
        PostCommand(run, kEsci);
        EXPECT_EQ(WaitForExit(&run, 20000), 0u);
    }

    bool WaitForLog(const std::string& entry, int count = 1, DWORD timeoutMs = 20000) {
        return WaitUntil([&] { return CountLines(LogEntries(dir.path), entry) >= count; },
                         timeoutMs);
    }

    bool WaitForCalls(const std::string& prefix, size_t count) {
        return WaitUntil([&] { return CallsStartingWith(dir.path, prefix).size() >= count; });
    }

    HWND OpenDialog() {
        PostCommand(run, kConfigurazione);
        return WaitForProcessWindow(run.process.dwProcessId, "#32770", UI_DIALOG_TITLE);
    }

    bool DialogClosed() {
        return WaitUntil([&] {
            return FindProcessWindow(run.process.dwProcessId, "#32770", UI_DIALOG_TITLE) == nullptr;
        });
    }

    ScratchDir dir;
    TeleoraRun run;
};

TEST_F(TeleoraTest, StartLogsOnceAndDoesNothingUntilAModeIsChosen) {
    Start("", "entry Office\nconn 7 Casa\n");
    ASSERT_TRUE(Sync(run.tray));
    // The first pass runs at once in "Disabilitato": no call reaches the service.
    SetEvent(OpenEventA(EVENT_MODIFY_STATE, FALSE, "BreskTeleoraEvent"));
    PostCommand(run, kDisabilitato);
    Sync(run.tray);
    // The supervisor's thread registers for notifications before its first wait.
    ASSERT_TRUE(WaitForCalls("RasConnectionNotificationA", 1));
    Exit();
    EXPECT_EQ(LogEntries(dir.path), (std::vector<std::string>{kStarted, kStopped}));
    EXPECT_TRUE(LogStampsWellFormed(dir.path));
    // Only the start-up's registration for connection notifications.
    EXPECT_EQ(RasCalls(dir.path),
              std::vector<std::string>{"RasConnectionNotificationA connection=all flags=3 -> 0"});
    // Settings are not saved at exit.
    EXPECT_FALSE(FileExists(dir.File("Teleora.ini")));
}

TEST_F(TeleoraTest, ConnessoDialsTheEntryWithItsStoredParameters) {
    Start(General(5000, 0, "Office", 0), "entry Casa\nentry Office\n");
    PostCommand(run, kConnesso);
    ASSERT_TRUE(WaitForLog(LogLine("RasDial", "Office", 0)));
    // Choosing the checked mode again wakes the supervisor: the entry is up now.
    PostCommand(run, kConnesso);
    ASSERT_TRUE(WaitForCalls("RasEnumConnectionsA", 2));
    Exit();

    std::vector<std::string> calls = RasCalls(dir.path);
    ASSERT_GE(calls.size(), 5u);
    EXPECT_EQ(calls[0], "RasConnectionNotificationA connection=all flags=3 -> 0");
    EXPECT_EQ(calls[1], "RasEnumConnectionsA dwSize=" + kConnSize + " cb=" + kConnSize +
                            " -> 0 count=0 cbOut=0");
    EXPECT_EQ(calls[2],
              "RasGetEntryDialParamsA phonebook=null dwSize=1052 entry=Office password=1 -> 0");
    EXPECT_EQ(calls[3],
              "RasDialA extensions=null phonebook=null dwSize=1052 entry=Office user=utente "
              "notifierType=0 notifier=null handleIn=null -> 0 handle=1000");
    EXPECT_EQ(
        calls[4].rfind(
            "RasEnumConnectionsA dwSize=" + kConnSize + " cb=" + kConnSize + " -> 0 count=1", 0),
        0u)
        << calls[4];
    EXPECT_EQ(CallsStartingWith(dir.path, "RasDialA").size(), 1u);
    EXPECT_EQ(LogEntries(dir.path),
              (std::vector<std::string>{kStarted, LogLine("RasDial", "Office", 0), kStopped}));
}

TEST_F(TeleoraTest, FailedDialIsLoggedWithTheServiceTextAndItsHandleHungUp) {
    Start(General(5000, 0, "Office", 0),
          "entry Office\ndial 678 4321\ntext 678 Nessuna risposta.\n");
    PostCommand(run, kConnesso);
    ASSERT_TRUE(WaitForLog(LogLine("RasDial", "Office", 678, "Nessuna risposta.")));
    ASSERT_TRUE(WaitForCalls("RasHangUpA handle=4321", 1));
    Exit();
    // The clean-up hang-up is not logged.
    for (const std::string& entry : LogEntries(dir.path)) {
        EXPECT_EQ(entry.find("RasHangUp"), std::string::npos) << entry;
    }
}

TEST_F(TeleoraTest, UnknownEntryLogsTheFixedDialParamsErrorAndDialsNothing) {
    Start(General(5000, 0, "Nessuna", 0), "entry Office\n");
    PostCommand(run, kConnesso);
    // Code 1 has no text in the service: "Unknown.".
    ASSERT_TRUE(WaitForLog(LogLine("RasGetEntryDialParams", "Error", 1)));
    Exit();
    EXPECT_TRUE(CallsStartingWith(dir.path, "RasDialA").empty());
    EXPECT_EQ(CallsStartingWith(dir.path, "RasGetEntryDialParamsA").at(0),
              "RasGetEntryDialParamsA phonebook=null dwSize=1052 entry=Nessuna password=1 -> 623");
}

TEST_F(TeleoraTest, DisconnessoWithDropOthersHangsUpEveryConnection) {
    Start(General(5000, 1, "Office", 0),
          "entry Office\nconn 7 office\nconn 8 Office\nconn 9 Casa\n");
    PostCommand(run, kDisconnesso);
    ASSERT_TRUE(WaitForCalls("RasHangUpA", 3));
    ASSERT_TRUE(WaitForLog(LogLine("RasHangUp", "Casa", 0)));
    Exit();
    EXPECT_EQ(CallsStartingWith(dir.path, "RasHangUpA"),
              (std::vector<std::string>{"RasHangUpA handle=7 name=office -> 0",
                                        "RasHangUpA handle=8 name=Office -> 0",
                                        "RasHangUpA handle=9 name=Casa -> 0"}));
    EXPECT_EQ(LogEntries(dir.path),
              (std::vector<std::string>{kStarted, LogLine("RasEnumConnections", "Realloc", 0),
                                        LogLine("RasHangUp", "office", 0),
                                        LogLine("RasHangUp", "Office", 0),
                                        LogLine("RasHangUp", "Casa", 0), kStopped}));
}

TEST_F(TeleoraTest, DisconnessoWithoutDropOthersHangsUpOnlyTheChosenEntry) {
    Start(General(5000, 0, "Office", 0), "entry Office\nconn 8 Office\nconn 9 Casa\n");
    PostCommand(run, kDisconnesso);
    ASSERT_TRUE(WaitForLog(LogLine("RasHangUp", "Office", 0)));
    Exit();
    EXPECT_EQ(CallsStartingWith(dir.path, "RasHangUpA"),
              (std::vector<std::string>{"RasHangUpA handle=8 name=Office -> 0"}));
}

TEST_F(TeleoraTest, MoreConnectionsThanFitGrowTheBufferOnceAndItStaysGrown) {
    Start(General(5000, 0, "Office", 0), "entry Office\nconn 7 Casa\nconn 8 Lavoro\nconn 9 Mare\n");
    PostCommand(run, kConnesso);
    ASSERT_TRUE(WaitForLog(LogLine("RasDial", "Office", 0)));
    PostCommand(run, kConnesso);
    ASSERT_TRUE(WaitForCalls("RasEnumConnectionsA", 3));
    Exit();

    const int size = std::stoi(kConnSize);
    std::vector<std::string> enums = CallsStartingWith(dir.path, "RasEnumConnectionsA");
    ASSERT_GE(enums.size(), 3u);
    EXPECT_EQ(enums[0], "RasEnumConnectionsA dwSize=" + kConnSize + " cb=" + kConnSize +
                            " -> 603 count=0 cbOut=" + std::to_string(3 * size));
    EXPECT_EQ(enums[1], "RasEnumConnectionsA dwSize=" + kConnSize +
                            " cb=" + std::to_string(3 * size) +
                            " -> 0 count=3 cbOut=" + std::to_string(3 * size));
    // The next pass starts with the grown buffer (and finds four connections).
    EXPECT_EQ(enums[2], "RasEnumConnectionsA dwSize=" + kConnSize +
                            " cb=" + std::to_string(3 * size) +
                            " -> 603 count=0 cbOut=" + std::to_string(4 * size));
    EXPECT_TRUE(CallsStartingWith(dir.path, "RasHangUpA").empty());
    EXPECT_EQ(CountLines(LogEntries(dir.path), LogLine("RasEnumConnections", "Realloc", 0)), 2);
}

TEST_F(TeleoraTest, RuleModeDialsInsideItsWindowAndHangsUpOutsideIt) {
    const int today = Today();
    const unsigned all = 0x7F;
    Start(General(5000, 0, "Office", 2) + RuleSection(0, "Oggi", 1u << today) +
              RuleSection(1, "Altri giorni", all & ~(1u << today)),
          "entry Office\n");
    PostCommand(run, kRule0);
    ASSERT_TRUE(WaitForLog(LogLine("RasDial", "Office", 0)));
    PostCommand(run, kRule0 + 1);
    ASSERT_TRUE(WaitForLog(LogLine("RasHangUp", "Office", 0)));
    Exit();
    EXPECT_EQ(LogEntries(dir.path),
              (std::vector<std::string>{kStarted, LogLine("RasDial", "Office", 0),
                                        LogLine("RasHangUp", "Office", 0), kStopped}));
}

TEST_F(TeleoraTest, DialogOpensWithTheSettingsAndThePhonebookSorted) {
    Start(General(2500, 1, "off", 1) + RuleSection(0, "Sera", 0),
          "entry Zeta\nentry Office\nentry Casa\nentry Officina\n");
    HWND dialog = OpenDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(FieldText(dialog, 1000), "2");
    ASSERT_EQ(ComboCount(dialog, 1001), 4);
    EXPECT_EQ(ComboLine(dialog, 1001, 0), "Casa");
    EXPECT_EQ(ComboLine(dialog, 1001, 3), "Zeta");
    // The stored "off" is only the beginning of an entry: the first that begins
    // with it, case ignored, is preselected.
    EXPECT_EQ(FieldText(dialog, 1001), "Office");
    EXPECT_TRUE(IsChecked(dialog, 1002));
    ASSERT_EQ(ListCount(dialog, 1005), 1);
    EXPECT_EQ(ListLine(dialog, 1005, 0), "Sera");
    EXPECT_EQ(FieldText(dialog, 1022), "");
    EXPECT_EQ(FieldText(dialog, 1006), "");
    EXPECT_EQ(CallsStartingWith(dir.path, "RasEnumEntriesA").at(0),
              "RasEnumEntriesA reserved=null phonebook=null dwSize=264 cb=26400 -> 0 count=4");
    ClickButton(dialog, 2);
    ASSERT_TRUE(DialogClosed());
    Exit();
}

TEST_F(TeleoraTest, OkStoresTheSettingsRebuildsTheRuleItemsAndSwitchesToDisabilitato) {
    const int today = Today();
    Start(General(5000, 1, "Casa", 1) + RuleSection(0, "Sera", 0), "entry Casa\nentry Office\n");
    PostCommand(run, kConnesso);
    ASSERT_TRUE(WaitForLog(LogLine("RasDial", "Casa", 0)));

    HWND dialog = OpenDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(FieldText(dialog, 1001), "Casa");
    SetFieldText(dialog, 1000, "60");
    SetFieldText(dialog, 1001, "Office");
    ClickButton(dialog, 1002);  // off
    ClickButton(dialog, 1020);  // "Nuova regola" at the end
    ASSERT_TRUE(WaitUntil([&] { return ListCount(dialog, 1005) == 2; }));
    EXPECT_EQ(ListLine(dialog, 1005, 1), "Nuova regola");
    SelectListLine(dialog, 1005, 1);
    EXPECT_EQ(FieldText(dialog, 1022), "Nuova regola");
    EXPECT_EQ(FieldText(dialog, 1006), "00:00");
    SetFieldText(dialog, 1022, "Notte");
    EXPECT_EQ(ListLine(dialog, 1005, 1), "Notte");
    // Tomorrow 22:00-06:30, today 00:00-12:07 (typed as 123:75).
    const int tomorrow = (today + 1) % 7;
    SetFieldText(dialog, 1006 + tomorrow, "22:0");
    SetFieldText(dialog, 1013 + tomorrow, "6:30");
    SetFieldText(dialog, 1006 + today, "0:00");
    SetFieldText(dialog, 1013 + today, "123:75");
    EXPECT_EQ(FieldText(dialog, 1006 + tomorrow), "22:00");
    EXPECT_EQ(FieldText(dialog, 1013 + tomorrow), "06:30");
    EXPECT_EQ(FieldText(dialog, 1013 + today), "12:07");
    ClickButton(dialog, 1);
    ASSERT_TRUE(DialogClosed());
    ASSERT_TRUE(WaitUntil([&] { return IniInt(dir.path, "Generale", "tDelay") == 60000; }));
    Sync(run.tray);

    EXPECT_EQ(IniString(dir.path, "Generale", "szRasEntry"), "Office");
    EXPECT_EQ(IniInt(dir.path, "Generale", "bDropAny"), 0);
    EXPECT_EQ(IniInt(dir.path, "Generale", "nUserEntries"), 2);
    EXPECT_EQ(IniString(dir.path, "Rule0", "szName"), "Sera");
    EXPECT_EQ(IniString(dir.path, "Rule1", "szName"), "Notte");
    const std::string next = std::to_string(tomorrow);
    EXPECT_EQ(IniInt(dir.path, "Rule1", ("hStart" + next).c_str()), 22);
    EXPECT_EQ(IniInt(dir.path, "Rule1", ("mStart" + next).c_str()), 0);
    EXPECT_EQ(IniInt(dir.path, "Rule1", ("hStop" + next).c_str()), 6);
    EXPECT_EQ(IniInt(dir.path, "Rule1", ("mStop" + next).c_str()), 30);
    const std::string day = std::to_string(today);
    EXPECT_EQ(IniInt(dir.path, "Rule1", ("hStop" + day).c_str()), 12);
    EXPECT_EQ(IniInt(dir.path, "Rule1", ("mStop" + day).c_str()), 7);

    // "Disabilitato": the pass that OK woke touches nothing, although Casa is
    // now another entry's connection and the entry Office is down.
    size_t enumsAfterOk = CallsStartingWith(dir.path, "RasEnumConnectionsA").size();
    const size_t dialsAfterOk = CallsStartingWith(dir.path, "RasDialA").size();
    Sleep(300);
    EXPECT_EQ(CallsStartingWith(dir.path, "RasEnumConnectionsA").size(), enumsAfterOk);

    // The menu now lists Sera and Notte after "Disabilitato": the fifth item
    // is Notte, whose window today runs from 00:00 to 12:07.
    ClickTrayIcon(run);
    ASSERT_TRUE(ChooseMenuItemByKeyboard(run, 5));
    SYSTEMTIME now;
    GetLocalTime(&now);
    if (now.wHour * 60 + now.wMinute <= 12 * 60 + 7) {
        ASSERT_TRUE(WaitForLog(LogLine("RasDial", "Office", 0)));
    } else {
        ASSERT_TRUE(WaitForCalls("RasEnumConnectionsA", enumsAfterOk + 1));
        EXPECT_EQ(CallsStartingWith(dir.path, "RasDialA").size(), dialsAfterOk);
    }
    Exit();
    EXPECT_EQ(FindProcessWindow(run.process.dwProcessId, "#32770", nullptr), nullptr);
}

TEST_F(TeleoraTest, PauseOutsideOneToThreeThousandSixHundredIsRefused) {
    Start(General(5000, 1, "Office", 0), "entry Office\n");
    const std::string before = ReadText(dir.File("Teleora.ini"));
    HWND dialog = OpenDialog();
    ASSERT_NE(dialog, nullptr);
    for (const char* pause : {"0", "3601", "", "abc", "-5"}) {
        SCOPED_TRACE(pause);
        SetFieldText(dialog, 1000, pause);
        ClickButton(dialog, 1);
        HWND box = WaitForProcessWindow(run.process.dwProcessId, "#32770", UI_ERROR_CAPTION);
        ASSERT_NE(box, nullptr);
        EXPECT_NE(ChildTexts(box).find("La pausa fra tentativi deve essere compresa fra 1 e 3600."),
                  std::string::npos)
            << ChildTexts(box);
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        ASSERT_TRUE(WaitUntil([&] { return !IsWindow(box); }));
        EXPECT_TRUE(IsWindowVisible(dialog));
    }
    SetFieldText(dialog, 1000, "3600");
    ClickButton(dialog, 2);  // "Annulla": nothing stored
    ASSERT_TRUE(DialogClosed());
    Sync(run.tray);
    EXPECT_EQ(ReadText(dir.File("Teleora.ini")), before);
    Exit();
}

TEST_F(TeleoraTest, AnnullaKeepsTheModeAndStoresNothing) {
    Start(General(5000, 0, "Office", 0), "entry Office\nentry Casa\n");
    PostCommand(run, kConnesso);
    ASSERT_TRUE(WaitForLog(LogLine("RasDial", "Office", 0)));
    HWND dialog = OpenDialog();
    ASSERT_NE(dialog, nullptr);
    SetFieldText(dialog, 1000, "60");
    ClickButton(dialog, 1020);
    ClickButton(dialog, 2);
    ASSERT_TRUE(DialogClosed());
    EXPECT_EQ(IniInt(dir.path, "Generale", "tDelay"), 5000);
    EXPECT_EQ(IniInt(dir.path, "Generale", "nUserEntries"), 0);
    // Still "Connesso": the entry dropped by someone else is dialled again.
    size_t dials = CallsStartingWith(dir.path, "RasDialA").size();
    PostCommand(run, kDisconnesso);
    ASSERT_TRUE(WaitForLog(LogLine("RasHangUp", "Office", 0)));
    PostCommand(run, kConnesso);
    ASSERT_TRUE(WaitForCalls("RasDialA", dials + 1));
    Exit();
}

TEST_F(TeleoraTest, SecondConfigurazioneRaisesTheOpenDialogInsteadOfOpeningAnother) {
    Start(General(5000, 0, "Office", 0), "entry Office\n");
    HWND dialog = OpenDialog();
    ASSERT_NE(dialog, nullptr);
    SetFieldText(dialog, 1000, "42");
    PostCommand(run, kConfigurazione);
    Sync(run.tray);
    Sync(dialog);
    EXPECT_EQ(CountProcessWindows(run.process.dwProcessId, "#32770", UI_DIALOG_TITLE), 1);
    EXPECT_EQ(FieldText(dialog, 1000), "42");
    // The menu's modes work while the dialog is open.
    PostCommand(run, kConnesso);
    ASSERT_TRUE(WaitForLog(LogLine("RasDial", "Office", 0)));
    ClickButton(dialog, 1);
    ASSERT_TRUE(DialogClosed());
    ASSERT_TRUE(WaitUntil([&] { return IniInt(dir.path, "Generale", "tDelay") == 42000; }));
    Exit();
}

// "Esci" or the end of the session while the dialog is open: the dialog ends
// as with "Annulla", nothing of it is stored, and the program ends normally.
class EndWhileTheDialogIsOpen : public TeleoraTest,
                                public ::testing::WithParamInterface<const char*> {};

TEST_P(EndWhileTheDialogIsOpen, CancelsTheDialogAndExits) {
    Start(General(5000, 0, "Office", 0), "entry Office\n");
    const std::string before = ReadText(dir.File("Teleora.ini"));
    HWND dialog = OpenDialog();
    ASSERT_NE(dialog, nullptr);
    SetFieldText(dialog, 1000, "60");
    ClickButton(dialog, 1020);
    ASSERT_TRUE(WaitUntil([&] { return ListCount(dialog, 1005) == 1; }));
    if (std::string(GetParam()) == "Esci") {
        PostCommand(run, kEsci);
    } else {
        // Windows may end the process once WM_ENDSESSION returns: by then the
        // stop line must be in the log.
        DWORD_PTR ignored = 0;
        SendMessageTimeoutA(run.tray, WM_ENDSESSION, TRUE, 0, SMTO_BLOCK, 10000, &ignored);
        EXPECT_EQ(LogEntries(dir.path), (std::vector<std::string>{kStarted, kStopped}));
    }
    EXPECT_EQ(WaitForExit(&run, 20000), 0u);
    EXPECT_EQ(ReadText(dir.File("Teleora.ini")), before);
    EXPECT_EQ(LogEntries(dir.path), (std::vector<std::string>{kStarted, kStopped}));
}

INSTANTIATE_TEST_SUITE_P(Ways, EndWhileTheDialogIsOpen, ::testing::Values("Esci", "EndSession"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

// A tray click while the dialog is open opens the menu over it: a mode chosen
// there applies at once, the dialog keeps what was typed, and "Esci" chosen
// there ends the program without storing the dialog's edits.
TEST_F(TeleoraTest, TrayMenuWorksOverTheOpenDialog) {
    Start(General(5000, 0, "Office", 0), "entry Office\n");
    const std::string before = ReadText(dir.File("Teleora.ini"));
    HWND dialog = OpenDialog();
    ASSERT_NE(dialog, nullptr);
    SetFieldText(dialog, 1000, "42");
    ClickTrayIcon(run, WM_LBUTTONUP);
    ASSERT_TRUE(ChooseMenuItemByKeyboard(run, 1));  // "Connesso"
    ASSERT_TRUE(WaitForLog(LogLine("RasDial", "Office", 0)));
    ASSERT_TRUE(Sync(dialog));
    EXPECT_TRUE(IsWindowVisible(dialog));
    EXPECT_EQ(FieldText(dialog, 1000), "42");
    ClickTrayIcon(run);
    // Connesso, Disconnesso, Disabilitato, Configurazione..., Log, Esci: the
    // separators are skipped.
    ASSERT_TRUE(ChooseMenuItemByKeyboard(run, 6));
    EXPECT_EQ(WaitForExit(&run, 20000), 0u);
    EXPECT_EQ(ReadText(dir.File("Teleora.ini")), before);
    EXPECT_EQ(LogEntries(dir.path),
              (std::vector<std::string>{kStarted, LogLine("RasDial", "Office", 0), kStopped}));
}

// The icon's presence, asked the way the shell allows from any process.
bool TrayIconExists(HWND owner) {
    NOTIFYICONDATAA probe{};
    probe.cbSize = NOTIFYICONDATAA_V1_SIZE;
    probe.hWnd = owner;
    probe.uID = 69;
    return Shell_NotifyIconA(NIM_MODIFY, &probe) != FALSE;
}

int TrayIconWindows() {
    HWND tray = FindWindowA("__winex11_standalone_tray", nullptr);
    int count = 0;
    for (HWND icon = FindWindowExA(tray, nullptr, "__winex11_tray_icon", nullptr); icon != nullptr;
         icon = FindWindowExA(tray, icon, "__winex11_tray_icon", nullptr)) {
        if (IsWindowVisible(icon)) ++count;
    }
    return count;
}

TEST_F(TeleoraTest, IconIsShownWhileRunningAndGoneAfterEsci) {
    const int before = TrayIconWindows();
    Start();
    // The log's first line is written while the window is being created; the
    // icon is added just after.
    EXPECT_TRUE(WaitUntil([&] { return TrayIconExists(run.tray); }));
    EXPECT_TRUE(WaitUntil([&] { return TrayIconWindows() == before + 1; }));
    Exit();
    EXPECT_TRUE(WaitUntil([&] { return TrayIconWindows() == before; }));
    EXPECT_EQ(LogEntries(dir.path), (std::vector<std::string>{kStarted, kStopped}));
}

// A new notification area (the shell restarted) announces itself with the
// registered "TaskbarCreated" message: the program adds its icon again, and
// the icon's clicks open the menu as before.
TEST_F(TeleoraTest, IconComesBackWhenTheNotificationAreaIsRecreated) {
    Start();
    ASSERT_TRUE(WaitUntil([&] { return TrayIconExists(run.tray); }));
    NOTIFYICONDATAA icon{};
    icon.cbSize = NOTIFYICONDATAA_V1_SIZE;
    icon.hWnd = run.tray;
    icon.uID = 69;
    ASSERT_TRUE(Shell_NotifyIconA(NIM_DELETE, &icon));
    ASSERT_FALSE(TrayIconExists(run.tray));
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(HWND_BROADCAST, RegisterWindowMessageA("TaskbarCreated"), 0, 0,
                        SMTO_ABORTIFHUNG, 10000, &ignored);
    ASSERT_TRUE(WaitUntil([&] { return TrayIconExists(run.tray); }));
    HWND shown = WaitForTrayIconWindow();
    ASSERT_NE(shown, nullptr);
    MouseClick(shown, true);
    HWND popup = WaitForProcessWindow(run.process.dwProcessId, "#32768", nullptr);
    ASSERT_NE(popup, nullptr);
    ASSERT_TRUE(WaitForKeyboard(popup));
    PressKeyboardKey(VK_ESCAPE);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindowVisible(popup); }));
    Exit();
}

// "Log" starts the system's Notepad even when a notepad.exe lies in the
// working folder, where a search by name alone would find it first.
TEST_F(TeleoraTest, LogViewerIsTheSystemsNotepadNotOneInTheWorkingFolder) {
    ASSERT_TRUE(CopyFileA((TestBinDir() + "\\planted_notepad.exe").c_str(),
                          dir.File("notepad.exe").c_str(), FALSE));
    Start();
    PostCommand(run, kLog);
    HWND viewer = nullptr;
    EXPECT_TRUE(WaitUntil([&] {
        viewer = FindWindowA("Notepad", nullptr);
        return viewer != nullptr && IsWindowVisible(viewer);
    }));
    if (viewer != nullptr) PostMessageA(viewer, WM_CLOSE, 0, 0);
    EXPECT_FALSE(FileExists(dir.File("planted-notepad-ran.txt")));
    Exit();
}

// A rasapi32.dll lying beside Teleora.exe (the test programs' folder holds
// one that leaves a marker when loaded) is never loaded: the dial reaches the
// dial-up client of the system folder (the test double put there).
TEST_F(TeleoraTest, DialUpClientComesFromTheSystemFolderNotTheProgramsFolder) {
    ASSERT_TRUE(FileExists(TestBinDir() + "\\rasapi32.dll"));
    Start(General(5000, 0, "Office", 0), "entry Office\n");
    PostCommand(run, kConnesso);
    EXPECT_TRUE(WaitForLog(LogLine("RasDial", "Office", 0)));
    Exit();
    EXPECT_FALSE(FileExists(dir.File("planted-rasapi32-loaded.txt")));
}

// A person's session: the icon clicked with the mouse, "Configurazione..."
// chosen with the keys, a rule added and typed into key by key, a pause of 0
// refused ("Errore", closed with Enter) and corrected, OK, and "Esci" from
// the menu. Afterwards the file holds what was typed.
TEST_F(TeleoraTest, PersonAddsARuleByMouseAndKeysCorrectsThePauseAndExits) {
    const int today = Today();
    Start(General(5000, 0, "Office", 0), "entry Office\n");
    HWND icon = WaitForTrayIconWindow();
    ASSERT_NE(icon, nullptr);
    MouseClick(icon, true);
    ASSERT_TRUE(ChooseMenuItemWithKeys(run, 4));  // "Configurazione..."
    const DWORD pid = run.process.dwProcessId;
    HWND dialog = WaitForProcessWindow(pid, "#32770", UI_DIALOG_TITLE);
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(WaitForKeyboard(dialog));         // in front, where the clicks land
    MouseClick(GetDlgItem(dialog, 1020), false);  // "Aggiungi"
    ASSERT_TRUE(WaitUntil([&] { return ListCount(dialog, 1005) == 1; }));
    // A click on its line.
    HWND list = GetDlgItem(dialog, 1005);
    MouseClickAt(list, 10, static_cast<int>(SendMessageA(list, LB_GETITEMHEIGHT, 0, 0)) / 2, false);
    // The click travels through the input queue: typing starts once it has
    // filled the rule's fields.
    ASSERT_TRUE(WaitUntil([&] { return FieldText(dialog, 1022) == "Nuova regola"; }));
    TypeInto(dialog, 1022, "Notte");
    TypeInto(dialog, 1006 + today, "7:5");
    TypeInto(dialog, 1013 + today, "18:30");
    EXPECT_EQ(ListLine(dialog, 1005, 0), "Notte");
    EXPECT_EQ(FieldText(dialog, 1006 + today), "07:05");
    EXPECT_EQ(FieldText(dialog, 1013 + today), "18:30");
    TypeInto(dialog, 1000, "0");
    MouseClick(GetDlgItem(dialog, 1), false);
    HWND box = WaitForProcessWindow(pid, "#32770", UI_ERROR_CAPTION);
    ASSERT_NE(box, nullptr);
    ASSERT_TRUE(WaitForKeyboard(box));
    PressKeyboardKey(VK_RETURN);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(box); }));
    ASSERT_TRUE(IsWindowVisible(dialog));
    TypeInto(dialog, 1000, "30");
    MouseClick(GetDlgItem(dialog, 1), false);
    ASSERT_TRUE(DialogClosed());
    ASSERT_TRUE(WaitUntil([&] { return IniInt(dir.path, "Generale", "tDelay") == 30000; }));
    Sync(run.tray);  // the file is written whole before the tray window answers
    EXPECT_EQ(IniInt(dir.path, "Generale", "nUserEntries"), 1);
    EXPECT_EQ(IniString(dir.path, "Rule0", "szName"), "Notte");
    const std::string day = std::to_string(today);
    EXPECT_EQ(IniInt(dir.path, "Rule0", ("hStart" + day).c_str()), 7);
    EXPECT_EQ(IniInt(dir.path, "Rule0", ("mStart" + day).c_str()), 5);
    EXPECT_EQ(IniInt(dir.path, "Rule0", ("hStop" + day).c_str()), 18);
    EXPECT_EQ(IniInt(dir.path, "Rule0", ("mStop" + day).c_str()), 30);

    // Connesso, Disconnesso, Disabilitato, Notte, Configurazione..., Log, Esci.
    MouseClick(icon, true);
    ASSERT_TRUE(ChooseMenuItemWithKeys(run, 7));
    EXPECT_EQ(WaitForExit(&run, 20000), 0u);
    EXPECT_EQ(LogEntries(dir.path), (std::vector<std::string>{kStarted, kStopped}));
}

TEST_F(TeleoraTest, EndOfSessionEndsTheProgramEvenWhenCancelled) {
    Start();
    PostMessageA(run.tray, WM_ENDSESSION, FALSE, 0);
    EXPECT_EQ(WaitForExit(&run, 20000), 0u);
    EXPECT_EQ(LogEntries(dir.path), (std::vector<std::string>{kStarted, kStopped}));
}

// Holds every free entry of the atom table that window class names live in
// (under Wine the global atom table), so that no new class name can be
// registered, and frees them again.
class FullAtomTable {
  public:
    FullAtomTable() {
        char name[32];
        for (unsigned i = 0; i < 0x10000; ++i) {
            wsprintfA(name, "TeleoraTestAtom%u", i);
            ATOM atom = GlobalAddAtomA(name);
            if (atom == 0) break;
            atoms_.push_back(atom);
        }
    }
    ~FullAtomTable() {
        for (ATOM atom : atoms_) GlobalDeleteAtom(atom);
    }
    FullAtomTable(const FullAtomTable&) = delete;
    FullAtomTable& operator=(const FullAtomTable&) = delete;
    bool full() const { return !atoms_.empty() && GlobalAddAtomA("TeleoraTestOneMore") == 0; }

  private:
    std::vector<ATOM> atoms_;
};

TEST_F(TeleoraTest, FailedClassRegistrationExitsWithOneAndDoesNothingElse) {
    WriteText(dir.File("rasdouble.txt"), "entry Office\n");
    PROCESS_INFORMATION process{};
    DWORD code = STILL_ACTIVE;
    {
        FullAtomTable atoms;
        ASSERT_TRUE(atoms.full());
        // A class name new to the table cannot be registered now, in any process.
        WNDCLASSA probe{};
        probe.lpfnWndProc = &DefWindowProcA;
        probe.hInstance = GetModuleHandleA(nullptr);
        probe.lpszClassName = "TeleoraTestProbeClass";
        ASSERT_EQ(RegisterClassA(&probe), 0);
        std::string exe = TestBinDir() + "\\Teleora.exe";
        std::string commandLine = "\"" + exe + "\"";
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        ASSERT_TRUE(CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                                   nullptr, dir.path.c_str(), &startup, &process));
        WaitForSingleObject(process.hProcess, 20000);
        GetExitCodeProcess(process.hProcess, &code);
    }
    if (code == STILL_ACTIVE) TerminateProcess(process.hProcess, 99);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    EXPECT_EQ(code, 1u);
    // No window, no log line, no call to the service.
    EXPECT_EQ(FindWindowA("BreskTeleoraClass", nullptr), nullptr);
    EXPECT_FALSE(FileExists(dir.File("teleoralog.txt")));
    EXPECT_FALSE(FileExists(dir.File("rascalls.txt")));
}

TEST_F(TeleoraTest, LogCommandOpensTheViewerOnTheLogFile) {
    Start();
    PostCommand(run, kLog);
    // The viewer shows the log's own text.
    HWND viewer = nullptr;
    std::string shown;
    EXPECT_TRUE(WaitUntil([&] {
        viewer = FindWindowA("Notepad", nullptr);
        HWND edit = viewer == nullptr ? nullptr : FindWindowExA(viewer, nullptr, "Edit", nullptr);
        if (edit == nullptr) return false;
        char text[512] = "";
        SendMessageA(edit, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
        shown = text;
        return shown.find(kStarted) != std::string::npos;
    })) << shown;
    if (viewer != nullptr) PostMessageA(viewer, WM_CLOSE, 0, 0);
    Exit();
}

}  // namespace
