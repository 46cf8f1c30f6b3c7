#include <gtest/gtest.h>

#include "scheduler/program_launcher.h"

namespace kestrum {
namespace {

TEST(SplitShellWords, Table) {
    struct Case {
        std::string text;
        bool ok;
        std::vector<std::string> words;
    };
    const Case cases[] = {
        {"", true, {}},
        {"  a   b\tc ", true, {"a", "b", "c"}},
        {"'a b' \"c d\"", true, {"a b", "c d"}},
        {"x'y z'w", true, {"xy zw"}},
        {"\"a \\\"q\\\" \\n $x\"", true, {"a \"q\" \\n $x"}},
        {"a\\ b \\'c", true, {"a b", "'c"}},
        {"''", true, {""}},
        {"; | & > $(rm)", true, {";", "|", "&", ">", "$(rm)"}},
        {"'open", false, {"untouched"}},
        {"\"open", false, {"untouched"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<std::string> words{"untouched"};
        EXPECT_EQ(splitShellWords(c.text, words), c.ok);
        EXPECT_EQ(words, c.words);
    }
}

TEST(StartProgram, RefusesBadInput) {
    EXPECT_FALSE(startProgram("", ""));
    EXPECT_FALSE(startProgram("/bin/true", "'unterminated"));
    EXPECT_TRUE(startProgram("/bin/true", "a b"));
}

}  // namespace
}  // namespace kestrum
