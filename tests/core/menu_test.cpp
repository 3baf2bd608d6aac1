#include "app/menu.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/dialog/config_dialog.h"
#include "common/text.h"
#include "common/wake_event.h"
#include "settings/shared_state.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

// "text#id", "---" for a separator, with "*" in front of the checked one.
std::vector<std::string> Describe(const MenuItem* items, int n) {
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) {
        std::string text = items[i].separator ? "---"
                                              : std::string(items[i].text) + "#" +
                                                    std::to_string(items[i].commandId);
        out.push_back((items[i].checked ? "*" : "") + text);
    }
    return out;
}

RuleTable Rules(std::initializer_list<const char*> names) {
    RuleTable table{};
    for (const char* name : names) InitRule(&table.rules[table.nUserEntries++], name);
    return table;
}

TEST(MenuItems, WithoutRulesAfterStartUp) {
    MenuItem items[kMaxMenuItems];
    int n = BuildMenuItems(Rules({}), ModeDisabled, items, kMaxMenuItems);
    EXPECT_THAT(Describe(items, n),
                ElementsAre("Connesso#40001", "Disconnesso#40003", "*Disabilitato#40006", "---",
                            "Configurazione...#40004", "Log#40008", "---", "Esci#40005"));
    MenuItem base[kMaxMenuItems];
    int nBase = BaseMenuItems(base, kMaxMenuItems);
    std::vector<std::string> expected = Describe(items, n);
    expected[2] = "Disabilitato#40006";
    EXPECT_THAT(Describe(base, nBase), ElementsAreArray(expected));
}

TEST(MenuItems, RulesFollowDisabledInTableOrder) {
    MenuItem items[kMaxMenuItems];
    int n =
        BuildMenuItems(Rules({"Uffici", "Sera", "Notte"}), ModeRuleBase + 1, items, kMaxMenuItems);
    EXPECT_THAT(Describe(items, n),
                ElementsAre("Connesso#40001", "Disconnesso#40003", "Disabilitato#40006",
                            "Uffici#41000", "*Sera#41001", "Notte#41002", "---",
                            "Configurazione...#40004", "Log#40008", "---", "Esci#40005"));
}

TEST(MenuItems, FullTableAndATooSmallArray) {
    RuleTable table{};
    for (int i = 0; i < kMaxRules; ++i)
        InitRule(&table.rules[i], ("R" + std::to_string(i)).c_str());
    table.nUserEntries = kMaxRules;
    MenuItem items[kMaxMenuItems];
    EXPECT_EQ(BuildMenuItems(table, ModeAlwaysUp, items, kMaxMenuItems), kMaxMenuItems);
    EXPECT_EQ(items[3 + 9].commandId, 41009);
    EXPECT_STREQ(items[3 + 9].text, "R9");
    MenuItem few[4];
    EXPECT_EQ(BuildMenuItems(table, ModeAlwaysUp, few, 4), 4);
    EXPECT_TRUE(few[0].checked);
}

TEST(MenuItems, ExactlyOneItemIsCheckedForEveryReachableMode) {
    RuleTable table = Rules({"a", "b", "c"});
    for (Mode mode = 0; mode < ModeRuleBase + 3; ++mode) {
        MenuItem items[kMaxMenuItems];
        int n = BuildMenuItems(table, mode, items, kMaxMenuItems);
        int checked = 0;
        for (int i = 0; i < n; ++i) {
            if (items[i].checked) {
                ++checked;
                Mode back = -1;
                ASSERT_TRUE(ModeForCommand(items[i].commandId, &back));
                EXPECT_EQ(back, mode);
            }
        }
        EXPECT_EQ(checked, 1) << "mode " << mode;
    }
}

