// The INI store against hand-written files: how entries are found and read,
// how a write changes the file (and what it leaves alone), and the store's
// save transaction over a real file.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "settings/ini_file.h"
#include "support/test_support.h"

namespace {

const char* const kMissing = "(default)";

IniDocument Parse(const std::string& text) {
    IniDocument doc;
    EXPECT_TRUE(ParseIni(text, &doc));
    return doc;
}

std::string Text(const IniDocument& doc) {
    std::string text;
    EXPECT_TRUE(SerializeIni(doc, &text));
    return text;
}

std::string GetString(const std::string& file, const char* section, const char* key) {
    char buffer[256];
    IniGetString(Parse(file), section, key, kMissing, buffer, sizeof buffer);
    return buffer;
}

std::string Set(const std::string& file, const char* section, const char* key, const char* value) {
    IniDocument doc = Parse(file);
    EXPECT_TRUE(IniSetString(&doc, section, key, value));
    return Text(doc);
}

// Names of the files in a folder, to spot a temporary file left behind.
std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

struct StringCase {
    const char* what;
    std::string file;
    const char* section;
    const char* key;
    std::string expected;
};

TEST(IniRead, FindsStringsByTheProfileRules) {
    const StringCase cases[] = {
        {"plain", "[Generale]\r\nszRasEntry=Ufficio\r\n", "Generale", "szRasEntry", "Ufficio"},
        {"names ignore case", "[GENERALE]\nSZRASENTRY=x\n", "generale", "szrasentry", "x"},
        {"only ASCII letters fold", "[\xC4]\nk=v\n", "\xE4", "k", kMissing},
        {"blanks around names", "[ \tGenerale\t ]\n \t key \t= v\n", "Generale", "key", "v"},
        {"names asked with blanks", "[Generale]\nkey=v\n", " Generale ", "\tkey ", "v"},
        {"indented header", "   [Generale]\nk=v\n", "Generale", "k", "v"},
        {"blanks around value", "[G]\nk=  a  b \t\n", "G", "k", "a  b"},
        {"text after ]", "[G] x\nk=v\n", "G", "k", "v"},
        {"[ without ] is no header", "[G\nk=v\n", "G", "k", kMissing},
        {"... and ends no section", "[G]\n[H\nk=v\n", "G", "k", "v"},
        {"a section ends at the next", "[G]\n[H]\nk=v\n", "G", "k", kMissing},
        {"Rule01 is not Rule1", "[Rule01]\nk=v\n", "Rule1", "k", kMissing},
        {"keys before any section", "k=v\n[G]\n", "G", "k", kMissing},
        {"no section matches them", "k=v\n", "", "k", kMissing},
        {"line without =", "[G]\nk\n", "G", "k", kMissing},
        {"split at the first =", "[G]\na=b=c\n", "G", "a", "b=c"},
        {"... so a=b is no key", "[G]\na=b=c\n", "G", "a=b", kMissing},
        {"empty value", "[G]\nk=\n", "G", "k", ""},
        {"double quotes", "[G]\nk=\"a b\"\n", "G", "k", "a b"},
        {"single quotes", "[G]\nk='a b'\n", "G", "k", "a b"},
        {"quoted blanks kept", "[G]\nk= \" a \" \n", "G", "k", " a "},
        {"only one pair", "[G]\nk=\"\"a\"\"\n", "G", "k", "\"a\""},
        {"empty quotes", "[G]\nk=\"\"\n", "G", "k", ""},
        {"mixed quotes stay", "[G]\nk=\"a'\n", "G", "k", "\"a'"},
        {"unbalanced quote stays", "[G]\nk=\"a\n", "G", "k", "\"a"},
        {"a lone quote stays", "[G]\nk=\"\n", "G", "k", "\""},
        {"; comment line", "[G]\n;k=v\n", "G", "k", kMissing},
        {"indented comment", "[G]\n  ; k=v\n", "G", "k", kMissing},
        {"# starts a key", "[G]\n#k=v\n", "G", "#k", "v"},
        {"inline comment kept", "[G]\nk=v ; note\n", "G", "k", "v ; note"},
        {"first duplicate key wins", "[G]\nk=1\nK=2\n", "G", "k", "1"},
        {"... even when empty", "[G]\nk=\nk=2\n", "G", "k", ""},
        {"first duplicate section", "[G]\na=1\n[g]\nb=2\n", "G", "b", kMissing},
        {"... is the one read", "[G]\na=1\n[G]\na=2\n", "G", "a", "1"},
        {"CR LF", "[G]\r\na=1\r\nk=v\r\n", "G", "k", "v"},
        {"CR alone", "[G]\ra=1\rk=v\r", "G", "k", "v"},
        {"mixed ends", "[G]\na=1\rb=2\r\nk=v\n", "G", "k", "v"},
        {"no final line end", "[G]\r\nk=v", "G", "k", "v"},
        {"UTF-8 BOM", "\xEF\xBB\xBF[G]\r\nk=v\r\n", "G", "k", "v"},
        {"empty file", "", "G", "k", kMissing},
        {"absent key", "[G]\na=1\n", "G", "k", kMissing},
    };
    for (const StringCase& c : cases) {
        EXPECT_EQ(GetString(c.file, c.section, c.key), c.expected) << c.what;
    }
}

struct IntCase {
    const char* value;  // the text after "k=", or nullptr for an absent key
    int32_t expected;
};

TEST(IniRead, ReadsIntegersAtTheStartOfTheValue) {
    const int32_t kDefault = 77;
    const IntCase cases[] = {
        {nullptr, kDefault},
        {"", kDefault},
        {"\"\"", kDefault},
        {"123", 123},
        {"  123  ", 123},
        {"\"123\"", 123},
        {"'123'", 123},
        {"\" 12\"", 12},
        {"+5", 5},
        {"-5", -5},
        {"- 5", 0},
        {"+", 0},
        {"12abc", 12},
        {"1e3", 1},
        {"1.5", 1},
        {"abc", 0},
        {"32 ; ms", 32},
        {"4294967296", 0},
        {"3000000000", -1294967296},
        {"4294967295", -1},
        {"2147483648", INT32_MIN},
        {"-2147483648", INT32_MIN},
        {"99999999999999999999", 1661992959},
        {"0x1f", 31},
        {"0xFF", 255},
        {"0X1f", 0},
        {"-0x10", -16},
        {"0x", 0},
        {"0xfffffffff", -1},
        {"0o17", 15},
        {"0o8", 0},
        {"0b101", 5},
        {"0b102", 2},
        {"010", 10},
        {"007", 7},
    };
    for (const IntCase& c : cases) {
        std::string file = "[G]\n";
        if (c.value != nullptr) file += std::string("k=") + c.value + "\n";
        EXPECT_EQ(IniGetInt(Parse(file), "G", "k", kDefault), c.expected)
            << "value: " << (c.value ? c.value : "(absent)");
    }
}

TEST(IniRead, CutsStringsToTheBufferAndAlwaysTerminates) {
    IniDocument doc = Parse("[G]\nk=abcdefghij\n");
    struct {
        size_t size;
        const char* key;
        const char* expected;
    } cases[] = {
        {5, "k", "abcd"},
        {11, "k", "abcdefghij"},
        {1, "k", ""},
        {4, "absent", "dfl"},
    };
    for (const auto& c : cases) {
        char buffer[16];
        memset(buffer, '#', sizeof buffer);
        IniGetString(doc, "G", c.key, "dflt-long", buffer, c.size);
        EXPECT_STREQ(buffer, c.expected) << c.size;
        for (size_t i = c.size; i < sizeof buffer; ++i) {
            EXPECT_EQ(buffer[i], '#') << "byte " << i << " written past a buffer of " << c.size;
        }
    }
    char untouched = '#';
    IniGetString(doc, "G", "k", "", &untouched, 0);
    EXPECT_EQ(untouched, '#');
}

TEST(IniParse, KeepsEveryByteAndEveryLineEnd) {
    const std::string texts[] = {
        "",
        "a",
        "a\r\n",
        "\r\n\r\n",
        "a\rb\nc\r\nd",
        "\n\r",
        "\xEF\xBB\xBF[G]\r\nk=v\r\n",
        "\xEF\xBB\xBF",
        std::string("[G]\nk=a\0b\n", 11),
        "  ; comment \t\r\n[G] trailing\r\n  k = v  \r\n",
    };
    for (const std::string& text : texts) {
        EXPECT_EQ(Text(Parse(text)), text);
    }
    EXPECT_EQ(Parse("a\rb\nc\r\nd").index, (IniIndex{1, 1, 1, {}, {}}));
    EXPECT_EQ(Parse("\n\r").index,
              (IniIndex{0, 1, 1, {}, {}}));  // LF then CR: two line ends, not one
}

struct WriteCase {
    const char* what;
    std::string before;
    const char* section;
    const char* key;
    const char* value;
    std::string after;
};

TEST(IniWrite, ChangesOnlyWhatTheWriteNeeds) {
    const WriteCase cases[] = {
        {"new file", "", "Generale", "tDelay", "5000", "[Generale]\r\ntDelay=5000\r\n"},
        {"replace keeps spelling", "[GENERALE]\r\nTDELAY=1\r\n", "Generale", "tDelay", "2",
         "[GENERALE]\r\nTDELAY=2\r\n"},
        {"replace keeps blanks before value", "[G]\n  k = 1 ; old\n", "G", "k", "2",
         "[G]\n  k = 2\n"},
        {"replace first duplicate", "[G]\nk=1\nk=2\n", "G", "k", "3", "[G]\nk=3\nk=2\n"},
        {"first duplicate section", "[G]\na=1\n[G]\na=9\n", "G", "a", "2", "[G]\na=2\n[G]\na=9\n"},
        {"new key into first duplicate", "[G]\na=1\n[G]\n", "G", "b", "2", "[G]\na=1\nb=2\n[G]\n"},
        {"new key at section end", "[G]\na=1\n[H]\nb=2\n", "G", "c", "3",
         "[G]\na=1\nc=3\n[H]\nb=2\n"},
        {"after trailing comments", "[G]\na=1\n; end of G\n[H]\n", "G", "c", "3",
         "[G]\na=1\n; end of G\nc=3\n[H]\n"},
        {"before trailing blank lines", "[G]\r\na=1\r\n\r\n\r\n[H]\r\n", "G", "c", "3",
         "[G]\r\na=1\r\nc=3\r\n\r\n\r\n[H]\r\n"},
        {"into an empty section", "[G]\r\n\r\n[H]\r\n", "G", "c", "3", "[G]\r\nc=3\r\n\r\n[H]\r\n"},
        {"new section at file end", "[H]\nb=2\n\n", "G", "c", "3", "[H]\nb=2\n\n[G]\nc=3\n"},
        {"section is written trimmed", "", " New\t", " k ", "v", "[New]\r\nk=v\r\n"},
        {"last line without end", "[H]\nb=2", "G", "c", "3", "[H]\nb=2\n[G]\nc=3\n"},
        {"key after last line without end", "[G]\r\na=1", "G", "c", "3", "[G]\r\na=1\r\nc=3\r\n"},
        {"earlier section, last line without end", "[G]\na=1\n[H]\nb=2", "G", "c", "3",
         "[G]\na=1\nc=3\n[H]\nb=2"},
        {"a BOM alone is no open line", "\xEF\xBB\xBF", "G", "k", "1",
         "\xEF\xBB\xBF[G]\r\nk=1\r\n"},
        {"CR-only file", "[G]\ra=1\r", "G", "b", "2", "[G]\ra=1\rb=2\r"},
        {"most used line end", "[G]\r\na=1\nb=2\n", "G", "c", "3", "[G]\r\na=1\nb=2\nc=3\n"},
        {"a tie goes to CR LF", "[G]\r\na=1\n", "G", "c", "3", "[G]\r\na=1\nc=3\r\n"},
        {"BOM kept", "\xEF\xBB\xBF[G]\r\na=1\r\n", "G", "a", "2", "\xEF\xBB\xBF[G]\r\na=2\r\n"},
        {"keys before any section", "k=1\n", "G", "k", "2", "k=1\n[G]\nk=2\n"},
        {"a line without = stays", "[G]\nk\n", "G", "k", "1", "[G]\nk\nk=1\n"},
        {"comment line is no key", "[G]\n;k=1\n", "G", "k", "2", "[G]\n;k=1\nk=2\n"},
        {"leading blanks dropped", "", "G", "k", " \t x y ", "[G]\r\nk=x y \r\n"},
        {"quotes written as given", "", "G", "k", "\"q\"", "[G]\r\nk=\"q\"\r\n"},
        {"empty value", "[G]\nk=1\n", "G", "k", "", "[G]\nk=\n"},
        {"same value: line untouched", "[G]\n k = v  ; c\n", "G", "k", "v  ; c",
         "[G]\n k = v  ; c\n"},
        {"same value once unquoted", "[G]\nk=\"v\"", "G", "k", "v", "[G]\nk=\"v\""},
        {"null value deletes the key", "[G]\na=1\nk=2\nb=3\n", "G", "k", nullptr,
         "[G]\na=1\nb=3\n"},
        {"null key deletes the section", "[G]\na=1\n[H]\nb=2\n[G]\nc=3\n", "G", nullptr, nullptr,
         "[H]\nb=2\n[G]\nc=3\n"},
        {"deleting what is absent", "[G]\na=1\n", "H", "a", nullptr, "[G]\na=1\n"},
        {"CR line before an empty LF line", "[G]\rx\rz\ry\n\n", "G", "k", "1",
         "[G]\rx\rz\ry\nk=1\r\n"},
    };
    for (const WriteCase& c : cases) {
        EXPECT_EQ(Set(c.before, c.section, c.key, c.value), c.after) << c.what;
    }
}

// Each write keeps the document's index of sections and keys in step with its
// lines: after every write it is the index a fresh parse of the text builds,
// including writes whose new line reads as something else than was written.
TEST(IniWrite, KeepsTheIndexInStepWithTheLines) {
    IniDocument doc = Parse("k=0\n[G]\na=1\nA=2\n\n[H]\nb=1\n[g]\na=9\n[H]\nb=8\n[x\n");
    const char* writes[][3] = {
        {"G", "c", "3"},          {"H", "d", "4"},         {"G", "a", "5"},  {"G", "a", nullptr},
        {"G", "a", nullptr},      {"H", nullptr, nullptr}, {"H", "b", "7"},  {"New", "k", "1"},
        {"G", nullptr, nullptr},  {"a]b", "k", "v"},       {"a", "k2", "w"}, {"H", ";k", "1"},
        {"H", "[k", "x]"},        {"H", "e=f", "g"},       {"H", "[y", "1"}, {"H", "[y", "2]"},
        {"Absent", "k", nullptr}, {"H", "", "empty name"},
    };
    for (const auto& w : writes) {
        ASSERT_TRUE(IniSetString(&doc, w[0], w[1], w[2]));
        EXPECT_TRUE(doc.index == Parse(Text(doc)).index)
            << w[0] << "/" << (w[1] ? w[1] : "(null)") << " in\n"
            << Text(doc);
    }
    // A line ending in CR put or left next to an empty line ending in LF: in
    // the text the two line ends read as one CR LF.
    const char* joins[][4] = {{"[G]\rx\rz\ry\n\n", "G", "k", "1"},
                              {"[G]\ra=1\rk=2\n\n", "G", "k", nullptr}};
    for (const auto& j : joins) {
        IniDocument joined = Parse(j[0]);
        ASSERT_TRUE(IniSetString(&joined, j[1], j[2], j[3]));
        EXPECT_TRUE(joined.index == Parse(Text(joined)).index) << Text(joined);
    }
    // A last line without its line end gets the file's own once keys follow it.
    IniDocument open = Parse("[G]\na=1");
    const char* openWrites[][3] = {{"G", "b", "2"}, {"G", "b", nullptr}, {"G", "c", "3"}};
    for (const auto& w : openWrites) {
        ASSERT_TRUE(IniSetString(&open, w[0], w[1], w[2]));
        EXPECT_TRUE(open.index == Parse(Text(open)).index) << Text(open);
    }
    EXPECT_EQ(Text(open), "[G]\na=1\nc=3\n");
    // "[a]b]" reads as a section "a": the later write to "a" found it.
    char value[8];
    IniGetString(doc, "a", "k", "", value, sizeof value);
    EXPECT_STREQ(value, "v");
    IniGetString(doc, "a", "k2", "", value, sizeof value);
    EXPECT_STREQ(value, "w");
}

TEST(IniWrite, LineBreaksInNamesOrValuesCannotAddLines) {
    const std::string before = "[Generale]\r\ntDelay=5000\r\n";
    struct {
        const char* section;
        const char* key;
        const char* value;
        const char* after;
    } cases[] = {
        {"Generale", "szRasEntry", "evil\r\n[Generale]\r\ntDelay=1",
         "[Generale]\r\ntDelay=5000\r\nszRasEntry=evil[Generale]tDelay=1\r\n"},
        {"Generale", "szRasEntry", "a\rb\nc", "[Generale]\r\ntDelay=5000\r\nszRasEntry=abc\r\n"},
        {"Generale", "x\r\ntDelay", "1", "[Generale]\r\ntDelay=5000\r\nxtDelay=1\r\n"},
        {"Rule0]\r\n[Generale", "tDelay", "1",
         "[Generale]\r\ntDelay=5000\r\n[Rule0][Generale]\r\ntDelay=1\r\n"},
        {"Generale", "tDelay", "\r\n7", "[Generale]\r\ntDelay=7\r\n"},
        // A lone CR ends a line too.
        {"Generale", "szRasEntry", "x\rtDelay=1",
         "[Generale]\r\ntDelay=5000\r\nszRasEntry=xtDelay=1\r\n"},
        {"Generale", "x\rtDelay", "1", "[Generale]\r\ntDelay=5000\r\nxtDelay=1\r\n"},
        {"Rule0]\r[Generale", "tDelay", "1",
         "[Generale]\r\ntDelay=5000\r\n[Rule0][Generale]\r\ntDelay=1\r\n"},
    };
    for (const auto& c : cases) {
        std::string after = Set(before, c.section, c.key, c.value);
        EXPECT_EQ(after, c.after);
        EXPECT_NE(IniGetInt(Parse(after), "Generale", "tDelay", 0), 1);
    }
}

TEST(IniWrite, BuildsASettingsFileInWriteOrder) {
    IniDocument doc;
    const char* writes[][3] = {
        {"Generale", "tDelay", "5000"}, {"Generale", "bDropAny", "1"},
        {"Rule0", "szName", "Notte"},   {"Generale", "nUserEntries", "1"},
        {"Rule0", "hStart0", "22"},     {"Generale", "tDelay", "2500"},
    };
    for (const auto& w : writes) ASSERT_TRUE(IniSetString(&doc, w[0], w[1], w[2]));
    EXPECT_EQ(Text(doc),
              "[Generale]\r\ntDelay=2500\r\nbDropAny=1\r\nnUserEntries=1\r\n"
              "[Rule0]\r\nszName=Notte\r\nhStart0=22\r\n");
}

TEST(IniFile, ReadsRegularFilesOnly) {
    ScratchDir dir;
    std::string text = "stale";
    EXPECT_FALSE(ReadFileText(dir.File("absent.ini").c_str(), &text));
    EXPECT_EQ(text, "");
    text = "stale";
    EXPECT_FALSE(ReadFileText(dir.path.c_str(), &text));  // a folder
    EXPECT_EQ(text, "");
    WriteWholeFile(dir.File("a.ini"), std::string("[G]\r\nk=v\0\r", 10));
    EXPECT_TRUE(ReadFileText(dir.File("a.ini").c_str(), &text));
    EXPECT_EQ(text, std::string("[G]\r\nk=v\0\r", 10));
    WriteWholeFile(dir.File("empty.ini"), "");
    EXPECT_TRUE(ReadFileText(dir.File("empty.ini").c_str(), &text));
    EXPECT_EQ(text, "");
    // The size limit: a file of exactly the limit is read, one byte more is not.
    WriteWholeFile(dir.File("big.ini"), std::string(kMaxIniFileSize, ';'));
    EXPECT_TRUE(ReadFileText(dir.File("big.ini").c_str(), &text));
    EXPECT_EQ(text.size(), kMaxIniFileSize);
    WriteWholeFile(dir.File("big.ini"), std::string(kMaxIniFileSize + 1, ';'));
    EXPECT_FALSE(ReadFileText(dir.File("big.ini").c_str(), &text));
}

TEST(IniFile, ReplacesAFileWholeAndLeavesNoTemporaryFile) {
    ScratchDir dir;
    std::string path = dir.File("Teleora.ini");
    std::string big(200000, 'x');  // more than one write of the copy loop
    for (const std::string& text : {std::string("first\r\n"), big, std::string()}) {
        ASSERT_TRUE(ReplaceFileAtomically(path.c_str(), text));
        EXPECT_EQ(ReadWholeFile(path), text);
        EXPECT_EQ(FilesIn(dir.path), std::vector<std::string>{"Teleora.ini"});
    }
}

TEST(IniFile, AFailedReplaceLeavesTheTargetAlone) {
    ScratchDir dir;
    // A folder in the target's place: the rename over it fails.
    std::filesystem::create_directory(dir.File("Teleora.ini"));
    WriteWholeFile(dir.File("Teleora.ini") + "/inside", "keep");
    EXPECT_FALSE(ReplaceFileAtomically(dir.File("Teleora.ini").c_str(), "new"));
    EXPECT_EQ(ReadWholeFile(dir.File("Teleora.ini") + "/inside"), "keep");
    EXPECT_EQ(FilesIn(dir.path), std::vector<std::string>{"Teleora.ini"});
    // A folder that does not exist: no temporary file can be made.
    EXPECT_FALSE(ReplaceFileAtomically(dir.File("no/Teleora.ini").c_str(), "new"));
    EXPECT_FALSE(ReplaceFileAtomically("", "new"));
}

TEST(IniStore, ReadsTheFileAsItWasWhenOpened) {
    ScratchDir dir;
    std::string path = dir.File("Teleora.ini");
    IniFileStore missing;
    OpenIniFileStore(&missing, path.c_str());
    ProfileStore store = MakeIniProfileStore(&missing);
    EXPECT_EQ(store.getInt(store.ctx, "Generale", "tDelay", 5000), 5000);

    WriteWholeFile(path, "[Generale]\r\ntDelay=2500\r\nszRasEntry=Casa\r\n");
    IniFileStore ini;
    OpenIniFileStore(&ini, path.c_str());
    store = MakeIniProfileStore(&ini);
    WriteWholeFile(path, "[Generale]\r\ntDelay=1\r\n");  // changed after opening
    EXPECT_EQ(store.getInt(store.ctx, "generale", "TDELAY", 5000), 2500);
    char entry[8];
    store.getString(store.ctx, "Generale", "szRasEntry", "x", entry, sizeof entry);
    EXPECT_STREQ(entry, "Casa");
}

TEST(IniStore, SaveStartsFromTheFileOnDiskAndUpdatesReads) {
    ScratchDir dir;
    std::string path = dir.File("Teleora.ini");
    WriteWholeFile(path, "[Generale]\r\ntDelay=2500\r\n");
    IniFileStore ini;
    OpenIniFileStore(&ini, path.c_str());
    ProfileStore store = MakeIniProfileStore(&ini);
    // Someone else adds a section after the store was opened.
    WriteWholeFile(path, "[Generale]\r\ntDelay=2500\r\n[Other]\r\nx=1\r\n");
    ASSERT_TRUE(store.beginSave(store.ctx));
    store.writeString(store.ctx, "Generale", "tDelay", "3000");
    EXPECT_EQ(store.getInt(store.ctx, "Generale", "tDelay", 0), 2500);  // not yet saved
    ASSERT_TRUE(store.commitSave(store.ctx));
    EXPECT_EQ(ReadWholeFile(path), "[Generale]\r\ntDelay=3000\r\n[Other]\r\nx=1\r\n");
    EXPECT_EQ(store.getInt(store.ctx, "Generale", "tDelay", 0), 3000);
    EXPECT_EQ(store.getInt(store.ctx, "Other", "x", 0), 1);
    EXPECT_FALSE(store.commitSave(store.ctx));  // no save under way
}

TEST(IniStore, AFailedSaveKeepsFileAndReads) {
    ScratchDir dir;
    // The settings path is a folder: it cannot be read, so it is not replaced.
    std::string folder = dir.File("Teleora.ini");
    std::filesystem::create_directory(folder);
    IniFileStore ini;
    OpenIniFileStore(&ini, folder.c_str());
    ProfileStore store = MakeIniProfileStore(&ini);
    EXPECT_FALSE(store.beginSave(store.ctx));
    store.writeString(store.ctx, "Generale", "tDelay", "1");  // ignored
    EXPECT_FALSE(store.commitSave(store.ctx));
    EXPECT_TRUE(std::filesystem::is_directory(folder));

    // A file in a folder that does not exist: the commit fails.
    IniFileStore lost;
    OpenIniFileStore(&lost, dir.File("gone/Teleora.ini").c_str());
    store = MakeIniProfileStore(&lost);
    ASSERT_TRUE(store.beginSave(store.ctx));
    store.writeString(store.ctx, "Generale", "tDelay", "1");
    EXPECT_FALSE(store.commitSave(store.ctx));
    EXPECT_EQ(store.getInt(store.ctx, "Generale", "tDelay", 5000), 5000);
}

}  // namespace
