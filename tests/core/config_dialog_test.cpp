#include "app/dialog/config_dialog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/text.h"
#include "settings/shared_state.h"
#include "support/fake_dialog_view.h"
#include "support/test_support.h"

namespace {

// ---------------------------------------------------------------------------
// The program's side: live settings, the phonebook, and one dialog whose edit
// buffer outlives each opening, as the process's does.

Rule MakeRule(const char* name, int seed) {
    Rule r;
    InitRule(&r, name);
    for (int d = 0; d < kDaysPerWeek; ++d) {
        r.days[d] = DayWindow{(seed + d) % 24, (seed * 7 + d) % 60, (seed + d + 5) % 24,
                              (seed * 11 + d) % 60};
    }
    return r;
}

Settings MakeSettings(int rules) {
    Settings s;
    SetDefaultSettings(&s);
    const char* names[] = {"Ufficio", "Casa",  "Notte", "Weekend", "Turno",
                           "Sei",     "Sette", "Otto",  "Nove",    "Dieci"};
    for (int i = 0; i < rules; ++i) s.ruleTable.rules[i] = MakeRule(names[i], i + 1);
    s.ruleTable.nUserEntries = rules;
    return s;
}

struct DialogHarness {
    FakeDialUp dialup;
    SharedState shared;
    ConfigDialog dialog{};
    std::unique_ptr<FakeDialogView> ui;

    explicit DialogHarness(const Settings& settings, Mode mode = ModeRuleBase + 1) {
        InitSharedState(&shared, settings);
        PublishMode(&shared, mode);
        dialup.phonebook = {"Connessione remota", "Office"};
    }

    // Every opening gets fresh controls; the edit buffer stays the same.
    FakeDialogView& Open(const DialUpService* service) {
        ui = std::make_unique<FakeDialogView>();
        ui->dialog = &dialog;
        dialog.shared = &shared;
        dialog.service = service;
        dialog.view = ui->Bind();
        OnDialogInit(&dialog);
        return *ui;
    }
    FakeDialogView& Open() { return Open(&dialup.service); }

    Settings Live() {
        Settings s;
        CopyLiveSettings(&shared, &s);
        return s;
    }
};

std::string WindowText(int h, int m) {
    char text[32];
    snprintf(text, sizeof text, "%02d:%02d", h, m);
    return text;
}

// Settings compared by meaning: unused slots and bytes after a terminator do
// not count.
void ExpectSameSettings(const Settings& a, const Settings& b) {
    EXPECT_EQ(a.tDelay, b.tDelay);
    EXPECT_EQ(a.bDropAny, b.bDropAny);
    EXPECT_STREQ(a.szRasEntry, b.szRasEntry);
    ASSERT_EQ(a.ruleTable.nUserEntries, b.ruleTable.nUserEntries);
    for (int i = 0; i < a.ruleTable.nUserEntries; ++i) {
        EXPECT_STREQ(a.ruleTable.rules[i].szName, b.ruleTable.rules[i].szName) << "rule " << i;
        EXPECT_EQ(0, memcmp(a.ruleTable.rules[i].days, b.ruleTable.rules[i].days,
                            sizeof a.ruleTable.rules[i].days))
            << "rule " << i;
    }
}

bool SameBytes(const RuleEditBuffer& a, const RuleEditBuffer& b) {
    return a.count == b.count && a.selection == b.selection &&
           memcmp(a.rules, b.rules, sizeof a.rules) == 0;
}

// ===========================================================================
// The text rules on their own.

struct TimeCase {
    const char* text;
    int32_t hour, minute;
};

void ExpectParses(const TimeCase* cases, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        int32_t h = -1, m = -1;
        ParseTimeField(cases[i].text, &h, &m);
        EXPECT_EQ(h, cases[i].hour) << '"' << cases[i].text << '"';
        EXPECT_EQ(m, cases[i].minute) << '"' << cases[i].text << '"';
    }
}

