// The lease command line: whatever bytes a task name or instance name holds, the gateway's command splitter
// gives back exactly the words SET key value NX PX ttl.
#include <gtest/gtest.h>

#include "app/redis_lease.h"
#include "redis/command_words.h"
#include "redis/redis_gateway.h"
#include "support/redis_server.h"
#include "util/encoding.h"
#include "util/event_loops.h"

namespace kestrum {
namespace {

TEST(LeaseCommand, KeyAndValueTravelByteForByte) {
    const std::string awkward[] = {
        "plain",
        "two words",
        "quote\" and 'single' and `` backticks",
        "braces {1} \\{ \\} and a backslash \\ at the end\\",
        "line\r\nbreak\ttab",
        "\xD6\xD0\xCE\xC4 task",  // "中文" in the internal encoding
        "",
    };
    for (const std::string& name : awkward) {
        for (bool utf8 : {true, false}) {
            SCOPED_TRACE(name + (utf8 ? " (utf8)" : " (internal)"));
            const std::string command =
                leaseCommand("kestrum:lease:" + name + ":1700000000", name, 6000, utf8);
            // As the gateway splits it: the template converted to UTF-8 first when isUnicode is on.
            std::vector<std::string> words;
            std::string error;
            ASSERT_TRUE(buildCommandWords(utf8 ? gbkToUtf8(command) : command, {}, !utf8, words, error))
                << error;
            const std::string sent = utf8 ? gbkToUtf8(name) : name;
            const std::vector<std::string> expected = {
                "SET", "kestrum:lease:" + sent + ":1700000000", sent, "NX", "PX", "6000"};
            EXPECT_EQ(words, expected);
        }
    }
}

TEST(LeaseCommand, ClaimedOnceThenRefusedThenUnavailable) {
    testing::RedisServer redis;
    ASSERT_TRUE(redis.start()) << redis.error();
    EventLoops loops(1);
    ASSERT_TRUE(loops.start());
    RedisGateway gateway;
    gateway.openSets(loops, "127.0.0.1", redis.port(), "", {"5"}, {"1"}, true);
    const std::string key = "kestrum:lease:\xD6\xD0 \"x\":1700000000";
    EXPECT_EQ(claimRedisLease(gateway, 5, key, "node-a", 6000), LeaseClaim::Claimed);
    EXPECT_EQ(claimRedisLease(gateway, 5, key, "node-b", 6000), LeaseClaim::Refused);
    std::string owner;
    std::string error;
    ASSERT_TRUE(gateway.getValue(5, key, owner, error)) << error;
    EXPECT_EQ(owner, "node-a");
    ASSERT_EQ(claimRedisLease(gateway, 5, "lease:ttl", "node-a", 6000), LeaseClaim::Claimed);
    std::string ttl;
    ASSERT_TRUE(gateway.runOrder(5, "PTTL lease:ttl", ttl, error)) << error;
    EXPECT_GT(std::stoll(ttl), 5000);
    EXPECT_LE(std::stoll(ttl), 6000);
    EXPECT_EQ(claimRedisLease(gateway, 4, "other", "node-a", 6000), LeaseClaim::Unavailable);  // no set
    redis.killServer();
    EXPECT_EQ(claimRedisLease(gateway, 5, "other", "node-a", 6000), LeaseClaim::Unavailable);
}

}  // namespace
}  // namespace kestrum
