// The tray menu and the configuration dialog as Windows builds them from the
// program's own resources, driven in this process: the items and their ids,
// the rule items and check marks, the dialog's controls (ids, classes, texts,
// styles, rectangles, keyboard order) and the dialog procedure bound to the
// portable dialog behaviour through real controls.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "app/win32/config_dialog_win32.h"
#include "app/win32/shell_win32.h"
#include "resources/resource_ids.h"
#include "settings/shared_state.h"
#include "support/test_support.h"

namespace {

HINSTANCE Instance() {
    return GetModuleHandleA(nullptr);
}

std::string MenuText(HMENU menu, UINT position) {
    char text[128] = "";
    GetMenuStringA(menu, position, text, sizeof text, MF_BYPOSITION);
    return text;
}

RuleTable Rules(std::vector<std::string> names) {
    RuleTable table{};
    table.nUserEntries = static_cast<int32_t>(names.size());
    for (size_t i = 0; i < names.size(); ++i) InitRule(&table.rules[i], names[i].c_str());
    return table;
}

// "text:id" per item, "-" for a separator.
std::vector<std::string> Items(HMENU popup) {
    std::vector<std::string> items;
    int count = GetMenuItemCount(popup);
    for (int i = 0; i < count; ++i) {
        if (GetMenuState(popup, static_cast<UINT>(i), MF_BYPOSITION) & MF_SEPARATOR) {
            items.push_back("-");
        } else {
            items.push_back(MenuText(popup, static_cast<UINT>(i)) + ":" +
                            std::to_string(GetMenuItemID(popup, i)));
        }
    }
    return items;
}

class TrayMenu : public ::testing::Test {
  protected:
    void SetUp() override {
        menu = LoadMenuA(Instance(), MAKEINTRESOURCEA(IDR_TRAYMENU));
        ASSERT_NE(menu, nullptr);
        popup = GetSubMenu(menu, 0);
    }
    void TearDown() override { DestroyMenu(menu); }
    HMENU menu = nullptr;
    HMENU popup = nullptr;
};

TEST_F(TrayMenu, ResourceHoldsThePopupWithTheFixedItems) {
    EXPECT_EQ(MenuText(menu, 0), "Popup Menu");
    EXPECT_EQ(Items(popup), (std::vector<std::string>{
                                "Connesso:40001", "Disconnesso:40003", "Disabilitato:40006", "-",
                                "Configurazione...:40004", "Log:40008", "-", "Esci:40005"}));
}

TEST_F(TrayMenu, RuleItemsFollowDisabilitatoInTableOrderAndAreReplacedOnRebuild) {
    RebuildRuleMenuItems(popup, Rules({"Uno", "Due", "Tre"}));
    EXPECT_EQ(Items(popup), (std::vector<std::string>{
                                "Connesso:40001", "Disconnesso:40003", "Disabilitato:40006",
                                "Uno:41000", "Due:41001", "Tre:41002", "-",
                                "Configurazione...:40004", "Log:40008", "-", "Esci:40005"}));
    RebuildRuleMenuItems(popup, Rules({"Solo"}));
    EXPECT_EQ(Items(popup)[3], "Solo:41000");
    EXPECT_EQ(GetMenuItemCount(popup), 9);
    RebuildRuleMenuItems(popup, Rules({}));
    EXPECT_EQ(GetMenuItemCount(popup), 8);
}

TEST_F(TrayMenu, TenRulesFillTheReservedIds) {
    std::vector<std::string> names;
    for (int i = 0; i < kMaxRules; ++i) names.push_back("R" + std::to_string(i));
    RebuildRuleMenuItems(popup, Rules(names));
    std::vector<std::string> items = Items(popup);
    ASSERT_EQ(items.size(), 18u);
    EXPECT_EQ(items[3], "R0:41000");
    EXPECT_EQ(items[12], "R9:41009");
    EXPECT_EQ(items[13], "-");
}

TEST_F(TrayMenu, ExactlyTheItemOfTheModeIsChecked) {
    RebuildRuleMenuItems(popup, Rules({"Uno", "Due", "Tre"}));
    const int ids[] = {40001, 40003, 40006, 41000, 41001, 41002};
    struct Case {
        Mode mode;
        int checked;
    } cases[] = {{ModeDisabled, 40006},     {ModeAlwaysUp, 40001},     {ModeAlwaysDown, 40003},
                 {ModeRuleBase + 1, 41001}, {ModeRuleBase + 2, 41002}, {ModeDisabled, 40006}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        SetMenuCheckMarks(popup, c.mode, 3);
        for (int id : ids) {
            bool checked = (GetMenuState(popup, id, MF_BYCOMMAND) & MF_CHECKED) != 0;
            EXPECT_EQ(checked, id == c.checked) << id;
        }
    }
}

// The dialog, created without a modal loop so the test can drive it.
class ConfigDialogWindow : public ::testing::Test {
  protected:
    void Open(const char* entry, std::vector<std::string> phonebook) {
        Settings settings;
        SetDefaultSettings(&settings);
        strcpy(settings.szRasEntry, entry);
        settings.ruleTable = Rules({"Sera", "Notte"});
        settings.ruleTable.rules[1].days[3] = DayWindow{22, 0, 6, 30};
        InitSharedState(&shared, settings);
        fake.phonebook = phonebook;
        InitWin32ConfigDialog(&dialog, &shared, &fake.service);
        window = CreateConfigDialogModeless(&dialog, Instance(), nullptr);
        ASSERT_NE(window, nullptr);
    }
    void TearDown() override {
        if (window != nullptr) DestroyWindow(window);
    }
    std::string Text(int id) {
        char text[256] = "";
        GetDlgItemTextA(window, id, text, sizeof text);
        return text;
    }
    void Select(int index) {
        SendDlgItemMessageA(window, IDC_RULELIST, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
        SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDC_RULELIST, LBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(GetDlgItem(window, IDC_RULELIST)));
    }
    void Click(int id) {
        SendMessageA(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(window, id)));
    }
    std::string ComboLine(int index) {
        char text[256] = "";
        SendDlgItemMessageA(window, IDC_ENTRY, CB_GETLBTEXT, static_cast<WPARAM>(index),
                            reinterpret_cast<LPARAM>(text));
        return text;
    }