TEST(MenuCommands, ModesAndCommandIds) {
    struct Case {
        int id;
        bool selects;
        Mode mode;
    };
    const Case cases[] = {
        {40001, true, ModeAlwaysUp},
        {40003, true, ModeAlwaysDown},
        {40006, true, ModeDisabled},
        {41000, true, 3},
        {41001, true, 4},
        {41009, true, 12},
        {41010, false, 0},
        {40999, false, 0},
        {40004, false, 0},
        {40005, false, 0},
        {40008, false, 0},
        {0, false, 0},
    };
    for (const Case& c : cases) {
        Mode mode = -1;
        EXPECT_EQ(ModeForCommand(c.id, &mode), c.selects) << c.id;
        if (c.selects) {
            EXPECT_EQ(mode, c.mode) << c.id;
            EXPECT_EQ(CommandForMode(mode), c.id);
        }
    }
    EXPECT_EQ(CommandForMode(13), 0);
    for (int r = 0; r <= kMaxRules; ++r) {  // every rule of a full table has its item
        Mode mode = -1;
        EXPECT_EQ(ModeForCommand(kCmdRuleFirst + r, &mode), r < kMaxRules) << r;
        EXPECT_EQ(mode, r < kMaxRules ? ModeRuleBase + r : -1) << r;
    }
    EXPECT_EQ(CommandForMode(-1), 0);
}

TEST(MenuCommands, RuleItemsBeyondTheTableAreNeverChecked) {
    EXPECT_FALSE(IsItemChecked(41002, ModeRuleBase + 2, 2));
    EXPECT_TRUE(IsItemChecked(41001, ModeRuleBase + 1, 2));
}

// Names given on the command line: the mode items' texts, case ignored; the
// other items and unknown names select nothing.
TEST(MenuCommands, ModeNames) {
    const RuleTable table = Rules({"Ufficio", "Sera tardi"});
    const std::pair<const char*, int> cases[] = {
        {"Connesso", 40001},
        {"connesso", 40001},
        {"DISCONNESSO", 40003},
        {"Disabilitato", 40006},
        {"ufficio", 41000},
        {"Sera Tardi", 41001},
        {"Sera", 0},
        {"Esci", 0},
        {"Configurazione...", 0},
        {"", 0},
    };
    for (const auto& [name, id] : cases) EXPECT_EQ(CommandForModeName(table, name), id) << name;
    EXPECT_EQ(CommandForModeName(Rules({"Connesso"}), "connesso"), 40001);
    char list[80];
    ListModeNames(table, list, sizeof list);
    EXPECT_STREQ(list, R"("Connesso", "Disconnesso", "Disabilitato", "Ufficio", "Sera tardi")");
    ListModeNames(table, list, 20);
    EXPECT_STREQ(list, R"("Connesso", "Discon)");
    ListModeNames(Rules({"x\x1b]0;t\a!"}), list, sizeof list);
    EXPECT_STREQ(list, R"("Connesso", "Disconnesso", "Disabilitato", "x ]0;t !")");
}

// A host that records what the commands ask of the toolkit.
struct RecordingHost {
    std::vector<std::string> calls;
    bool dialogOpen = false;
    int dialogResult = kDialogCancel;
    SharedState* state = nullptr;
    Settings confirmed{};

    MenuHost Host() {
        return MenuHost{this,
                        [](void* c) {
                            auto* self = static_cast<RecordingHost*>(c);
                            self->calls.push_back("dialog");
                            // The dialog publishes on OK, as the real one does.
                            if (self->dialogResult == kDialogOk)
                                PublishDialogSettings(self->state, self->confirmed);
                            return self->dialogResult;
                        },
                        [](void* c) { static_cast<RecordingHost*>(c)->calls.push_back("rebuild"); },
                        [](void* c) { static_cast<RecordingHost*>(c)->calls.push_back("save"); },
                        [](void* c) { static_cast<RecordingHost*>(c)->calls.push_back("log"); },
                        [](void* c) { static_cast<RecordingHost*>(c)->calls.push_back("exit"); },
                        [](void* c) { return static_cast<RecordingHost*>(c)->dialogOpen; },
                        [](void* c) { static_cast<RecordingHost*>(c)->calls.push_back("raise"); },
                        [](void* c) { static_cast<RecordingHost*>(c)->calls.push_back("cancel"); }};
    }
};