TEST(TimeFieldParse, NormalisesNumbersIntoRange) {
    const TimeCase cases[] = {
        {"7:5", 7, 5},       {"123:75", 12, 7},   {"30:00", 3, 0},         {"24:60", 2, 6},
        {"-3:30", 0, 30},    {"0:0", 0, 0},       {"23:59", 23, 59},       {"5:-7", 5, 0},
        {"+5:+7", 5, 7},     {"-0:-0", 0, 0},     {"99:99", 9, 9},         {"240:600", 2, 6},
        {"0024:0060", 2, 6}, {" \t9: 30", 9, 30}, {"9:30xyz", 9, 30},      {"9:30:45", 9, 30},
        {"12:3 4", 12, 3},   {"\n1:\r2", 1, 2},   {"000023:00059", 23, 59}};
    ExpectParses(cases, std::size(cases));
}

TEST(TimeFieldParse, NumbersTheTextDoesNotSupplyAreZero) {
    const TimeCase cases[] = {{"", 0, 0},    {" ", 0, 0},     {"x", 0, 0},      {"x9:30", 0, 0},
                              {":30", 0, 0}, {"-:30", 0, 0},  {"+ 9:30", 0, 0}, {"9", 9, 0},
                              {"9:", 9, 0},  {"9 :30", 9, 0}, {"9 30", 9, 0},   {"9:x", 9, 0},
                              {"9:-", 9, 0}, {"9:+ 5", 9, 0}, {"9::5", 9, 0},   {"25", 2, 0}};
    ExpectParses(cases, std::size(cases));
}

TEST(TimeFieldParse, DigitStringsOfAnyLength) {
    const TimeCase cases[] = {
        {"99999999999999999999:7", 9, 7},
        {"2400000000000:0", 2, 0},
        {"7:99999999999999999999999", 7, 9},
        {"-99999999999999999999:5", 0, 5},
        {"5:-99999999999999999999", 5, 0},
        {"2147483648:2147483647", 21, 21},
        {"4294967296:4294967296", 4, 42},
        {"00000000000000000000000000000023:000000000000000000000000000059", 23, 59},
        {"199999999999999999999999999999999999999999999999999999999999999:1", 19, 1}};
    ExpectParses(cases, std::size(cases));
}

// Every pair in a wide range against the rule read literally.
TEST(TimeFieldParse, AgreesWithRepeatedDivision) {
    auto rule = [](long v, long limit) {
        if (v < 0) return 0L;
        while (v >= limit) v /= 10;
        return v;
    };
    for (long v = -1000; v <= 200000; v += (v < 3000 ? 1 : 7)) {
        std::string hourFirst = std::to_string(v) + ":7";
        std::string minuteLast = "7:" + std::to_string(v);
        int32_t h, m;
        ParseTimeField(hourFirst.c_str(), &h, &m);
        ASSERT_EQ(h, rule(v, 24)) << hourFirst;
        ParseTimeField(minuteLast.c_str(), &h, &m);
        ASSERT_EQ(m, rule(v, 60)) << minuteLast;
    }
}

TEST(TimeFieldFormat, TwoDigitsEachAndBoundedBuffer) {
    char text[24];
    const std::pair<DayWindow, std::string> cases[] = {
        {{0, 0, 0, 0}, "00:00"},
        {{7, 5, 0, 0}, "07:05"},
        {{23, 59, 0, 0}, "23:59"},
        {{100, -5, 0, 0}, "100:-5"},  // values from a hand-edited file
        {{INT32_MIN, INT32_MIN, 0, 0}, "-2147483648:-2147483648"}};
    for (const auto& [w, expected] : cases) {
        FormatTimeField(w.hStart, w.mStart, text, sizeof text);
        EXPECT_EQ(std::string(text), expected);
    }
    char small[4] = {'x', 'x', 'x', 'x'};
    FormatTimeField(12, 34, small, 3);
    EXPECT_STREQ(small, "12");
    EXPECT_EQ(small[3], 'x');
    FormatTimeField(12, 34, small, 0);
    EXPECT_STREQ(small, "12");
}

TEST(PauseFieldParse, OnlyBlanksAroundDigits) {
    const std::pair<const char*, uint32_t> numbers[] = {
        {"5", 5},
        {"3600", 3600},
        {" 12 ", 12},
        {"\t7\t", 7},
        {"0005", 5},
        {"000000000000000000000000000001", 1},
        {"4294967295", 4294967295u},
    };
    for (const auto& [text, seconds] : numbers) {
        EXPECT_EQ(ParsePauseField(text), seconds) << '"' << text << '"';
    }
    for (const char* text : {"4294967296", "42949672961", "99999999999999999999", "", "   ", "abc",
                             " 12x", "+5", "-5", "1 2", "1.5", "0x10"}) {
        EXPECT_EQ(ParsePauseField(text), 0u) << '"' << text << '"';
    }
}