    SharedState shared;
    FakeDialUp fake;
    Win32ConfigDialog dialog;
    HWND window = nullptr;
};

struct Expected {
    const char* className;
    int id;  // -1 for a label
    const char* text;
    int x, y, width, height;
};

// Creation (and keyboard) order, with the rectangles in dialog units.
const Expected kControls[] = {
    {"Static", -1, "Pausa fra tentativi (s):", 4, 8, 64, 8},
    {"Edit", 1000, "", 93, 5, 40, 14},
    {"Static", -1, "Connessione RAS:", 4, 24, 58, 8},
    {"ComboBox", 1001, "", 92, 24, 108, 0},
    {"Button", 1002, "Tieni chiuse le altre connessioni RAS", 4, 40, 127, 10},
    {"Static", -1, "Regole personalizzate:", 4, 60, 70, 8},
    {"ListBox", 1005, "", 4, 72, 148, 116},
    {"Button", 1020, "Aggiungi", 28, 196, 50, 14},
    {"Button", 1021, "Rimuovi", 84, 196, 50, 14},
    {"Static", -1, "Nome", 164, 72, 20, 8},
    {"Edit", 1022, "", 192, 68, 100, 14},
    {"Static", -1, "Da", 220, 88, 10, 8},
    {"Static", -1, "A", 268, 88, 8, 8},
    {"Static", -1, "Domenica", 164, 104, 32, 8},
    {"Edit", 1006, "", 204, 101, 40, 14},
    {"Edit", 1013, "", 252, 101, 40, 14},
    {"Static", -1, "Lunedi", 164, 119, 21, 8},
    {"Edit", 1007, "", 204, 116, 40, 14},
    {"Edit", 1014, "", 252, 116, 40, 14},
    {"Static", -1, "Martedi", 164, 135, 24, 8},
    {"Edit", 1008, "", 204, 132, 40, 14},
    {"Edit", 1015, "", 252, 132, 40, 14},
    {"Static", -1, "Mercoledi", 164, 151, 31, 8},
    {"Edit", 1009, "", 204, 148, 40, 14},
    {"Edit", 1016, "", 252, 148, 40, 14},
    {"Static", -1, "Giovedi", 164, 167, 25, 8},
    {"Edit", 1010, "", 204, 164, 40, 14},
    {"Edit", 1017, "", 252, 164, 40, 14},
    {"Static", -1, "Venerdi", 164, 183, 25, 8},
    {"Edit", 1011, "", 204, 180, 40, 14},
    {"Edit", 1018, "", 252, 180, 40, 14},
    {"Static", -1, "Sabato", 164, 199, 23, 8},
    {"Edit", 1012, "", 204, 196, 40, 14},
    {"Edit", 1019, "", 252, 196, 40, 14},
    {"Button", 1, "OK", 240, 12, 50, 14},
    {"Button", 2, "Annulla", 240, 32, 50, 14},
};

