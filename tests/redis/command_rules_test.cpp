// The command table (shared, blocking, refused), command rules in ACL notation and the deny list.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>

#include "redis/command_rules.h"

namespace kestrum {
namespace {

TEST(CommandRules, Classification) {
    struct Case {
        std::vector<std::string> words;
        CommandKind kind;
    };
    const Case cases[] = {
        {{"GET", "k"}, CommandKind::kShared},
        {{"set", "k", "v"}, CommandKind::kShared},
        {{"CLIENT", "LIST"}, CommandKind::kShared},
        {{"CLIENT"}, CommandKind::kShared},
        {{"XREAD", "COUNT", "1", "STREAMS", "block", "0"}, CommandKind::kShared},  // "block" is a key here
        {{"blpop", "k", "0"}, CommandKind::kBlocking},
        {{"BRPOPLPUSH", "a", "b", "1"}, CommandKind::kBlocking},
        {{"BZMPOP", "1", "1", "z", "MIN"}, CommandKind::kBlocking},
        {{"WAIT", "0", "100"}, CommandKind::kBlocking},
        {{"XREAD", "block", "10", "STREAMS", "s", "$"}, CommandKind::kBlocking},
        {{"XREADGROUP", "GROUP", "g", "c", "BLOCK", "0", "STREAMS", "s", ">"}, CommandKind::kBlocking},
        {{"select", "1"}, CommandKind::kRefused},
        {{"MULTI"}, CommandKind::kRefused},
        {{"Subscribe", "ch"}, CommandKind::kRefused},
        {{"PSUBSCRIBE", "*"}, CommandKind::kRefused},
        {{"MONITOR"}, CommandKind::kRefused},
        {{"client", "reply", "off"}, CommandKind::kRefused},
        {{"CLIENT", "TRACKING", "on"}, CommandKind::kRefused},
        {{"HELLO", "3"}, CommandKind::kRefused},
        {{"RESET"}, CommandKind::kRefused},
        {{"QUIT"}, CommandKind::kRefused},
        {{"PSYNC", "?", "-1"}, CommandKind::kRefused},
    };
    for (const Case& c : cases)
        EXPECT_EQ(classifyCommand(c.words), c.kind) << c.words[0];
    EXPECT_EQ(commandTitle({"client", "reply", "off"}), "CLIENT REPLY");
    EXPECT_EQ(commandTitle({"multi"}), "MULTI");
}

using Words = std::vector<std::string>;

TEST(CommandRules, DenyListSplitsOnCommasAndBlanksAndIgnoresCase) {
    CommandDenyList empty("");
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(empty.denies({"FLUSHALL"}), nullptr);

    CommandDenyList deny(" flushall,CONFIG ,, keys\tDebug,");
    EXPECT_EQ(deny.size(), 4u);
    EXPECT_TRUE(deny.invalid().empty());
    for (const Words& words : {Words{"FLUSHALL"}, Words{"flushall", "async"}, Words{"Config", "get", "*"},
                               Words{"KEYS", "*"}, Words{"debug", "sleep", "0"}})
        EXPECT_NE(deny.denies(words), nullptr) << words[0];
    for (const Words& words : {Words{"FLUSHDB"}, Words{"GET", "flushall"}, Words{""}, Words{"flushal"},
                               Words{"config get"}, Words{}})
        EXPECT_EQ(deny.denies(words), nullptr) << (words.empty() ? "(none)" : words[0]);
    EXPECT_EQ(deny.denies({"config", "set", "x", "1"})->title(), "CONFIG");
}

TEST(CommandRules, SubcommandEntriesDenyThatSubcommandOnly) {
    CommandDenyList deny("client|pause CLIENT|Kill config|SET |x y| a|b|c");
    EXPECT_EQ(deny.size(), 3u);
    EXPECT_EQ(deny.invalid(), (Words{"|x", "y|", "a|b|c"}));
    const struct {
        Words words;
        const char* title;  // null: allowed
    } cases[] = {
        {{"CLIENT", "PAUSE", "1000"}, "CLIENT PAUSE"},
        {{"client", "pause"}, "CLIENT PAUSE"},
        {{"Client", "KILL", "ID", "7"}, "CLIENT KILL"},
        {{"CONFIG", "SET", "maxmemory", "1"}, "CONFIG SET"},
        {{"CLIENT", "ID"}, nullptr},
        {{"CLIENT", "LIST"}, nullptr},
        {{"CLIENT"}, nullptr},
        {{"CONFIG", "GET", "*"}, nullptr},
        {{"PAUSE"}, nullptr},
        {{"ECHO", "CLIENT", "PAUSE"}, nullptr},
    };
    for (const auto& c : cases) {
        const CommandRule* rule = deny.denies(c.words);
        if (c.title == nullptr) {
            EXPECT_EQ(rule, nullptr) << c.words[0];
        } else {
            ASSERT_NE(rule, nullptr) << c.title;
            EXPECT_EQ(rule->title(), c.title);
        }
    }

    // The same matching serves any list of entries.
    const std::optional<CommandRule> info = parseCommandRule("client|info");
    ASSERT_TRUE(info);
    EXPECT_TRUE(info->matches({"CLIENT", "INFO"}));
    EXPECT_FALSE(info->matches({"CLIENT", "LIST"}));
    EXPECT_FALSE(parseCommandRule(""));
    EXPECT_FALSE(parseCommandRule("|"));
}

// The recommended list of the sample configuration denies every command that runs a script (a script can
// run any command) along with the commands it was written for.
TEST(CommandRules, SampleDenyListDeniesScripts) {
    std::ifstream sample(std::string(KESTRUM_SOURCE_DIR) + "/scripts/rundir/mod/redis/config.ini");
    ASSERT_TRUE(sample);
    std::string line;
    std::string recommended;
    while (std::getline(sample, line)) {
        if (line.rfind("; deny=", 0) == 0)
            recommended = line.substr(7);
    }
    ASSERT_FALSE(recommended.empty());
    CommandDenyList deny(recommended);
    EXPECT_TRUE(deny.invalid().empty());
    for (const Words& words :
         {Words{"EVAL", "return redis.call('FLUSHALL')", "0"}, Words{"evalsha", "abc", "0"},
          Words{"EVAL_RO", "return 1", "0"}, Words{"EVALSHA_RO", "abc", "0"}, Words{"FCALL", "f", "0"},
          Words{"FCALL_RO", "f", "0"}, Words{"SWAPDB", "0", "1"}, Words{"FLUSHALL"},
          Words{"SCRIPT", "LOAD", "x"}, Words{"FUNCTION", "LOAD", "x"}, Words{"CONFIG", "SET", "x", "y"},
          Words{"CLIENT", "PAUSE", "10"}, Words{"CLIENT", "KILL", "ID", "1"}})
        EXPECT_NE(deny.denies(words), nullptr) << words[0];
    for (const Words& words : {Words{"GET", "k"}, Words{"CLIENT", "ID"}, Words{"INCR", "k"}})
        EXPECT_EQ(deny.denies(words), nullptr) << words[0];
}

}  // namespace
}  // namespace kestrum