TEST(PauseFieldForDelay, WholeSecondsAndNeverNegative) {
    for (int32_t t = -999; t <= 999; ++t) ASSERT_EQ(PauseSecondsForDelay(t), 0u) << t;
    const std::pair<int32_t, uint32_t> cases[] = {{5000, 5},       {2500, 2},           {1000, 1},
                                                  {3600000, 3600}, {-5000, 0},          {-1000, 0},
                                                  {INT32_MIN, 0},  {INT32_MAX, 2147483}};
    for (const auto& [delay, seconds] : cases) EXPECT_EQ(PauseSecondsForDelay(delay), seconds);
}

TEST(ConfigDialogEntryNames, SortIsStableAndIgnoresCase) {
    const char* names[] = {"Zeta", "office", "Beta", "Office", "alpha", "OFFICE", "\xE8", "b"};
    SortEntryNames(names, static_cast<int>(std::size(names)));
    const std::vector<std::string> expected = {"alpha",  "b",      "Beta", "office",
                                               "Office", "OFFICE", "Zeta", "\xE8"};
    EXPECT_EQ(std::vector<std::string>(std::begin(names), std::end(names)), expected);

    const char* sorted[] = {"alpha", "Beta", "office", "Office", "Zeta"};
    const std::pair<const char*, int> cases[] = {{"Off", 2}, {"OFFICE", 2},   {"", 0},
                                                 {"z", 4},   {"officex", -1}, {"Gamma", -1}};
    for (const auto& [prefix, index] : cases) {
        EXPECT_EQ(FindEntryByPrefix(sorted, 5, prefix), index) << prefix;
    }
    EXPECT_EQ(FindEntryByPrefix(sorted, 0, ""), -1);
}

// ===========================================================================
// Opening.

TEST(ConfigDialogOpen, ShowsPauseAndCheckBox) {
    const std::pair<int32_t, const char*> pauses[] = {{5000, "5"}, {2500, "2"},  {999, "0"},
                                                      {-999, "0"}, {-5000, "0"}, {3600000, "3600"}};
    for (const auto& [delay, shown] : pauses) {
        Settings s = MakeSettings(0);
        s.tDelay = delay;
        DialogHarness h(s);
        EXPECT_EQ(h.Open().Text(kIdDelay), shown) << delay;
    }
    for (int32_t drop : {0, 1, 7}) {
        Settings s = MakeSettings(0);
        s.bDropAny = drop;
        DialogHarness h(s);
        EXPECT_EQ(h.Open().dropAnyChecked, drop != 0) << drop;
    }
}

TEST(ConfigDialogOpen, PreselectsTheConfiguredEntryByPrefix) {
    struct Case {
        std::vector<std::string> phonebook;
        const char* configured;
        const char* shown;
    };
    const Case cases[] = {{{"office", "Office", "Zeta"}, "Off", "office"},
                          {{"Zeta", "Office", "office"}, "Off", "Office"},
                          {{"Zeta", "Office"}, "office", "Office"},
                          {{"Zeta", "alpha", "Beta"}, "", "alpha"},
                          {{"Zeta", "alpha"}, "Missing", ""},
                          {{"Zeta", "alpha"}, "Zeta2", ""},
                          {{}, "Office", ""}};
    for (const Case& c : cases) {
        Settings s = MakeSettings(0);
        CopyBounded(s.szRasEntry, c.configured, sizeof s.szRasEntry);
        DialogHarness h(s);
        h.dialup.phonebook = c.phonebook;
        FakeDialogView& ui = h.Open();
        EXPECT_EQ(ui.Text(kIdEntry), c.shown) << c.configured;
        // The names reach the combo box already in its order.
        EXPECT_EQ(ui.addedEntries, ui.comboItems);
        EXPECT_EQ(ui.comboItems.size(), c.phonebook.size());
    }
}

// A listing that reports success with a count it cannot hold.
int32_t EnumEntriesBadCount(void* ctx, PhonebookEntries* out) {
    out->count = *static_cast<int*>(ctx);
    return 0;
}