TEST_F(ConfigDialogWindow, ResourceHasEveryControlInOrderWithItsRectangle) {
    Open("", {});
    char text[128];
    GetWindowTextA(window, text, sizeof text);
    EXPECT_STREQ(text, "Configurazione");
    LONG style = GetWindowLongA(window, GWL_STYLE);
    EXPECT_EQ(style & (DS_MODALFRAME | WS_CAPTION | WS_SYSMENU | WS_POPUP),
              DS_MODALFRAME | WS_CAPTION | WS_SYSMENU | WS_POPUP);
    RECT client, size{0, 0, 298, 218};
    GetClientRect(window, &client);
    MapDialogRect(window, &size);
    EXPECT_EQ(client.right, size.right);
    EXPECT_EQ(client.bottom, size.bottom);

    HWND child = GetWindow(window, GW_CHILD);
    for (const Expected& e : kControls) {
        SCOPED_TRACE(e.text[0] != '\0' ? e.text : std::to_string(e.id).c_str());
        ASSERT_NE(child, nullptr);
        char className[64];
        GetClassNameA(child, className, sizeof className);
        EXPECT_STRCASEEQ(className, e.className);
        if (e.id != -1) {
            EXPECT_EQ(GetDlgCtrlID(child), e.id);
        }
        if (e.id == -1 || e.text[0] != '\0') {
            GetWindowTextA(child, text, sizeof text);
            EXPECT_STREQ(text, e.text);
        }
        // Every control but the labels is a tab stop.
        bool tabStop = (GetWindowLongA(child, GWL_STYLE) & WS_TABSTOP) != 0;
        EXPECT_EQ(tabStop, e.id != -1);
        // Position and size are converted from dialog units separately.
        RECT position{e.x, e.y, e.width, e.height};
        MapDialogRect(window, &position);
        RECT actual;
        GetWindowRect(child, &actual);
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&actual), 2);
        EXPECT_EQ(actual.left, position.left);
        EXPECT_EQ(actual.top, position.top);
        EXPECT_EQ(actual.right - actual.left, position.right);
        if (e.height != 0) {
            EXPECT_EQ(actual.bottom - actual.top, position.bottom);
        }
        child = GetWindow(child, GW_HWNDNEXT);
    }
    EXPECT_EQ(child, nullptr);
    // The first stop of the keyboard order is the pause.
    EXPECT_EQ(GetNextDlgTabItem(window, nullptr, FALSE), GetDlgItem(window, IDC_DELAY));
}

