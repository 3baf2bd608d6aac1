// Loading and saving the settings through the INI store, on real files.
#include "settings/settings_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "common/text.h"
#include "settings/ini_file.h"
#include "support/test_support.h"

namespace {

Settings LoadFrom(const std::string& path) {
    IniFileStore ini;
    OpenIniFileStore(&ini, path.c_str());
    Settings settings;
    LoadSettings(MakeIniProfileStore(&ini), &settings);
    return settings;
}

bool SaveTo(const std::string& path, const Settings& settings) {
    IniFileStore ini;
    OpenIniFileStore(&ini, path.c_str());
    return SaveSettings(MakeIniProfileStore(&ini), settings);
}

int32_t StoredInt(const std::string& path, const char* section, const char* key) {
    IniDocument doc;
    EXPECT_TRUE(ParseIni(ReadWholeFile(path), &doc));
    return IniGetInt(doc, section, key, -999);
}

Settings WithRules(int count) {
    Settings s;
    SetDefaultSettings(&s);
    s.ruleTable.nUserEntries = count;
    for (int i = 0; i < count; ++i) {
        std::string name = "Regola " + std::to_string(i);
        InitRule(&s.ruleTable.rules[i], name.c_str());
        for (int d = 0; d < kDaysPerWeek; ++d) {
            s.ruleTable.rules[i].days[d] = DayWindow{i + d, 10 * d + i, 23 - d, 59 - i};
        }
    }
    return s;
}

void ExpectDefaults(const Settings& s) {
    EXPECT_EQ(s.tDelay, 5000);
    EXPECT_EQ(s.bDropAny, 1);
    EXPECT_STREQ(s.szRasEntry, "Connessione remota");
    EXPECT_EQ(s.ruleTable.nUserEntries, 0);
}

TEST(SettingsFile, NoReadableFileGivesTheDefaults) {
    ScratchDir dir;
    ExpectDefaults(LoadFrom(dir.File("Teleora.ini")));
    WriteWholeFile(dir.File("empty.ini"), "");
    ExpectDefaults(LoadFrom(dir.File("empty.ini")));
    WriteWholeFile(dir.File("other.ini"), "; only a comment\r\n[Altro]\r\ntDelay=1\r\n");
    ExpectDefaults(LoadFrom(dir.File("other.ini")));
    ExpectDefaults(LoadFrom(dir.path));  // a folder in the file's place
}

TEST(SettingsFile, RuleCountIsClampedToTheTable) {
    struct {
        const char* stored;  // nUserEntries as written, nullptr for absent
        int sections;        // Rule sections present in the file
        int loaded;
        int savedBack;
    } cases[] = {
        {nullptr, 2, 0, 0},   {"0", 2, 0, 0},          {"-1", 2, 0, 0},    {"-2147483648", 1, 0, 0},
        {"abc", 2, 0, 0},     {"3", 2, 3, 3},          {"10", 10, 10, 10}, {"11", 11, 10, 10},
        {"1000", 12, 10, 10}, {"4294967297", 2, 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored ? c.stored : "(absent)");
        ScratchDir dir;
        std::string path = dir.File("Teleora.ini");
        std::string file = "[Generale]\r\n";
        if (c.stored) file += std::string("nUserEntries=") + c.stored + "\r\n";
        for (int i = 0; i < c.sections; ++i) {
            file += "[Rule" + std::to_string(i) + "]\r\nszName=R" + std::to_string(i) +
                    "\r\nhStart3=" + std::to_string(i + 1) + "\r\n";
        }
        WriteWholeFile(path, file);
        Settings s = LoadFrom(path);
        ASSERT_EQ(s.ruleTable.nUserEntries, c.loaded);
        for (int i = 0; i < c.loaded; ++i) {
            const Rule& rule = s.ruleTable.rules[i];
            if (i < c.sections) {
                EXPECT_EQ("R" + std::to_string(i), rule.szName);
                EXPECT_EQ(rule.days[3].hStart, i + 1);
            } else {  // the section is missing: an empty rule that never connects
                EXPECT_STREQ(rule.szName, "");
                for (const DayWindow& w : rule.days) {
                    EXPECT_EQ(w.hStart | w.mStart | w.hStop | w.mStop, 0);
                }
            }
        }
        ASSERT_TRUE(SaveTo(path, s));
        EXPECT_EQ(StoredInt(path, "Generale", "nUserEntries"), c.savedBack);
    }
}

TEST(SettingsFile, SaveClampsAnOutOfRangeCount) {
    ScratchDir dir;
    Settings s = WithRules(10);
    s.ruleTable.nUserEntries = 15;
    ASSERT_TRUE(SaveTo(dir.File("a.ini"), s));
    EXPECT_EQ(StoredInt(dir.File("a.ini"), "Generale", "nUserEntries"), 10);
    EXPECT_EQ(ReadWholeFile(dir.File("a.ini")).find("[Rule10]"), std::string::npos);
    s.ruleTable.nUserEntries = -2;
    ASSERT_TRUE(SaveTo(dir.File("b.ini"), s));
    EXPECT_EQ(StoredInt(dir.File("b.ini"), "Generale", "nUserEntries"), 0);
    EXPECT_EQ(ReadWholeFile(dir.File("b.ini")).find("[Rule"), std::string::npos);
}

TEST(SettingsFile, EmptyNamesAreKeptEmpty) {
    ScratchDir dir;
    std::string path = dir.File("Teleora.ini");
    Settings s = WithRules(1);
    s.szRasEntry[0] = '\0';
    s.ruleTable.rules[0].szName[0] = '\0';
    ASSERT_TRUE(SaveTo(path, s));
    std::string text = ReadWholeFile(path);
    EXPECT_NE(text.find("\r\nszRasEntry=\r\n"), std::string::npos);
    EXPECT_NE(text.find("[Rule0]\r\nszName=\r\n"), std::string::npos);
    Settings loaded = LoadFrom(path);
    EXPECT_STREQ(loaded.szRasEntry, "");
    EXPECT_STREQ(loaded.ruleTable.rules[0].szName, "");
}

TEST(SettingsFile, NumbersAreUsedAsStored) {
    struct {
        const char* text;
        int32_t tDelay;
        int32_t bDropAny;
        int32_t hStart0;
    } cases[] = {
        {"tDelay=2500\r\nbDropAny=0\r\n", 2500, 0, 0},
        {"tDelay=0\r\nbDropAny=7\r\n", 0, 7, 0},
        {"TDELAY = -1 ; ms\r\nBDROPANY=\r\n", -1, 1, 0},
        {"tDelay=\"1500\"\r\nbDropAny=no\r\n", 1500, 0, 0},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        std::string path = dir.File("Teleora.ini");
        WriteWholeFile(path, std::string("[generale]\r\nnUserEntries=1\r\n") + c.text +
                                 "[RULE0]\r\nhStart0=99\r\nmStart0=-5\r\n");
        Settings s = LoadFrom(path);
        EXPECT_EQ(s.tDelay, c.tDelay) << c.text;
        EXPECT_EQ(s.bDropAny, c.bDropAny) << c.text;
        EXPECT_EQ(s.ruleTable.rules[0].days[0].hStart, 99);  // no range check
        EXPECT_EQ(s.ruleTable.rules[0].days[0].mStart, -5);
    }
}

TEST(SettingsFile, AWindowIsStoredAsFourDecimalKeys) {
    ScratchDir dir;
    std::string path = dir.File("Teleora.ini");
    Settings s = WithRules(1);
    InitRule(&s.ruleTable.rules[0], "Ufficio");
    s.ruleTable.rules[0].days[1] = DayWindow{8, 30, 12, 0};  // Monday 08:30-12:00
    ASSERT_TRUE(SaveTo(path, s));
    std::string text = ReadWholeFile(path);
    EXPECT_NE(text.find("hStart1=8\r\nmStart1=30\r\nhStop1=12\r\nmStop1=0\r\n"), std::string::npos);
    Settings loaded = LoadFrom(path);
    const DayWindow& monday = loaded.ruleTable.rules[0].days[1];
    EXPECT_EQ(monday.hStart, 8);
    EXPECT_EQ(monday.mStart, 30);
    EXPECT_EQ(monday.hStop, 12);
    EXPECT_EQ(monday.mStop, 0);
}

TEST(SettingsFile, AFreshFileHasTheKeysInSaveOrder) {
    ScratchDir dir;
    std::string path = dir.File("Teleora.ini");
    Settings s = WithRules(1);
    InitRule(&s.ruleTable.rules[0], "Notte");
    ASSERT_TRUE(SaveTo(path, s));
    std::string expected =
        "[Generale]\r\ntDelay=5000\r\nbDropAny=1\r\nszRasEntry=Connessione remota\r\n"
        "nUserEntries=1\r\n[Rule0]\r\nszName=Notte\r\n";
    for (int d = 0; d < kDaysPerWeek; ++d) {
        for (const char* key : {"hStart", "mStart", "hStop", "mStop"}) {
            expected += key + std::to_string(d) + "=0\r\n";
        }
    }
    EXPECT_EQ(ReadWholeFile(path), expected);
}

TEST(SettingsFile, LongValuesAreCutToTheirBuffers) {
    ScratchDir dir;
    std::string path = dir.File("Teleora.ini");
    std::string longText(2000, 'a');
    for (size_t i = 0; i < longText.size(); ++i) longText[i] = static_cast<char>('a' + i % 26);
    WriteWholeFile(path, "[Generale]\r\nszRasEntry=" + longText +
                             "\r\nnUserEntries=1\r\n[Rule0]\r\nszName=" + longText + "\r\n");
    Settings s = LoadFrom(path);
    EXPECT_EQ(std::string(s.szRasEntry), longText.substr(0, 1023));
    EXPECT_EQ(std::string(s.ruleTable.rules[0].szName), longText.substr(0, 63));
}

TEST(SettingsFile, AFullTableSurvivesARoundTrip) {
    ScratchDir dir;
    std::string path = dir.File("Teleora.ini");
    Settings s = WithRules(10);
    s.tDelay = 3600000;
    s.bDropAny = 0;
    snprintf(s.szRasEntry, sizeof s.szRasEntry, "%s", "Provider = \"Uno\" ; due");
    ASSERT_TRUE(SaveTo(path, s));
    Settings loaded = LoadFrom(path);
    EXPECT_EQ(memcmp(&loaded, &s, sizeof s), 0);
    EXPECT_STREQ(loaded.szRasEntry, "Provider = \"Uno\" ; due");
    EXPECT_STREQ(loaded.ruleTable.rules[9].szName, "Regola 9");
    EXPECT_EQ(loaded.ruleTable.rules[9].days[6].mStop, 50);
    // Saving what was loaded changes nothing.
    std::string before = ReadWholeFile(path);
    ASSERT_TRUE(SaveTo(path, loaded));
    EXPECT_EQ(ReadWholeFile(path), before);
}

TEST(SettingsFile, SavingFewerRulesLeavesTheStaleSections) {
    ScratchDir dir;
    std::string path = dir.File("Teleora.ini");
    ASSERT_TRUE(SaveTo(path, WithRules(3)));
    std::string three = ReadWholeFile(path);
    std::string staleTail = three.substr(three.find("[Rule1]"));
    ASSERT_TRUE(SaveTo(path, WithRules(1)));
    std::string one = ReadWholeFile(path);
    ASSERT_GE(one.size(), staleTail.size());
    EXPECT_EQ(one.substr(one.size() - staleTail.size()), staleTail);
    EXPECT_EQ(LoadFrom(path).ruleTable.nUserEntries, 1);
}

TEST(SettingsFile, SaveKeepsEveryByteItDoesNotChange) {
    // Comments, unknown keys and sections, odd spacing and spelling, quotes,
    // a stale rule, CR-only and mixed line ends, no final line end.
    const std::string original =
        "\xEF\xBB\xBF; Teleora\r\n"
        "[Altro]\rchiave = valore\r\r"
        "[ GENERALE ] commento\r\n"
        "  TDELAY = 2500\n"
        "BDropAny = 1\r\n"
        "szRasEntry = \"Casa\"\r\n"
        "extra=sconosciuto\r\n"
        "nUserEntries=1\r\n"
        "; fine\r\n"
        "\r\n"
        "[Rule0]\r\nszName=Sera\r\nhStart1=20\r\nhStop1=23\r\n"
        "[Rule5]\r\nszName=Vecchia";
    ScratchDir dir;
    std::string path = dir.File("Teleora.ini");
    WriteWholeFile(path, original);
    Settings s = LoadFrom(path);
    EXPECT_EQ(s.tDelay, 2500);
    EXPECT_STREQ(s.szRasEntry, "Casa");
    ASSERT_EQ(s.ruleTable.nUserEntries, 1);
    EXPECT_EQ(s.ruleTable.rules[0].days[1].hStop, 23);

    // The keys that were missing from Rule0 are added; the rest stays.
    ASSERT_TRUE(SaveTo(path, s));
    std::string saved = ReadWholeFile(path);
    size_t rule0 = original.find("[Rule0]");
    size_t rule5 = original.find("[Rule5]");
    EXPECT_EQ(saved.substr(0, rule0), original.substr(0, rule0));
    EXPECT_EQ(saved.substr(saved.size() - (original.size() - rule5)), original.substr(rule5));
    EXPECT_EQ(LoadFrom(path).ruleTable.rules[0].days[1].hStart, 20);

    // A second save of the same settings writes the same bytes.
    ASSERT_TRUE(SaveTo(path, s));
    EXPECT_EQ(ReadWholeFile(path), saved);

    // A changed value changes only its own line, keeping its spelling.
    s.tDelay = 3000;
    ASSERT_TRUE(SaveTo(path, s));
    std::string changed = saved;
    changed.replace(changed.find("TDELAY = 2500"), 13, "TDELAY = 3000");
    EXPECT_EQ(ReadWholeFile(path), changed);
}

// Notepad's "Unicode": UTF-16 LE with its byte order mark. It reads as its
// text and a save keeps it UTF-16, changing only the lines it must.
TEST(SettingsFile, AUtf16FileReadsAndStaysUtf16) {
    auto utf16 = [](const std::string& latin1) {
        std::string out = "\xFF\xFE";
        for (char c : latin1) out += std::string{c, '\0'};
        return out;
    };
    const std::string text =
        "[Generale]\r\ntDelay=2500\r\nbDropAny=1\r\nszRasEntry=Citt\xE0\r\nnUserEntries=1\r\n"
        "[Rule0]\r\nszName=Sera\r\nhStart1=20\r\n";
    ScratchDir dir;
    std::string path = dir.File("Teleora.ini");
    WriteWholeFile(path, utf16(text));
    Settings s = LoadFrom(path);
    EXPECT_EQ(s.tDelay, 2500);
    EXPECT_STREQ(s.szRasEntry, "Citt\xC3\xA0");
    ASSERT_EQ(s.ruleTable.nUserEntries, 1);
    EXPECT_STREQ(s.ruleTable.rules[0].szName, "Sera");
    EXPECT_EQ(s.ruleTable.rules[0].days[1].hStart, 20);

    s.tDelay = 3000;
    ASSERT_TRUE(SaveTo(path, s));
    std::string saved = ReadWholeFile(path);
    std::string expected = text;
    expected.replace(expected.find("2500"), 4, "3000");
    // The lines it had come first, unchanged but for tDelay; the keys the
    // save adds to Rule0 follow, UTF-16 as well.
    EXPECT_EQ(saved.substr(0, utf16(expected).size()), utf16(expected));
    EXPECT_EQ(saved.size() % 2, 0u);
    EXPECT_EQ(saved.find("hStart0=0"), std::string::npos) << "ASCII lines were appended";
    EXPECT_EQ(LoadFrom(path).tDelay, 3000);
    // A character beyond the Basic Multilingual Plane, U+1F600: a surrogate pair.
    WriteWholeFile(path, utf16("[Generale]\r\nszRasEntry=") + std::string("\x3D\xD8\x00\xDE", 4));
    EXPECT_STREQ(LoadFrom(path).szRasEntry, "\xF0\x9F\x98\x80");
}

TEST(SettingsFile, SaveReportsAFileThatCannotBeWritten) {
    ScratchDir dir;
    EXPECT_FALSE(SaveTo(dir.File("gone/Teleora.ini"), WithRules(1)));
    EXPECT_FALSE(std::filesystem::exists(dir.File("gone")));
}

// Files no program wrote: binary garbage and megabyte-long lines. Loading
// them gives bounded settings (at most ten rules, strings cut and terminated),
// a save works and keeps the bytes it does not own, and the saved settings
// read back the same.
TEST(SettingsFile, GarbageAndMegabyteLinesLoadBoundedAndSaveCleanly) {
    std::string garbage;
    uint32_t seed = 12345;
    for (int i = 0; i < 300000; ++i) {
        seed = seed * 1103515245u + 12345u;
        garbage.push_back(static_cast<char>(seed >> 16));
    }
    const std::string megabyte(1 << 20, 'x');
    struct Case {
        const char* what;
        std::string text;
        const char* entry;  // expected szRasEntry, null: not checked
        int32_t rules;      // expected count, -1: not checked
    };
    const std::string cutEntry(kRasEntrySize - 1, 'x');
    const Case cases[] = {
        {"binary garbage", garbage, nullptr, -1},
        {"garbage around a valid section",
         garbage + "\r\n[Generale]\r\nnUserEntries=99\r\nszRasEntry=Office\r\n" + garbage, "Office",
         kMaxRules},
        {"a megabyte entry name", "[Generale]\r\nszRasEntry=" + megabyte + "\r\n", cutEntry.c_str(),
         0},
        {"a megabyte line without an end", "[Generale]\r\nnUserEntries=1\r\n" + megabyte, nullptr,
         1},
        {"a megabyte section name", "[" + megabyte + "]\r\nszRasEntry=Other\r\n", kDefaultRasEntry,
         0},
        {"a megabyte rule name and number",
         "[Generale]\nnUserEntries=1\n[Rule0]\nszName=" + megabyte +
             "\nhStart0=" + std::string(1 << 20, '7') + "\n",
         kDefaultRasEntry, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        std::string path = dir.File("Teleora.ini");
        WriteWholeFile(path, c.text);
        Settings loaded = LoadFrom(path);
        ASSERT_GE(loaded.ruleTable.nUserEntries, 0);
        ASSERT_LE(loaded.ruleTable.nUserEntries, kMaxRules);
        ASSERT_NE(memchr(loaded.szRasEntry, 0, kRasEntrySize), nullptr);
        for (int i = 0; i < loaded.ruleTable.nUserEntries; ++i) {
            ASSERT_NE(memchr(loaded.ruleTable.rules[i].szName, 0, kRuleNameSize), nullptr);
        }
        if (c.entry != nullptr) {
            EXPECT_STREQ(loaded.szRasEntry, c.entry);
        }
        if (c.rules >= 0) {
            EXPECT_EQ(loaded.ruleTable.nUserEntries, c.rules);
        }

        ASSERT_TRUE(SaveTo(path, loaded));
        Settings again = LoadFrom(path);
        EXPECT_EQ(again.tDelay, loaded.tDelay);
        EXPECT_EQ(again.bDropAny, loaded.bDropAny);
        EXPECT_EQ(again.ruleTable.nUserEntries, loaded.ruleTable.nUserEntries);
        for (int i = 0; i < loaded.ruleTable.nUserEntries; ++i) {
            EXPECT_EQ(memcmp(again.ruleTable.rules[i].days, loaded.ruleTable.rules[i].days,
                             sizeof again.ruleTable.rules[i].days),
                      0);
        }
    }
}

// The numbers a save writes (and the dialog's pause field shows), as "%lld"
// writes them, cut like every bounded copy.
TEST(SettingsFileNumbers, WrittenAsPrintfWritesThem) {
    for (int64_t value : {int64_t{0}, int64_t{7}, int64_t{-1}, int64_t{1234567890},
                          int64_t{INT32_MIN}, int64_t{INT32_MAX}, INT64_MIN, INT64_MAX}) {
        char expected[32], text[21];
        snprintf(expected, sizeof expected, "%lld", static_cast<long long>(value));
        EXPECT_EQ(FormatDecimal(value, text, sizeof text), strlen(expected));
        EXPECT_STREQ(text, expected);
    }
    char cut[3] = "xx";
    EXPECT_EQ(FormatDecimal(-12345, cut, sizeof cut), 2u);
    EXPECT_STREQ(cut, "-1");
    EXPECT_EQ(FormatDecimal(5, cut, 0), 0u);
    EXPECT_STREQ(cut, "-1");
}

}  // namespace
