// The key positions of Redis commands as the server's own command table (COMMAND of the test's redis-server)
// gives them: single keys, multi-key commands, sub-commands of containers, movable keys and unknown commands;
// and a reply that is no command table.
#include "redis/command_keys.h"

#include <gtest/gtest.h>
#include <hiredis/hiredis.h>

#include "redis_test_support.h"

namespace kestrum {
namespace {

TEST(RedisKeyTableTest, KeysFromTheServersCommandTable) {
    redisContext* context = redisConnect("127.0.0.1", testing::sharedRedis().port());
    ASSERT_TRUE(context != nullptr && context->err == 0);
    redisReply* reply = static_cast<redisReply*>(redisCommand(context, "COMMAND"));
    ASSERT_NE(reply, nullptr);
    RedisKeyTable table;
    EXPECT_TRUE(table.load(reply));
    freeReplyObject(reply);
    redisFree(context);
    EXPECT_GT(table.size(), 100u);

    using Keys = RedisKeyTable::Keys;
    struct Case {
        std::vector<std::string> words;
        Keys result;
        std::vector<size_t> positions;
    } cases[] = {
        {{"GET", "k"}, Keys::kFound, {1}},
        {{"get", "k"}, Keys::kFound, {1}},
        {{"SET", "k", "v", "PX", "100"}, Keys::kFound, {1}},
        {{"MSET", "a:1", "x", "other:1", "y"}, Keys::kFound, {1, 3}},
        {{"RENAME", "a:1", "other:1"}, Keys::kFound, {1, 2}},
        {{"DEL", "a", "b", "c"}, Keys::kFound, {1, 2, 3}},
        {{"BLPOP", "a", "b", "0"}, Keys::kFound, {1, 2}},
        {{"OBJECT", "ENCODING", "k"}, Keys::kFound, {2}},
        {{"object", "encoding", "k"}, Keys::kFound, {2}},
        {{"PING"}, Keys::kFound, {}},
        {{"CLIENT", "INFO"}, Keys::kFound, {}},
        {{"GET"}, Keys::kFound, {}},  // too few arguments: Redis refuses it; no position past the end
        {{"EVAL", "return 1", "1", "k"}, Keys::kMovable, {}},
        {{"SORT", "k", "STORE", "other"}, Keys::kMovable, {}},
        {{"MIGRATE", "h", "1", "", "0", "5000", "KEYS", "a"}, Keys::kMovable, {}},
        {{"ZUNIONSTORE", "d", "2", "a", "b"}, Keys::kMovable, {}},
        {{"NOSUCHCOMMAND", "k"}, Keys::kUnknown, {}},
        {{"OBJECT", "NOSUCH", "k"}, Keys::kUnknown, {}},
        {{}, Keys::kUnknown, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.words.empty() ? "(nothing)"
                                     : c.words[0] + (c.words.size() > 1 ? " " + c.words[1] : ""));
        std::vector<size_t> positions{99};
        EXPECT_EQ(table.keys(c.words, positions), c.result);
        EXPECT_EQ(positions, c.positions);
    }
}

TEST(RedisKeyTableTest, ReplyThatIsNoCommandTable) {
    redisReply status{};
    status.type = REDIS_REPLY_STATUS;
    status.str = const_cast<char*>("OK");
    status.len = 2;
    RedisKeyTable table;
    EXPECT_FALSE(table.load(&status));
    EXPECT_FALSE(table.load(nullptr));
    // An array of things that are not command entries gives an empty table.
    redisReply* elements[1] = {&status};
    redisReply array{};
    array.type = REDIS_REPLY_ARRAY;
    array.elements = 1;
    array.element = elements;
    EXPECT_FALSE(table.load(&array));
    EXPECT_TRUE(table.empty());
    std::vector<size_t> positions;
    EXPECT_EQ(table.keys({"GET", "k"}, positions), RedisKeyTable::Keys::kUnknown);
}

}  // namespace
}  // namespace kestrum