TEST(ConfigDialogOpen, NoPhonebookLeavesTheEntryEmpty) {
    Settings s = MakeSettings(0);
    CopyBounded(s.szRasEntry, "Office", sizeof s.szRasEntry);
    int badCount = 0;
    DialUpService lying{};
    lying.ctx = &badCount;
    lying.enumEntries = &EnumEntriesBadCount;
    enum {
        kFails,
        kTooMany,
        kNoService,
        kCountTooBig,
        kCountNegative
    } const how[] = {kFails, kTooMany, kNoService, kCountTooBig, kCountNegative};
    for (auto which : how) {
        DialogHarness h(s);
        h.dialup.phonebook = {"Office"};
        const DialUpService* service = &h.dialup.service;
        if (which == kFails) h.dialup.enumEntriesResult = kFakeCannotFindEntry;
        if (which == kTooMany) h.dialup.phonebook.assign(kMaxPhonebookEntries + 1, "Office");
        if (which == kNoService) service = nullptr;
        if (which >= kCountTooBig) service = &lying;
        badCount = which == kCountTooBig ? kMaxPhonebookEntries + 1 : -1;
        FakeDialogView& ui = h.Open(service);
        EXPECT_TRUE(ui.comboItems.empty()) << which;
        EXPECT_EQ(ui.Text(kIdEntry), "") << which;
    }
    DialogHarness full(s);
    full.dialup.phonebook.assign(kMaxPhonebookEntries, "Office");
    EXPECT_EQ(full.Open().comboItems.size(), static_cast<size_t>(kMaxPhonebookEntries));
}

TEST(ConfigDialogOpen, ListsTheRulesWithNothingSelected) {
    DialogHarness h(MakeSettings(3));
    FakeDialogView& ui = h.Open();
    EXPECT_EQ(ui.list, (std::vector<std::string>{"Ufficio", "Casa", "Notte"}));
    EXPECT_EQ(ui.listSel, kNoSelection);
    EXPECT_EQ(h.dialog.edit.selection, kNoSelection);
    EXPECT_EQ(h.dialog.edit.count, 3);
    EXPECT_EQ(ui.Text(kIdName), "");
    for (int id = kIdStartFirst; id < kIdStopFirst + kDaysPerWeek; ++id) EXPECT_EQ(ui.Text(id), "");
}

// ===========================================================================
// Selecting and editing rules.

TEST(ConfigDialogSelect, FillsAllFifteenFieldsWithoutChangingTheRule) {
    Settings s = MakeSettings(2);
    s.ruleTable.rules[1].days[3] = DayWindow{30, 75, -4, 100};  // from a hand-edited file
    DialogHarness h(s);
    FakeDialogView& ui = h.Open();
    RuleEditBuffer before = h.dialog.edit;
    ui.reportsFromSetText = 0;

    ui.Click(1);
    EXPECT_EQ(h.dialog.edit.selection, 1);
    EXPECT_EQ(ui.reportsFromSetText, 15);  // every write came back as a change
    EXPECT_EQ(ui.Text(kIdName), "Casa");
    for (int d = 0; d < kDaysPerWeek; ++d) {
        const DayWindow& w = s.ruleTable.rules[1].days[d];
        EXPECT_EQ(ui.Text(kIdStartFirst + d), WindowText(w.hStart, w.mStart)) << d;
        EXPECT_EQ(ui.Text(kIdStopFirst + d), WindowText(w.hStop, w.mStop)) << d;
    }
    EXPECT_EQ(ui.Text(kIdStartFirst + 3), "30:75");
    EXPECT_EQ(ui.list[1], "Casa");
    before.selection = 1;
    EXPECT_TRUE(SameBytes(h.dialog.edit, before));

    ui.Click(kNoSelection);  // a click below the last line
    EXPECT_EQ(h.dialog.edit.selection, kNoSelection);
    EXPECT_EQ(ui.Text(kIdName), "Casa");
}

TEST(ConfigDialogTimeEdit, EachFieldSetsItsOwnDayAndEnd) {
    DialogHarness h(MakeSettings(2));
    FakeDialogView& ui = h.Open();
    ui.Click(1);
    Rule expected = h.dialog.edit.rules[1];
    const Rule other = h.dialog.edit.rules[0];
    for (int d = 0; d < kDaysPerWeek; ++d) {
        ui.Paste(kIdStartFirst + d, std::to_string(d) + ":" + std::to_string(10 + d));
        ui.Paste(kIdStopFirst + d, std::to_string(20 - d) + ":" + std::to_string(50 + d));
        expected.days[d] = DayWindow{d, 10 + d, 20 - d, 50 + d};
        EXPECT_EQ(ui.Text(kIdStartFirst + d), WindowText(d, 10 + d));
        EXPECT_EQ(ui.Text(kIdStopFirst + d), WindowText(20 - d, 50 + d));
    }
    EXPECT_EQ(0, memcmp(&h.dialog.edit.rules[1], &expected, sizeof expected));
    EXPECT_EQ(0, memcmp(&h.dialog.edit.rules[0], &other, sizeof other));
}