TEST_F(ConfigDialogWindow, ControlStylesAreThoseOfTheLayout) {
    Open("", {});
    auto style = [&](int id) { return GetWindowLongA(GetDlgItem(window, id), GWL_STYLE); };
    EXPECT_TRUE(style(IDC_DELAY) & ES_AUTOHSCROLL);
    EXPECT_TRUE(style(IDC_NAME) & ES_AUTOHSCROLL);
    EXPECT_EQ(style(IDC_ENTRY) & 3, CBS_DROPDOWN);
    EXPECT_TRUE(style(IDC_ENTRY) & CBS_SORT);
    EXPECT_FALSE(style(IDC_ENTRY) & CBS_AUTOHSCROLL);
    // The scroll bars show once the lists hold more lines than fit.
    for (int i = 0; i < 40; ++i) {
        SendDlgItemMessageA(window, IDC_ENTRY, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("voce"));
        SendDlgItemMessageA(window, IDC_RULELIST, LB_ADDSTRING, 0,
                            reinterpret_cast<LPARAM>("riga"));
    }
    COMBOBOXINFO combo{};
    combo.cbSize = sizeof combo;
    ASSERT_TRUE(GetComboBoxInfo(GetDlgItem(window, IDC_ENTRY), &combo));
    EXPECT_TRUE(GetWindowLongA(combo.hwndList, GWL_STYLE) & WS_VSCROLL);
    EXPECT_EQ(style(IDC_DROPANY) & 0xF, BS_AUTOCHECKBOX);
    LONG list = style(IDC_RULELIST);
    EXPECT_TRUE(list & LBS_NOTIFY);
    EXPECT_TRUE(list & LBS_NOINTEGRALHEIGHT);
    EXPECT_TRUE(list & WS_VSCROLL);
    EXPECT_FALSE(list & LBS_SORT);
    EXPECT_TRUE(GetWindowLongA(GetDlgItem(window, IDC_RULELIST), GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
    EXPECT_EQ(style(IDOK) & 0xF, BS_DEFPUSHBUTTON);
    EXPECT_EQ(style(IDCANCEL) & 0xF, BS_PUSHBUTTON);
}

TEST_F(ConfigDialogWindow, OpensWithTheSettingsAndTheSortedPhonebook) {
    Open("off", {"Zeta", "office", "Casa", "Officina"});
    EXPECT_EQ(Text(IDC_DELAY), "5");
    EXPECT_EQ(IsDlgButtonChecked(window, IDC_DROPANY), BST_CHECKED);
    ASSERT_EQ(SendDlgItemMessageA(window, IDC_ENTRY, CB_GETCOUNT, 0, 0), 4);
    EXPECT_EQ(ComboLine(0), "Casa");
    EXPECT_EQ(ComboLine(3), "Zeta");
    EXPECT_EQ(Text(IDC_ENTRY), "office");
    EXPECT_EQ(SendDlgItemMessageA(window, IDC_RULELIST, LB_GETCOUNT, 0, 0), 2);
    EXPECT_EQ(SendDlgItemMessageA(window, IDC_RULELIST, LB_GETCURSEL, 0, 0), LB_ERR);
    EXPECT_EQ(Text(IDC_NAME), "");
}

TEST_F(ConfigDialogWindow, PreselectionOfTheConfiguredEntry) {
    struct Case {
        const char* configured;
        const char* shown;
    } cases[] = {{"", "Casa"}, {"ZETA", "Zeta"}, {"Nessuna", ""}, {"Casa", "Casa"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.configured);
        Open(c.configured, {"Zeta", "Casa"});
        EXPECT_EQ(Text(IDC_ENTRY), c.shown);
        DestroyWindow(window);
        window = nullptr;
    }
}

TEST_F(ConfigDialogWindow, SelectingARuleFillsTheFieldsWithoutChangingIt) {
    Open("", {});
    Select(1);
    EXPECT_EQ(Text(IDC_NAME), "Notte");
    EXPECT_EQ(Text(IDC_START_SUNDAY + 3), "22:00");
    EXPECT_EQ(Text(IDC_STOP_SUNDAY + 3), "06:30");
    EXPECT_EQ(Text(IDC_START_SUNDAY), "00:00");
    const DayWindow& w = dialog.core.edit.rules[1].days[3];
    EXPECT_EQ(w.hStart, 22);
    EXPECT_EQ(w.mStop, 30);
}

TEST_F(ConfigDialogWindow, TypedTimesAreNormalisedInTheFieldAndTheRule) {
    Open("", {});
    Select(0);
    struct Case {
        const char* typed;
        const char* shown;
        int hour, minute;
    } cases[] = {{"7:5", "07:05", 7, 5},
                 {"123:75", "12:07", 12, 7},
                 {"30:00", "03:00", 3, 0},
                 {"24:60", "02:06", 2, 6},
                 {"-3:30", "00:30", 0, 30}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        SetDlgItemTextA(window, IDC_STOP_SUNDAY + 6, c.typed);
        EXPECT_EQ(Text(IDC_STOP_SUNDAY + 6), c.shown);
        EXPECT_EQ(dialog.core.edit.rules[0].days[6].hStop, c.hour);
        EXPECT_EQ(dialog.core.edit.rules[0].days[6].mStop, c.minute);
    }
}

// Typed as a person does: the whole text selected, then one key at a time.
// Each rewrite puts the caret where typing goes on, so "7:5" ends as 07:05.
TEST_F(ConfigDialogWindow, TimesTypedKeyByKeyKeepTheirDigitsInPlace) {
    Open("", {});
    Select(0);
    struct Case {
        const char* typed;
        const char* shown;
        int hour, minute;
    } cases[] = {{"18:30", "18:30", 18, 30}, {"23:59", "23:59", 23, 59}, {"0:0", "00:00", 0, 0},
                 {"123:75", "12:07", 12, 7}, {"30:00", "03:00", 3, 0},   {"24:60", "02:06", 2, 6},
                 {"ab", "00:00", 0, 0},      {"7:5", "07:05", 7, 5}};
    HWND field = GetDlgItem(window, IDC_START_SUNDAY);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        SendMessageA(field, EM_SETSEL, 0, -1);
        for (const char* key = c.typed; *key != '\0'; ++key) {
            SendMessageA(field, WM_CHAR, static_cast<WPARAM>(*key), 1);
        }
        EXPECT_EQ(Text(IDC_START_SUNDAY), c.shown);
        EXPECT_EQ(dialog.core.edit.rules[0].days[0].hStart, c.hour);
        EXPECT_EQ(dialog.core.edit.rules[0].days[0].mStart, c.minute);
    }
    Click(IDOK);
    Settings live;
    CopyLiveSettings(&shared, &live);
    EXPECT_EQ(live.ruleTable.rules[0].days[0].hStart, 7);
    EXPECT_EQ(live.ruleTable.rules[0].days[0].mStart, 5);
}

TEST_F(ConfigDialogWindow, RenamingARuleReplacesItsLineAndKeepsItSelected) {
    Open("", {});
    Select(1);
    SetDlgItemTextA(window, IDC_NAME, "Mattina");
    char line[64] = "";
    SendDlgItemMessageA(window, IDC_RULELIST, LB_GETTEXT, 1, reinterpret_cast<LPARAM>(line));
    EXPECT_STREQ(line, "Mattina");
    EXPECT_EQ(SendDlgItemMessageA(window, IDC_RULELIST, LB_GETCURSEL, 0, 0), 1);
    EXPECT_EQ(SendDlgItemMessageA(window, IDC_RULELIST, LB_GETCOUNT, 0, 0), 2);
    EXPECT_STREQ(dialog.core.edit.rules[1].szName, "Mattina");
}

TEST_F(ConfigDialogWindow, AddAndRemoveWorkTheList) {
    Open("", {});
    for (int i = 0; i < 12; ++i) Click(IDC_ADD);  // eight fit, the rest only beep
    EXPECT_EQ(SendDlgItemMessageA(window, IDC_RULELIST, LB_GETCOUNT, 0, 0), kMaxRules);
    EXPECT_EQ(dialog.core.edit.count, kMaxRules);
    Select(0);
    Click(IDC_REMOVE);
    EXPECT_EQ(SendDlgItemMessageA(window, IDC_RULELIST, LB_GETCOUNT, 0, 0), kMaxRules - 1);
    EXPECT_EQ(SendDlgItemMessageA(window, IDC_RULELIST, LB_GETCURSEL, 0, 0), 0);
    EXPECT_STREQ(dialog.core.edit.rules[0].szName, "Notte");
}

TEST_F(ConfigDialogWindow, OkPublishesTheFieldsAndResetsTheMode) {
    Open("Casa", {"Casa", "Office"});
    PublishMode(&shared, ModeAlwaysUp);
    SetDlgItemTextA(window, IDC_DELAY, "60");
    SendDlgItemMessageA(window, IDC_ENTRY, CB_SELECTSTRING, static_cast<WPARAM>(-1),
                        reinterpret_cast<LPARAM>("Office"));
    CheckDlgButton(window, IDC_DROPANY, BST_UNCHECKED);
    Click(IDC_ADD);
    Click(IDOK);
    Settings live;
    CopyLiveSettings(&shared, &live);
    EXPECT_EQ(live.tDelay, 60000);
    EXPECT_STREQ(live.szRasEntry, "Office");
    EXPECT_EQ(live.bDropAny, 0);
    EXPECT_EQ(live.ruleTable.nUserEntries, 3);
    EXPECT_STREQ(live.ruleTable.rules[2].szName, "Nuova regola");
    EXPECT_EQ(CurrentMode(&shared), ModeDisabled);
    EXPECT_FALSE(IsWindowVisible(window));  // ended
}

TEST_F(ConfigDialogWindow, AnnullaStoresNothing) {
    Open("Casa", {"Casa"});
    PublishMode(&shared, ModeAlwaysDown);
    SetDlgItemTextA(window, IDC_DELAY, "60");
    Click(IDC_ADD);
    Click(IDCANCEL);
    Settings live;
    CopyLiveSettings(&shared, &live);
    EXPECT_EQ(live.tDelay, 5000);
    EXPECT_EQ(live.ruleTable.nUserEntries, 2);
    EXPECT_EQ(CurrentMode(&shared), ModeAlwaysDown);
}

}  // namespace
