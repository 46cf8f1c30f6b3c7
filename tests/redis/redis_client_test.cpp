// RedisSyncClient against a private redis-server.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>

#include "redis/redis_sync_client.h"
#include "redis_test_support.h"
#include "util/encoding.h"

namespace kestrum {
namespace {

using testing::RedisProbe;
using testing::sharedRedis;

class RedisClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        port_ = sharedRedis().port();
        std::string error;
        ASSERT_TRUE(client_.connect("127.0.0.1", port_, "", 0, 5000, true, error)) << error;
        RedisProbe(port_).run({"FLUSHALL"});
    }

    int port_ = 0;
    RedisSyncClient client_;
};

TEST_F(RedisClientTest, ParametersTravelByteForByte) {
    const std::string key = "key with blanks \"quoted\" 'single'";
    const std::string value = "a \\n \\\"b\\\" {1} `` \r\n end\x01";
    std::string error;
    ASSERT_TRUE(client_.runCommand(nullptr, error, "SET {1} {2}", {key, value})) << error;
    EXPECT_EQ(RedisProbe(port_).run({"GET", key}), value);
    std::string result;
    ASSERT_TRUE(client_.runCommand(&result, error, "GET {1}", {key})) << error;
    EXPECT_EQ(result, value);
}

TEST_F(RedisClientTest, RepliesBecomeText) {
    struct Case {
        const char* command;
        bool ok;
        std::string text;  // result, or the start of the error text
    };
    RedisProbe(port_).run({"HSET", "h", "f1", "v1", "f2", "22"});
    const Case cases[] = {
        {"INCR counter", true, "1"},
        {"INCR counter", true, "2"},
        {"GET missing", true, ""},
        {"SET plain 'two words'", true, "OK"},
        {"GET plain", true, "two words"},
        {"HGETALL h", true, R"(["f1","v1","f2","22"])"},
        {"MGET plain missing", true, R"(["two words",null])"},
        {"LRANGE nothing 0 -1", true, "[]"},
        {"NOSUCHCOMMAND x", false, "ERR unknown command"},
        {"INCR plain", false, "ERR value is not an integer"},
        {"SET k \"unbalanced", false, "unbalanced quotes"},
    };
    for (const Case& c : cases) {
        std::string result = "untouched";
        std::string error;
        bool ok = client_.runCommand(&result, error, c.command);
        ASSERT_EQ(ok, c.ok) << c.command << " -> " << error;
        if (c.ok)
            EXPECT_EQ(result, c.text) << c.command;
        else
            EXPECT_EQ(error.rfind(c.text, 0), 0u) << c.command << " -> " << error;
    }
}

TEST_F(RedisClientTest, UnicodeFlagDecidesTheBytesRedisSees) {
    const std::string gbkChinese = "\xD6\xD0\xCE\xC4";                // "中文"
    const std::string internalEmoji = utf8ToGbk("\xF0\x9F\x98\x80");  // U+1F600, four bytes in GB18030
    std::string error, result;

    ASSERT_TRUE(client_.runCommand(nullptr, error, "SET {1} {2}", {gbkChinese, gbkChinese + internalEmoji}));
    EXPECT_EQ(RedisProbe(port_).run({"GET", "\xE4\xB8\xAD\xE6\x96\x87"}),
              "\xE4\xB8\xAD\xE6\x96\x87\xF0\x9F\x98\x80");
    ASSERT_TRUE(client_.runCommand(&result, error, "GET {1}", {gbkChinese}));
    EXPECT_EQ(result, gbkChinese + internalEmoji);
    // A command text of the client's own is converted too.
    ASSERT_TRUE(client_.runCommand(&result, error, "GET " + gbkChinese));
    EXPECT_EQ(result, gbkChinese + internalEmoji);

    RedisSyncClient raw;
    ASSERT_TRUE(raw.connect("127.0.0.1", port_, "", 0, 5000, false, error)) << error;
    ASSERT_TRUE(raw.runCommand(nullptr, error, "SET {1} {2}", {"raw", gbkChinese}));
    EXPECT_EQ(RedisProbe(port_).run({"GET", "raw"}), gbkChinese);
    ASSERT_TRUE(raw.runCommand(&result, error, "GET raw"));
    EXPECT_EQ(result, gbkChinese);
}

TEST_F(RedisClientTest, PasswordAndDatabaseAreApplied) {
    testing::RedisServer guarded;
    testing::RedisServer::Options options;
    options.password = "s3cret pass";
    ASSERT_TRUE(guarded.start(options)) << guarded.error();

    RedisSyncClient client;
    std::string error;
    EXPECT_FALSE(client.connect("127.0.0.1", guarded.port(), "wrong", 0, 5000, true, error));
    EXPECT_NE(error.find("WRONGPASS"), std::string::npos) << error;

    error.clear();
    ASSERT_TRUE(client.connect("127.0.0.1", guarded.port(), "s3cret pass", 3, 5000, true, error)) << error;
    ASSERT_TRUE(client.runCommand(nullptr, error, "SET {1} {2}", {"where", "db3"})) << error;
    RedisProbe probe(guarded.port());
    EXPECT_EQ(probe.run({"AUTH", "s3cret pass"}), "OK");
    EXPECT_EQ(probe.run({"SELECT", "3"}), "OK");
    EXPECT_EQ(probe.run({"GET", "where"}), "db3");
}

TEST_F(RedisClientTest, StatusCheckSeesAConnectionTheServerClosed) {
    std::string result, error;
    ASSERT_TRUE(client_.runCommand(&result, error, "SET {1} {2}", {"alive", "1"}));
    EXPECT_TRUE(client_.checkStatus());
    // The server drops every other client; the answer a moment ago must not hide that.
    EXPECT_NE(RedisProbe(port_).run({"CLIENT", "KILL", "TYPE", "normal", "SKIPME", "yes"}), "0");
    for (int i = 0; i < 100 && client_.checkStatus(); ++i)
        usleep(10000);
    EXPECT_FALSE(client_.checkStatus());
    client_.reconnect();
    EXPECT_TRUE(client_.checkStatus());
    ASSERT_TRUE(client_.runCommand(&result, error, "GET alive")) << error;
    EXPECT_EQ(result, "1");
}

TEST(RedisClient, FailuresAreResultsNotHangs) {
    RedisSyncClient client;
    std::string error;
    EXPECT_FALSE(client.checkStatus());
    EXPECT_FALSE(client.runCommand(nullptr, error, "PING"));
    EXPECT_FALSE(error.empty());
    client.reconnect();  // no settings yet: nothing happens

    // Nothing listens on port 1 of loopback.
    error.clear();
    EXPECT_FALSE(client.connect("127.0.0.1", 1, "", 0, 5000, true, error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(client.checkStatus());

    // A reply that does not come within the time-out fails the command; the next status check sees the broken
    // connection and a reconnect repairs it.
    const int port = testing::sharedRedis().port();
    ASSERT_TRUE(client.connect("127.0.0.1", port, "", 0, 300, true, error)) << error;
    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.runCommand(nullptr, error, "BLPOP never-filled 0"));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
    EXPECT_FALSE(client.checkStatus());
    client.reconnect();
    EXPECT_TRUE(client.checkStatus());
}

}  // namespace
}  // namespace kestrum