TEST(ConfigDialogTimeEdit, PastedTextIsNormalisedAndStored) {
    const TimeCase cases[] = {{"7:5", 7, 5},   {"123:75", 12, 7}, {"30:00", 3, 0},
                              {"24:60", 2, 6}, {"-3:30", 0, 30},  {"", 0, 0},
                              {"9 :30", 9, 0}, {"x", 0, 0},       {"99999999999999999999:7", 9, 7}};
    DialogHarness h(MakeSettings(1));
    FakeDialogView& ui = h.Open();
    ui.Click(0);
    for (const TimeCase& c : cases) {
        ui.Paste(kIdStopFirst + 6, c.text);
        EXPECT_EQ(ui.Text(kIdStopFirst + 6), WindowText(c.hour, c.minute)) << c.text;
        const DayWindow& w = h.dialog.edit.rules[0].days[6];
        EXPECT_EQ(w.hStop, c.hour) << c.text;
        EXPECT_EQ(w.mStop, c.minute) << c.text;
    }
}

// Typed one key at a time, the field is rewritten after every key and the
// caret ends up after the text.
TEST(ConfigDialogTimeEdit, CaretAfterRewriteFollowsTheTypedPart) {
    struct Case {
        const char* typed;
        int caret;
        const char* rewritten;
        int expected;
    };
    const Case cases[] = {{"7", 1, "07:00", 2},      {"018:00", 3, "18:00", 2},
                          {"07::00", 3, "07:00", 5}, {"07:005", 6, "07:05", 5},
                          {"", 0, "00:00", 2},       {"9:45x", 0, "09:45", 2},
                          {"12:3", 4, "12:03", 5}};
    for (const Case& c : cases) {
        EXPECT_EQ(CaretAfterRewrite(c.typed, c.caret, c.rewritten), c.expected) << c.typed;
    }
}

TEST(ConfigDialogTimeEdit, TypedKeyByKey) {
    struct Case {
        size_t from, to;
        const char* keys;
        std::vector<std::string> shown;
    };
    const Case cases[] = {// Over the minutes of 09:45: digits typed at the end shift in.
                          {3, 5, "307", {"09:03", "09:30", "09:30"}},
                          // Over the hour.
                          {0, 2, "2", {"02:45"}},
                          {0, 2, "7", {"07:45"}},
                          // Backspace from the end.
                          {5, 5, "\b\b\b", {"09:04", "09:00", "09:00"}},
                          // Over everything.
                          {0, 5, "1", {"01:00"}},
                          {0, 5, "-", {"00:00"}},
                          {0, 5, "\b", {"00:00"}},
                          // A whole time typed over the selected field.
                          {0, 5, "7:5", {"07:00", "07:00", "07:05"}},
                          {0, 5, "18:30", {"01:00", "18:00", "18:00", "18:03", "18:30"}},
                          {0, 5, "23:59", {"02:00", "23:00", "23:00", "23:05", "23:59"}},
                          {0, 5, "0:0", {"00:00", "00:00", "00:00"}}};
    for (const Case& c : cases) {
        Settings s = MakeSettings(1);
        s.ruleTable.rules[0].days[2] = DayWindow{9, 45, 18, 0};
        DialogHarness h(s);
        FakeDialogView& ui = h.Open();
        ui.Click(0);
        std::vector<std::string> shown = ui.Type(kIdStartFirst + 2, c.from, c.to, c.keys);
        EXPECT_EQ(shown, c.shown) << c.keys;
        const DayWindow& w = h.dialog.edit.rules[0].days[2];
        EXPECT_EQ(WindowText(w.hStart, w.mStart), shown.back()) << c.keys;
        EXPECT_EQ(w.hStop, 18);
    }
}

