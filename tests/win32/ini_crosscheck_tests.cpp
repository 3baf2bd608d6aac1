// The portable INI store against the system's profile functions: the same
// hand-written files (ini_cases/*.ini) read through GetPrivateProfileIntA /
// GetPrivateProfileStringA and through the portable store must give the same
// values for every section and key they mention (and for spellings and names
// they do not), and the same writes applied through both must read back the
// same.
#include <gtest/gtest.h>
#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "settings/ini_file.h"
#include "support/test_support.h"

namespace {

const char* const kCases[] = {"plain.ini",    "spacing.ini",    "empty.ini", "numbers.ini",
                              "comments.ini", "duplicates.ini", "case.ini",  "long.ini",
                              "lineends.ini", "nosection.ini"};

// Read only: a line without "=" reads as no key through both, but a write to
// its name differs (the system gives that line the value; the portable store
// adds a second line, which the system then hides behind the first).
const char* const kReadOnlyCases[] = {"barekey.ini"};

std::string CasePath(const char* name) {
    return std::string(TELEORA_INI_CASES) + "/" + name;
}

std::string Trim(const std::string& s) {
    size_t begin = s.find_first_not_of(" \t");
    if (begin == std::string::npos) return "";
    size_t end = s.find_last_not_of(" \t");
    return s.substr(begin, end - begin + 1);
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

// Every section and key name the file mentions, as written, trimmed and in
// other letter cases, plus names it does not mention.
void NamesIn(const std::string& text, std::vector<std::string>* sections,
             std::vector<std::string>* keys) {
    std::set<std::string> s{"Missing", "Rule9"}, k{"absent", "hStart6"};
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (line.compare(0, 3, "\xef\xbb\xbf") == 0) line = line.substr(3);
        size_t open = line.find('['), close = line.find(']');
        if (open != std::string::npos && close != std::string::npos && close > open) {
            std::string name = line.substr(open + 1, close - open - 1);
            s.insert(name);
            s.insert(Trim(name));
            s.insert(Upper(Trim(name)));
        }
        size_t eq = line.find('=');
        if (eq != std::string::npos && eq > 0 && eq < 300) {
            std::string name = Trim(line.substr(0, eq));
            // A comment line is never asked for (the system would read it as
            // a key whose name starts with ';').
            if (!name.empty() && name[0] != '[' && name[0] != ';') {
                k.insert(name);
                k.insert(Upper(name));
            }
        }
        start = end + 1;
    }
    sections->assign(s.begin(), s.end());
    keys->assign(k.begin(), k.end());
}

std::string ReadAll(const std::string& path) {
    std::string text;
    ReadFileText(path.c_str(), &text);
    return text;
}

// Compares every section x key of the file at path (read by the system) with
// doc (read by the portable store).
void ExpectSameReadings(const std::string& path, const IniDocument& doc,
                        const std::vector<std::string>& sections,
                        const std::vector<std::string>& keys) {
    for (const std::string& section : sections) {
        for (const std::string& key : keys) {
            SCOPED_TRACE("[" + section + "] " + key);
            int32_t system = static_cast<int32_t>(
                GetPrivateProfileIntA(section.c_str(), key.c_str(), 77, path.c_str()));
            EXPECT_EQ(IniGetInt(doc, section.c_str(), key.c_str(), 77), system);
            for (DWORD size : {1024u, 64u, 5u}) {
                char fromSystem[1024];
                char fromStore[1024];
                memset(fromStore, '#', sizeof fromStore);
                GetPrivateProfileStringA(section.c_str(), key.c_str(), "dflt", fromSystem, size,
                                         path.c_str());
                IniGetString(doc, section.c_str(), key.c_str(), "dflt", fromStore, size);
                EXPECT_EQ(std::string(fromStore), std::string(fromSystem)) << "buffer " << size;
                // Nothing is written past the buffer.
                if (size < sizeof fromStore) {
                    EXPECT_EQ(fromStore[size], '#');
                }
            }
        }
    }
}

class IniCrossCheck : public ::testing::TestWithParam<const char*> {};

TEST_P(IniCrossCheck, ReadsAgreeWithTheProfileFunctions) {
    ScratchDir dir;
    std::string path = dir.File("case.ini");
    std::string text = ReadAll(CasePath(GetParam()));
    ASSERT_FALSE(text.empty());
    WriteWholeFile(path, text);
    IniDocument doc;
    ASSERT_TRUE(ParseIni(text, &doc));
    std::vector<std::string> sections, keys;
    NamesIn(text, &sections, &keys);
    ExpectSameReadings(path, doc, sections, keys);
}

struct Write {
    const char* section;
    const char* key;    // null: delete the section
    const char* value;  // null: delete the key
};

const Write kWrites[] = {
    {"Generale", "tDelay", "60000"},   {"generale", "SZRASENTRY", "  Nuova voce"},
    {"Generale", "nUserEntries", "2"}, {"Generale", "aggiunta", "valore con  spazi"},
    {"Generale", "vuota", ""},         {"Rule0", "szName", "\"tra virgolette\""},
    {"Rule0", "hStart1", nullptr},     {"Rule1", "szName", "Notte"},
    {"Rule1", "mStop6", "30"},         {"Other", nullptr, nullptr},
    {"Nuova", "chiave", "x=y"},
};

TEST_P(IniCrossCheck, WritesAgreeWithTheProfileFunctions) {
    ScratchDir dir;
    std::string text = ReadAll(CasePath(GetParam()));
    std::string systemPath = dir.File("system.ini");
    std::string storePath = dir.File("store.ini");
    WriteWholeFile(systemPath, text);
    IniDocument doc;
    ASSERT_TRUE(ParseIni(text, &doc));
    for (const Write& w : kWrites) {
        WritePrivateProfileStringA(w.section, w.key, w.value, systemPath.c_str());
        ASSERT_TRUE(IniSetString(&doc, w.section, w.key, w.value));
    }
    std::string written;
    ASSERT_TRUE(SerializeIni(doc, &written));
    WriteWholeFile(storePath, written);

    std::vector<std::string> sections, keys;
    NamesIn(text + "\n" + ReadAll(systemPath), &sections, &keys);
    // The system's file read by the store's rules, and the store's file read by
    // the system, both match what the system reads from its own file.
    IniDocument systemDoc;
    ASSERT_TRUE(ParseIni(ReadAll(systemPath), &systemDoc));
    ExpectSameReadings(systemPath, doc, sections, keys);
    ExpectSameReadings(systemPath, systemDoc, sections, keys);
    ExpectSameReadings(storePath, doc, sections, keys);
}

std::string CaseName(const ::testing::TestParamInfo<const char*>& info) {
    std::string name = info.param;
    return name.substr(0, name.find('.'));
}

INSTANTIATE_TEST_SUITE_P(Files, IniCrossCheck, ::testing::ValuesIn(kCases), CaseName);

class IniCrossCheckReadOnly : public ::testing::TestWithParam<const char*> {};

TEST_P(IniCrossCheckReadOnly, ReadsAgreeWithTheProfileFunctions) {
    ScratchDir dir;
    std::string path = dir.File("case.ini");
    std::string text = ReadAll(CasePath(GetParam()));
    WriteWholeFile(path, text);
    IniDocument doc;
    ASSERT_TRUE(ParseIni(text, &doc));
    std::vector<std::string> sections, keys;
    NamesIn(text, &sections, &keys);
    keys.push_back("nUserEntries");
    keys.push_back("szRasEntry");
    keys.push_back("bDropAny");
    ExpectSameReadings(path, doc, sections, keys);
}

INSTANTIATE_TEST_SUITE_P(Files, IniCrossCheckReadOnly, ::testing::ValuesIn(kReadOnlyCases),
                         CaseName);

TEST(IniCrossCheckNewFile, WritingIntoNoFileCreatesTheSameLines) {
    ScratchDir dir;
    std::string systemPath = dir.File("system.ini");
    IniDocument doc;
    const Write writes[] = {{"Generale", "tDelay", "5000"},
                            {"Generale", "szRasEntry", "Office"},
                            {"Rule0", "szName", "Sera"}};
    for (const Write& w : writes) {
        WritePrivateProfileStringA(w.section, w.key, w.value, systemPath.c_str());
        ASSERT_TRUE(IniSetString(&doc, w.section, w.key, w.value));
    }
    std::string written;
    ASSERT_TRUE(SerializeIni(doc, &written));
    // No blanks around "=", CR LF line ends (blank lines between sections are
    // Wine's own habit).
    std::string system = ReadAll(systemPath);
    std::string withoutBlankLines;
    for (size_t i = 0; i < system.size(); ++i) {
        if (system.compare(i, 4, "\r\n\r\n") == 0) {
            withoutBlankLines += "\r\n";
            i += 3;
        } else {
            withoutBlankLines += system[i];
        }
    }
    std::string storeWithout = written;
    size_t at;
    while ((at = storeWithout.find("\r\n\r\n")) != std::string::npos) storeWithout.erase(at, 2);
    EXPECT_EQ(storeWithout, withoutBlankLines);
}

}  // namespace
