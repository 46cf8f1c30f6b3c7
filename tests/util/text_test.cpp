#include "util/text.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrum {
namespace {

TEST(Text, FullWidthMarksAreTheInternalEncodingBytes) {
    EXPECT_EQ(std::string("sql") + kFullWidthColon + "x", "sql\xA3\xBAx");
    EXPECT_EQ(std::string(kFullWidthComma), "\xA3\xAC");
    EXPECT_EQ(std::string(kFullWidthSpace), "\xA1\xA1");
}

TEST(Text, EqualsIgnoreCaseFoldsAsciiLettersOnly) {
    struct Case {
        std::string a, b;
        bool equal;
    } cases[] = {
        {"", "", true},
        {"Content-Length", "content-LENGTH", true},
        {"websocket", "websockets", false},
        {"a", "", false},
        {"[\\]", "{|}", false},           // the bytes 32 apart from letters are no letters
        {"@", "`", false},                // nor are the neighbours of A and Z
        {"\xC0", "\xE0", false},          // Latin-1 letters never fold
        {"\xA3\xC1", "\xA3\xE1", false},  // nor do GB18030 trail bytes
        {"\xA3\xBA"
         "A",
         "\xA3\xBA"
         "a",
         true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(equalsIgnoreCase(c.a, c.b), c.equal) << c.a << " / " << c.b;
        EXPECT_EQ(equalsIgnoreCase(c.b, c.a), c.equal) << c.b << " / " << c.a;
    }
    EXPECT_EQ(asciiLower("AbZ\xC0\xA3\xC1[@"), "abz\xC0\xA3\xC1[@");
    EXPECT_EQ(asciiUpper("aBz\xE0\xA3\xE1{`"), "ABZ\xE0\xA3\xE1{`");
}

TEST(Text, FindIgnoreCase) {
    constexpr size_t npos = std::string_view::npos;
    struct Case {
        std::string text, word;
        size_t from, at;
    } cases[] = {
        {"Host: a\r\nUser-Agent: b", "user-agent:", 0, 9},
        {"Set-Cookie: a; set-cookie: b", "SET-COOKIE", 1, 15},
        {"abc", "ABC", 0, 0},
        {"abc", "abcd", 0, npos},
        {"abc", "c", 3, npos},
        {"abc", "", 3, 3},     // an empty word is found where the search starts
        {"abc", "", 4, npos},  // ... when that is inside the text
        {"", "", 0, 0},
        {"\xC0x", "\xE0X", 0, npos},
        {"aaa", "AA", 1, 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(findIgnoreCase(c.text, c.word, c.from), c.at)
            << c.text << " / " << c.word << " @" << c.from;
}

}  // namespace
}  // namespace kestrum