TEST(ConfigDialogNameEdit, RenamesTheRuleAndItsLine) {
    DialogHarness h(MakeSettings(3));
    FakeDialogView& ui = h.Open();
    ui.Click(1);
    ui.Type(kIdName, 0, 4, "Via");
    EXPECT_STREQ(h.dialog.edit.rules[1].szName, "Via");
    EXPECT_EQ(ui.list, (std::vector<std::string>{"Ufficio", "Via", "Notte"}));
    EXPECT_EQ(ui.listSel, 1);
    EXPECT_EQ(h.dialog.edit.selection, 1);

    ui.Paste(kIdName, std::string(100, 'n'));
    EXPECT_EQ(std::string(h.dialog.edit.rules[1].szName), std::string(63, 'n'));
    EXPECT_EQ(ui.list[1], std::string(63, 'n'));
    ui.Paste(kIdName, "");
    EXPECT_STREQ(h.dialog.edit.rules[1].szName, "");
}

TEST(ConfigDialogEdit, IgnoredWhileNoRuleIsSelected) {
    DialogHarness h(MakeSettings(2));
    FakeDialogView& ui = h.Open();
    RuleEditBuffer before = h.dialog.edit;
    ui.Paste(kIdName, "Nuovo nome");
    ui.Paste(kIdStartFirst, "7:5");
    ui.Type(kIdStopFirst + 6, 0, 0, "123");
    OnRemoveRule(&h.dialog);
    EXPECT_EQ(ui.Text(kIdName), "Nuovo nome");
    EXPECT_EQ(ui.Text(kIdStartFirst), "7:5");
    EXPECT_EQ(ui.Text(kIdStopFirst + 6), "123");
    EXPECT_EQ(ui.list, (std::vector<std::string>{"Ufficio", "Casa"}));
    EXPECT_TRUE(SameBytes(h.dialog.edit, before));
}

// ===========================================================================
// Adding and removing rules.

TEST(ConfigDialogAdd, AppendsUpToTenThenBeeps) {
    DialogHarness h(MakeSettings(8));
    FakeDialogView& ui = h.Open();
    ui.Click(2);
    OnAddRule(&h.dialog);
    OnAddRule(&h.dialog);
    EXPECT_EQ(ui.beeps, 0);
    EXPECT_EQ(h.dialog.edit.count, kMaxRules);
    for (int i = 8; i < kMaxRules; ++i) {
        Rule fresh;
        InitRule(&fresh, "Nuova regola");
        EXPECT_EQ(0, memcmp(&h.dialog.edit.rules[i], &fresh, sizeof fresh)) << i;
        EXPECT_EQ(ui.list[i], "Nuova regola");
    }
    EXPECT_EQ(ui.listSel, 2);
    EXPECT_EQ(h.dialog.edit.selection, 2);
    EXPECT_EQ(ui.Text(kIdName), "Notte");

    RuleEditBuffer full = h.dialog.edit;
    OnAddRule(&h.dialog);
    EXPECT_EQ(ui.beeps, 1);
    EXPECT_EQ(ui.list.size(), static_cast<size_t>(kMaxRules));
    EXPECT_TRUE(SameBytes(h.dialog.edit, full));
}

TEST(ConfigDialogRemove, SelectsTheSuccessorAndKeepsTheFields) {
    DialogHarness h(MakeSettings(4));
    FakeDialogView& ui = h.Open();
    const Rule notte = h.dialog.edit.rules[2];
    const Rule weekend = h.dialog.edit.rules[3];
    ui.Click(1);
    OnRemoveRule(&h.dialog);
    EXPECT_EQ(ui.list, (std::vector<std::string>{"Ufficio", "Notte", "Weekend"}));
    EXPECT_EQ(h.dialog.edit.count, 3);
    EXPECT_EQ(ui.listSel, 1);
    EXPECT_EQ(h.dialog.edit.selection, 1);
    EXPECT_EQ(0, memcmp(&h.dialog.edit.rules[1], &notte, sizeof notte));
    EXPECT_EQ(0, memcmp(&h.dialog.edit.rules[2], &weekend, sizeof weekend));
    // The fields still show the removed rule; editing them changes its successor.
    EXPECT_EQ(ui.Text(kIdName), "Casa");
    ui.Paste(kIdStartFirst + 4, "6:30");
    EXPECT_EQ(h.dialog.edit.rules[1].days[4].hStart, 6);
    EXPECT_EQ(h.dialog.edit.rules[1].days[4].mStart, 30);
    ui.Type(kIdName, 4, 4, "!");
    EXPECT_STREQ(h.dialog.edit.rules[1].szName, "Casa!");
    EXPECT_EQ(ui.list, (std::vector<std::string>{"Ufficio", "Casa!", "Weekend"}));
}