struct MenuCommandFixture : ::testing::Test {
    void SetUp() override {
        Settings settings;
        SetDefaultSettings(&settings);
        InitSharedState(&state, settings);
        wake = CreateWakeEvent(false, nullptr);
        host.state = &state;
        SetDefaultSettings(&host.confirmed);
        host.confirmed.tDelay = 60000;
    }
    void TearDown() override { DestroyWakeEvent(wake); }
    bool Woken() { return WaitWakeEvent(wake, 0); }

    SharedState state;
    WakeEvent* wake = nullptr;
    RecordingHost host;
};

TEST_F(MenuCommandFixture, EveryCommandWakesTheSupervisor) {
    for (int id : {40001, 40003, 40006, 41000, 41009, 40004, 40008, 40005, 12345}) {
        RunMenuCommand(host.Host(), &state, wake, id);
        EXPECT_TRUE(Woken()) << id;
        EXPECT_FALSE(Woken()) << "one signal, one wake: " << id;
    }
}

TEST_F(MenuCommandFixture, ChoosingAModeStoresIt) {
    RunMenuCommand(host.Host(), &state, wake, 41001);
    EXPECT_EQ(CurrentMode(&state), 4);
    RunMenuCommand(host.Host(), &state, wake, 41001);  // the same choice again still wakes
    EXPECT_TRUE(Woken());
    RunMenuCommand(host.Host(), &state, wake, 40003);
    EXPECT_EQ(CurrentMode(&state), ModeAlwaysDown);
    EXPECT_TRUE(host.calls.empty());
}

TEST_F(MenuCommandFixture, OkInTheDialogRebuildsSavesAndDisables) {
    PublishMode(&state, ModeAlwaysUp);
    host.dialogResult = kDialogOk;
    RunMenuCommand(host.Host(), &state, wake, kCmdConfigure);
    EXPECT_THAT(host.calls, ElementsAre("dialog", "rebuild", "save"));
    EXPECT_EQ(CurrentMode(&state), ModeDisabled);
    Settings live;
    CopyLiveSettings(&state, &live);
    EXPECT_EQ(live.tDelay, 60000);
    EXPECT_TRUE(Woken());
}

TEST_F(MenuCommandFixture, CancelKeepsTheModeAndSavesNothing) {
    PublishMode(&state, ModeAlwaysUp);
    RunMenuCommand(host.Host(), &state, wake, kCmdConfigure);
    EXPECT_THAT(host.calls, ElementsAre("dialog"));
    EXPECT_EQ(CurrentMode(&state), ModeAlwaysUp);
    EXPECT_TRUE(Woken());
}

TEST_F(MenuCommandFixture, LogAndExitGoToTheHost) {
    RunMenuCommand(host.Host(), &state, wake, kCmdShowLog);
    RunMenuCommand(host.Host(), &state, wake, kCmdExit);
    EXPECT_THAT(host.calls, ElementsAre("log", "exit"));
    EXPECT_EQ(CurrentMode(&state), ModeDisabled);
}

// With the dialog open, a second "Configurazione..." only raises it; "Esci"
// and the session's end cancel it before the program ends.
TEST_F(MenuCommandFixture, AnOpenDialogIsRaisedOrCancelledFirst) {
    const int kSessionEnd = 0;  // EndProgram rather than a command
    struct Case {
        int command;
        bool open;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {kCmdConfigure, true, {"raise"}},
        {kCmdExit, true, {"cancel", "exit"}},
        {kSessionEnd, true, {"cancel", "exit"}},
        {kSessionEnd, false, {"exit"}},
        {kCmdShowLog, true, {"log"}},
    };
    for (const Case& c : cases) {
        host.calls.clear();
        host.dialogOpen = c.open;
        if (c.command == kSessionEnd) {
            EndProgram(host.Host());
        } else {
            RunMenuCommand(host.Host(), &state, wake, c.command);
            EXPECT_TRUE(Woken()) << c.command;
        }
        EXPECT_EQ(host.calls, c.calls) << c.command << (c.open ? " open" : " closed");
    }
}

}  // namespace
