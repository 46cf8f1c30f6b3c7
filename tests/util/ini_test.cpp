#include "util/ini.h"

#include <gtest/gtest.h>

#include "support/kestrum_process.h"

namespace kestrum {
namespace {

using testing::gb;

TEST(IniFile, ProfileStringRules) {
    IniFile file = IniFile::parse(
        "; comment\r\n"
        "[SYS]\r\n"
        "  Port_Http =  8080  \r\n"
        "empty=\r\n"
        "quoted = \"  spaced  \"\r\n"
        "single='x'\r\n"
        "half=\"open\r\n"
        ";port_https=1\r\n"
        "port_http=9090\r\n"
        "[other]\r\n"
        "key=other\r\n"
        "[sys]\r\n"
        "late=yes\r\n");
    struct Case {
        const char* key;
        const char* expected;
    } cases[] = {
        {"port_http", "8080"},     // case-insensitive, trimmed, first occurrence wins
        {"empty", ""},             // present but empty: not the default
        {"quoted", "  spaced  "},  // one pair of quotes removed, inside kept
        {"single", "x"},
        {"half", "\"open"},
        {"port_https", "dflt"},  // commented out
        {"missing", "dflt"},
        {"key", "dflt"},  // other section
        {"late", "yes"},  // a repeated section adds keys
    };
    for (const Case& c : cases)
        EXPECT_EQ(file.get("sys", c.key, "dflt"), c.expected) << c.key;
    EXPECT_EQ(file.get("nosuch", "port_http", "d"), "d");
}

TEST(IniFile, MissingFileGivesDefaults) {
    EXPECT_EQ(readIniValue("/nonexistent/config.ini", "sys", "on", "1"), "1");
    std::vector<std::string> keys, values;
    EXPECT_EQ(readSection("/nonexistent/config.ini", "dbsum", keys, values), 0);
    EXPECT_TRUE(keys.empty());
}

TEST(IniFile, Utf8AndGbkFilesGiveTheSameText) {
    testing::TempDir dir;
    dir.write("utf8.ini", "\xEF\xBB\xBF[sys]\nwhitelist=127.0.0.1，localhost\nname=任务\n");
    dir.write("plain-utf8.ini", "[sys]\nwhitelist=127.0.0.1，localhost\nname=任务\n");
    dir.write("gbk.ini", gb("[sys]\nwhitelist=127.0.0.1，localhost\nname=任务\n"));
    for (const char* name : {"utf8.ini", "plain-utf8.ini", "gbk.ini"}) {
        IniFile file = IniFile::load(dir.path() + "/" + name);
        EXPECT_EQ(file.get("sys", "whitelist"), gb("127.0.0.1，localhost")) << name;
        EXPECT_EQ(file.get("sys", "name"), gb("任务")) << name;
    }
}

TEST(IniFile, LongValuesAreCut) {
    IniFile file = IniFile::parse("[sys]\nlong=" + std::string(20000, 'x') + "\n");
    EXPECT_EQ(file.get("sys", "long").size(), 10239u);
}

TEST(IniFile, SectionLinesInFileOrder) {
    testing::TempDir dir;
    dir.write("config.ini", "[dbsum]\n3=5\n0 = 2\n7\n; no\n[sys]\non=1\n");
    std::vector<std::string> keys, values;
    ASSERT_EQ(readSection(dir.path() + "/config.ini", "DBSUM", keys, values), 3);
    EXPECT_EQ(keys, (std::vector<std::string>{"3", "0", ""}));
    EXPECT_EQ(values, (std::vector<std::string>{"5", "2", "7"}));
}

TEST(TrimText, AsciiAndFullWidthBlanks) {
    EXPECT_EQ(trimText(gb("　 abc　 ")), "abc");
    EXPECT_EQ(trimText(" \t "), "");
    // "…" ends in A1 A1? no: its GBK bytes are A1 AD; a character whose trail byte is A1 must survive.
    std::string tricky = gb("啊") + "\xA1\xA1";  // B0 A1 then a full-width space
    EXPECT_EQ(trimText(tricky), gb("啊"));
}

}  // namespace
}  // namespace kestrum