TEST(ConfigDialogRemove, TheLastLeavesNothingSelected) {
    DialogHarness h(MakeSettings(3));
    FakeDialogView& ui = h.Open();
    ui.Click(2);
    OnRemoveRule(&h.dialog);
    EXPECT_EQ(ui.list, (std::vector<std::string>{"Ufficio", "Casa"}));
    EXPECT_EQ(ui.listSel, kNoSelection);
    EXPECT_EQ(h.dialog.edit.selection, kNoSelection);

    RuleEditBuffer before = h.dialog.edit;
    ui.Paste(kIdStartFirst, "5:5");
    ui.Paste(kIdName, "x");
    OnRemoveRule(&h.dialog);
    EXPECT_EQ(ui.Text(kIdStartFirst), "5:5");
    EXPECT_TRUE(SameBytes(h.dialog.edit, before));

    // Down to an empty table, one rule at a time.
    ui.Click(0);
    OnRemoveRule(&h.dialog);
    OnRemoveRule(&h.dialog);
    EXPECT_TRUE(ui.list.empty());
    EXPECT_EQ(h.dialog.edit.count, 0);
    EXPECT_EQ(h.dialog.edit.selection, kNoSelection);
}

TEST(ConfigDialogReopen, StartsWithoutSelectionFromTheLiveTable) {
    DialogHarness h(MakeSettings(3));
    FakeDialogView& first = h.Open();
    first.Click(1);
    first.Paste(kIdName, "Scartato");
    OnAddRule(&h.dialog);
    OnCancel(&h.dialog);

    FakeDialogView& ui = h.Open();
    EXPECT_EQ(ui.list, (std::vector<std::string>{"Ufficio", "Casa", "Notte"}));
    EXPECT_EQ(ui.listSel, kNoSelection);
    EXPECT_EQ(h.dialog.edit.selection, kNoSelection);
    RuleEditBuffer before = h.dialog.edit;
    OnRemoveRule(&h.dialog);
    ui.Paste(kIdName, "Altro");
    ui.Paste(kIdStopFirst, "1:1");
    EXPECT_TRUE(SameBytes(h.dialog.edit, before));
    EXPECT_EQ(ui.list.size(), 3u);
}

// ===========================================================================
// OK and Annulla.

TEST(ConfigDialogOk, RefusesAPauseOutsideTheRange) {
    // The last text goes on beyond the room the field is read into.
    const std::string overlong = "5" + std::string(300, ' ') + "x";
    for (const char* pause :
         {"0", "3601", "", "abc", " 12x", "-5", "4294967297", "1.5", overlong.c_str()}) {
        DialogHarness h(MakeSettings(2));
        Settings before = h.Live();
        FakeDialogView& ui = h.Open();
        ui.Paste(kIdDelay, pause);
        ui.edits[kIdEntry].text = "Altro";
        ui.Click(0);
        ui.Paste(kIdName, "Cambiato");
        EXPECT_FALSE(OnOk(&h.dialog)) << pause;
        ASSERT_EQ(ui.errors.size(), 1u) << pause;
        EXPECT_EQ(ui.errors[0].first, "La pausa fra tentativi deve essere compresa fra 1 e 3600.");
        EXPECT_EQ(ui.errors[0].second, "Errore");
        EXPECT_TRUE(ui.endResults.empty());
        Settings after = h.Live();
        EXPECT_EQ(0, memcmp(&after, &before, sizeof before)) << pause;
        EXPECT_EQ(CurrentMode(&h.shared), ModeRuleBase + 1);
    }
}

