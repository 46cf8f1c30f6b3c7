// The command table (shared, blocking, refused) and the deny list.
#include <gtest/gtest.h>

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

TEST(CommandRules, DenyListSplitsOnCommasAndBlanksAndIgnoresCase) {
    CommandDenyList empty("");
    EXPECT_TRUE(empty.empty());
    EXPECT_FALSE(empty.denies("FLUSHALL"));

    CommandDenyList deny(" flushall,CONFIG ,, keys\tDebug,");
    EXPECT_EQ(deny.size(), 4u);
    for (const char* name : {"FLUSHALL", "flushall", "Config", "KEYS", "debug"})
        EXPECT_TRUE(deny.denies(name)) << name;
    for (const char* name : {"FLUSHDB", "GET", "", "flushal", "config get"})
        EXPECT_FALSE(deny.denies(name)) << name;
}

}  // namespace
}  // namespace kestrum
