#include "supervisor/schedule.h"

#include <gtest/gtest.h>

namespace {

DayWindow W(int hs, int ms, int he, int me) {
    return DayWindow{hs, ms, he, me};
}

struct WindowCase {
    DayWindow window;
    int hour, minute;
    bool active;
};

TEST(RuleIsActive, WindowEdges) {
    const WindowCase cases[] = {
        // An empty window is never active.
        {W(0, 0, 0, 0), 0, 0, false},
        {W(0, 0, 0, 0), 12, 0, false},
        {W(8, 0, 8, 0), 8, 0, false},
        // One-minute window: both ends inclusive.
        {W(8, 0, 8, 1), 7, 59, false},
        {W(8, 0, 8, 1), 8, 0, true},
        {W(8, 0, 8, 1), 8, 1, true},
        {W(8, 0, 8, 2), 8, 2, true},
        {W(8, 0, 8, 1), 8, 2, false},
        // Ordinary window; minutes count only when the hours are equal.
        {W(8, 0, 12, 0), 8, 0, true},
        {W(8, 0, 12, 0), 12, 0, true},
        {W(8, 0, 12, 0), 12, 1, false},
        {W(9, 45, 10, 15), 10, 15, true},
        {W(9, 45, 10, 15), 10, 16, false},
        {W(9, 45, 10, 15), 9, 44, false},
        {W(9, 45, 10, 15), 9, 59, true},
        {W(9, 45, 10, 15), 10, 0, true},
        // Across midnight.
        {W(22, 0, 6, 30), 0, 0, true},
        {W(22, 0, 6, 30), 6, 30, true},
        {W(22, 0, 6, 30), 6, 31, false},
        {W(22, 0, 6, 30), 21, 59, false},
        {W(22, 0, 6, 30), 22, 0, true},
        {W(22, 0, 6, 30), 23, 59, true},
        // Same hour, start minute after stop minute: also across midnight.
        {W(10, 30, 10, 15), 10, 20, false},
        {W(10, 30, 10, 15), 10, 30, true},
        {W(10, 30, 10, 15), 23, 59, true},
        {W(10, 30, 10, 15), 0, 0, true},
        {W(10, 30, 10, 15), 10, 15, true},
        {W(10, 30, 10, 16), 10, 16, true},
        // Values outside the usual ranges compare as they are.
        {W(8, 0, 25, 0), 23, 59, true},
        {W(8, 0, 25, 0), 7, 59, false},
        {W(-1, 0, 3, 0), 0, 0, true},
        {W(8, 75, 9, 0), 8, 59, false},
    };
    for (const WindowCase& c : cases) {
        EXPECT_EQ(RuleIsActive(c.window, c.hour, c.minute), c.active)
            << c.window.hStart << ":" << c.window.mStart << "-" << c.window.hStop << ":"
            << c.window.mStop << " at " << c.hour << ":" << c.minute;
    }
}

TEST(RuleIsActive, AlmostFullDayWindowIsActiveAtEveryMinute) {
    int inactive = 0;
    for (int h = 0; h < 24; ++h) {
        for (int m = 0; m < 60; ++m) inactive += RuleIsActive(W(23, 0, 22, 59), h, m) ? 0 : 1;
    }
    EXPECT_EQ(inactive, 0);
}

LocalTime At(int dayOfWeek, int hour, int minute) {
    return LocalTime{2026, 12, 6, dayOfWeek, hour, minute, 0, 0};
}

TEST(ShouldBeConnected, FixedModesIgnoreTheTime) {
    RuleTable table{};
    for (int day = 0; day < 7; ++day) {
        for (int hour : {0, 12, 23}) {
            EXPECT_EQ(ShouldBeConnected(ModeAlwaysUp, table, At(day, hour, 0)), Decision::Up);
            EXPECT_EQ(ShouldBeConnected(ModeAlwaysDown, table, At(day, hour, 0)), Decision::Down);
            EXPECT_EQ(ShouldBeConnected(ModeDisabled, table, At(day, hour, 0)), Decision::Skip);
        }
    }
}

TEST(ShouldBeConnected, RuleModeUsesTheWindowOfTodayOnly) {
    RuleTable table{};
    table.nUserEntries = 2;
    // Rule 1: Friday 22:00-06:30, Saturday empty, Sunday 08:00-12:00.
    table.rules[1].days[5] = W(22, 0, 6, 30);
    table.rules[1].days[0] = W(8, 0, 12, 0);
    const Mode rule1 = ModeRuleBase + 1;
    EXPECT_EQ(ShouldBeConnected(rule1, table, At(5, 23, 0)), Decision::Up);
    EXPECT_EQ(ShouldBeConnected(rule1, table, At(5, 3, 0)), Decision::Up);
    EXPECT_EQ(ShouldBeConnected(rule1, table, At(5, 12, 0)), Decision::Down);
    // Saturday morning follows Saturday's own (empty) window.
    EXPECT_EQ(ShouldBeConnected(rule1, table, At(6, 3, 0)), Decision::Down);
    // Sunday is day 0.
    EXPECT_EQ(ShouldBeConnected(rule1, table, At(0, 9, 0)), Decision::Up);
    // Rule 0 is all zero: never up.
    EXPECT_EQ(ShouldBeConnected(ModeRuleBase, table, At(5, 23, 0)), Decision::Down);
}

TEST(ShouldBeConnected, SaturdayIsTheSeventhWindow) {
    RuleTable table{};
    table.nUserEntries = 1;
    table.rules[0].days[6] = W(0, 0, 23, 59);
    EXPECT_EQ(ShouldBeConnected(ModeRuleBase, table, At(6, 10, 0)), Decision::Up);
    EXPECT_EQ(ShouldBeConnected(ModeRuleBase, table, At(0, 10, 0)), Decision::Down);
}

TEST(ShouldBeConnected, ModesOutsideTheTableAreLeftAlone) {
    RuleTable table{};
    for (int i = 0; i < kMaxRules; ++i) table.rules[i].days[1] = W(0, 0, 23, 59);
    table.nUserEntries = kMaxRules;
    EXPECT_EQ(ShouldBeConnected(ModeRuleBase + 9, table, At(1, 1, 0)), Decision::Up);
    EXPECT_EQ(ShouldBeConnected(ModeRuleBase + 10, table, At(1, 1, 0)), Decision::Skip);
    EXPECT_EQ(ShouldBeConnected(-1, table, At(1, 1, 0)), Decision::Skip);
    EXPECT_EQ(ShouldBeConnected(ModeRuleBase, table, At(7, 1, 0)), Decision::Skip);
}

TEST(MillisecondsToNextChange, MeetsEveryEdgeOnTheMinute) {
    RuleTable table{};
    table.nUserEntries = 4;
    table.rules[0].days[1] = W(8, 0, 12, 0);                        // Monday only
    table.rules[1].days[5] = W(22, 0, 6, 30);                       // Friday, across midnight
    table.rules[1].days[0] = W(0, 0, 23, 59);                       // all of Sunday
    for (DayWindow& d : table.rules[2].days) d = W(23, 0, 22, 59);  // always active
    // Rule 3: all zero, never active.
    auto at = [](int day, int h, int m, int s, int ms) {
        return LocalTime{2026, 12, 6, day, h, m, s, ms};
    };
    constexpr int64_t kMin = 60000;
    struct Case {
        Mode mode;
        LocalTime now;
        int64_t expected;
    };
    const Case cases[] = {
        {ModeRuleBase, at(1, 7, 59, 30, 0), 30000},          // up to the start minute
        {ModeRuleBase, at(1, 8, 0, 0, 0), 241 * kMin},       // stop inclusive: 12:01
        {ModeRuleBase, at(1, 12, 0, 59, 999), 1},            // last millisecond
        {ModeRuleBase, at(1, 12, 1, 0, 0), 9839 * kMin},     // next Monday 08:00
        {ModeRuleBase + 1, at(5, 6, 30, 0, 0), kMin},        // the morning part ends
        {ModeRuleBase + 1, at(5, 21, 59, 0, 0), kMin},       // the evening part starts
        {ModeRuleBase + 1, at(5, 23, 59, 0, 0), kMin},       // midnight: Saturday's window
        {ModeRuleBase + 1, at(6, 12, 0, 0, 0), 720 * kMin},  // Saturday -> Sunday
        {ModeRuleBase + 1, at(0, 10, 0, 0, 0), 840 * kMin},  // Sunday -> empty Monday
        {ModeRuleBase + 1, at(4, 0, 0, 0, 0), 1440 * kMin},  // a day with no window
        {ModeRuleBase + 2, at(3, 22, 59, 0, 0), kNoDecisionChange},
        {ModeRuleBase + 3, at(3, 10, 0, 0, 0), kNoDecisionChange},
        {ModeAlwaysUp, at(1, 7, 59, 0, 0), kNoDecisionChange},
        {ModeDisabled, at(1, 7, 59, 0, 0), kNoDecisionChange},
        {ModeRuleBase + 10, at(1, 7, 59, 0, 0), kNoDecisionChange},
        {ModeRuleBase, at(7, 7, 59, 0, 0), kNoDecisionChange},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MillisecondsToNextChange(c.mode, table, c.now), c.expected)
            << "mode " << c.mode << " day " << c.now.dayOfWeek << " " << c.now.hour << ":"
            << c.now.minute << ":" << c.now.second << "." << c.now.millisecond;
    }
}

}  // namespace
