// Redis-style glob patterns: the table of matches and refusals, malformed patterns, and that a pattern full
// of stars against a long text ends at once.
#include "util/glob_match.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrum {
namespace {

TEST(GlobMatchTest, Table) {
    struct Case {
        const char* pattern;
        const char* text;
        bool match;
    } cases[] = {
        {"*", "", true},
        {"*", "anything", true},
        {"", "", true},
        {"", "a", false},
        {"app1:*", "app1:", true},
        {"app1:*", "app1:user:7", true},
        {"app1:*", "app2:user", false},
        {"app1:*", "xapp1:", false},
        {"cache:?", "cache:1", true},
        {"cache:?", "cache:", false},
        {"cache:?", "cache:12", false},
        {"*:session", "user:1:session", true},
        {"*:session", "user:1:sessions", false},
        {"a*b*c", "a-b-b-c", true},
        {"a*b*c", "a-c-b", false},
        {"h[ae]llo", "hello", true},
        {"h[ae]llo", "hillo", false},
        {"h[^e]llo", "hallo", true},
        {"h[^e]llo", "hello", false},
        {"h[a-c]llo", "hbllo", true},
        {"h[c-a]llo", "hbllo", true},  // a reversed range
        {"h[a-c]llo", "hdllo", false},
        {"h[\\]]llo", "h]llo", true},
        {"a\\*b", "a*b", true},
        {"a\\*b", "axb", false},
        {"a\\?", "a?", true},
        {"[]x", "x", false},                      // an empty class matches nothing
        {"app1:[", "app1:[", false},              // malformed: the unfinished class matches nothing
        {"\xD6\xD0*", "\xD6\xD0\xCE\xC4", true},  // bytes, whatever the encoding
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.pattern) + " ~ " + c.text);
        EXPECT_EQ(globMatch(c.pattern, c.text), c.match);
    }
}

TEST(GlobMatchTest, MalformedPatterns) {
    EXPECT_EQ(globPatternError("app1:*"), "");
    EXPECT_EQ(globPatternError("a[bc]\\*"), "");
    EXPECT_EQ(globPatternError("a[bc"), "has a \"[\" without its \"]\"");
    EXPECT_EQ(globPatternError("a[\\]"), "has a \"[\" without its \"]\"");
    EXPECT_EQ(globPatternError("ab\\"), "ends in a lone \"\\\"");
}

TEST(GlobMatchTest, ManyStarsDoNotBacktrackForever) {
    std::string text(100000, 'a');
    std::string pattern;
    for (int i = 0; i < 50; ++i)
        pattern += "*a";
    EXPECT_FALSE(globMatch(pattern + "b", text));
    EXPECT_TRUE(globMatch(pattern, text));
}

}  // namespace
}  // namespace kestrum