TEST(ConfigDialogOk, StoresWhatTheDialogShows) {
    const std::pair<const char*, int32_t> pauses[] = {
        {"1", 1000}, {"60", 60000}, {"3600", 3600000}, {" 42 ", 42000}};
    for (const auto& [pause, delay] : pauses) {
        Settings s = MakeSettings(3);
        s.bDropAny = 7;
        CopyBounded(s.szRasEntry, "Off", sizeof s.szRasEntry);
        DialogHarness h(s);
        FakeDialogView& ui = h.Open();
        ui.Paste(kIdDelay, pause);
        EXPECT_TRUE(OnOk(&h.dialog)) << pause;
        EXPECT_EQ(ui.endResults, std::vector<int>{kDialogOk});
        EXPECT_TRUE(ui.errors.empty());
        Settings expected = s;
        expected.tDelay = delay;
        expected.bDropAny = 1;
        CopyBounded(expected.szRasEntry, "Office", sizeof expected.szRasEntry);
        ExpectSameSettings(h.Live(), expected);
        EXPECT_EQ(CurrentMode(&h.shared), ModeDisabled);
    }
}

TEST(ConfigDialogOk, StoresEveryEdit) {
    DialogHarness h(MakeSettings(3));
    FakeDialogView& ui = h.Open();
    ui.Paste(kIdDelay, "15");
    ui.edits[kIdEntry].text = std::string(2000, 'e');  // typed, not in the phonebook
    ui.dropAnyChecked = false;
    ui.Click(0);
    ui.Paste(kIdName, "Lavoro");
    ui.Paste(kIdStopFirst + 1, "17:30");
    OnAddRule(&h.dialog);
    OnAddRule(&h.dialog);
    ui.Click(1);
    OnRemoveRule(&h.dialog);

    Settings expected = MakeSettings(4);
    expected.tDelay = 15000;
    expected.bDropAny = 0;
    CopyBounded(expected.szRasEntry, std::string(1023, 'e').c_str(), sizeof expected.szRasEntry);
    CopyBounded(expected.ruleTable.rules[0].szName, "Lavoro", kRuleNameSize);
    expected.ruleTable.rules[0].days[1].hStop = 17;
    expected.ruleTable.rules[0].days[1].mStop = 30;
    expected.ruleTable.rules[1] = expected.ruleTable.rules[2];
    InitRule(&expected.ruleTable.rules[2], "Nuova regola");
    InitRule(&expected.ruleTable.rules[3], "Nuova regola");

    EXPECT_TRUE(OnOk(&h.dialog));
    ExpectSameSettings(h.Live(), expected);
    EXPECT_EQ(CurrentMode(&h.shared), ModeDisabled);
}

TEST(ConfigDialogOk, UnknownEntryOrNoPhonebookStoresEmpty) {
    for (bool enumFails : {false, true}) {
        Settings s = MakeSettings(0);
        CopyBounded(s.szRasEntry, "Missing", sizeof s.szRasEntry);
        DialogHarness h(s);
        if (enumFails) h.dialup.enumEntriesResult = kFakeCannotFindEntry;
        h.Open();
        EXPECT_TRUE(OnOk(&h.dialog));
        EXPECT_STREQ(h.Live().szRasEntry, "") << enumFails;
    }
}

TEST(ConfigDialogOk, NegativeDelayMustBeCorrectedFirst) {
    Settings s = MakeSettings(1);
    s.tDelay = -5000;
    DialogHarness h(s);
    FakeDialogView& ui = h.Open();
    EXPECT_EQ(ui.Text(kIdDelay), "0");
    EXPECT_FALSE(OnOk(&h.dialog));
    EXPECT_EQ(h.Live().tDelay, -5000);
    ui.Paste(kIdDelay, "5");
    EXPECT_TRUE(OnOk(&h.dialog));
    EXPECT_EQ(h.Live().tDelay, 5000);
    EXPECT_EQ(ui.errors.size(), 1u);
    EXPECT_EQ(ui.endResults, std::vector<int>{kDialogOk});
}

TEST(ConfigDialogCancel, StoresNothingAndKeepsTheMode) {
    DialogHarness h(MakeSettings(2), ModeAlwaysUp);
    Settings before = h.Live();
    FakeDialogView& ui = h.Open();
    ui.Paste(kIdDelay, "60");
    ui.Click(0);
    ui.Paste(kIdStartFirst, "8:00");
    OnAddRule(&h.dialog);
    OnCancel(&h.dialog);
    EXPECT_EQ(ui.endResults, std::vector<int>{kDialogCancel});
    Settings after = h.Live();
    EXPECT_EQ(0, memcmp(&after, &before, sizeof before));
    EXPECT_EQ(CurrentMode(&h.shared), ModeAlwaysUp);
}

}  // namespace
