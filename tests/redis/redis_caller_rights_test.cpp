// What a caller may send through the Redis endpoint: its commands and, by the server's own command table,
// every key they touch. Refusals send nothing to Redis.
#include <gtest/gtest.h>

#include "http/callers.h"
#include "log/log_writer.h"
#include "redis/command_keys.h"
#include "redis/redis_endpoint.h"
#include "redis_test_support.h"
#include "util/ini.h"

namespace kestrum {
namespace {

using testing::RedisProbe;
using testing::sharedRedis;

class RedisCallerRightsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        loops_ = new testing::TestLoops();
        gateway_ = new RedisGateway();
        gateway_->openSets(**loops_, "127.0.0.1", sharedRedis().port(), "", {"0"}, {"1"}, true);
        auto table = std::make_shared<RedisKeyTable>();
        ASSERT_TRUE(fetchRedisKeyTable("127.0.0.1", sharedRedis().port(), "", 5000, *table));
        gateway_->setKeyTable(std::move(table));
        CallerRules::LoadResult loaded =
            CallerRules::parse(IniFile::parse("[cache]\n"
                                              "allow=redis.get, redis.set, redis.order\n"
                                              "redis_commands=GET, SET, MSET, RENAME, "
                                              "EVAL, CLIENT|INFO\n"
                                              "redis_keys=cache:*\n"
                                              "[admin]\n"
                                              "allow=redis.order\n"
                                              "redis_commands=*\n"),
                               "127.0.0.1");
        ASSERT_EQ(loaded.status, CallerRules::LoadStatus::kLoaded);
        rules_ = new std::shared_ptr<const CallerRules>(loaded.rules);
    }
    static void TearDownTestSuite() {
        gateway_->close();
        (*loops_)->stop();
        delete gateway_;
        delete loops_;
        delete rules_;
    }
    void SetUp() override {
        LogWriter::OpenOptions options;
        options.runDir = logDir_.path();
        options.lineTemplate = "[type]|[content]";
        log_.open(options);
        bindProcessLog(&log_, false);
        RedisProbe(sharedRedis().port()).run({"FLUSHALL"});
    }
    void TearDown() override {
        unbindProcessLog();
        log_.close();
    }

    static std::optional<std::string> post(const std::string& caller, const std::string& subPath,
                                           const std::string& body) {
        return testing::callEndpoint(*gateway_, "/api/redis" + subPath, body, (*rules_)->findByName(caller));
    }

    static testing::TestLoops* loops_;
    static RedisGateway* gateway_;
    static std::shared_ptr<const CallerRules>* rules_;
    testing::TempDir logDir_;
    LogWriter log_;
};

testing::TestLoops* RedisCallerRightsTest::loops_ = nullptr;
RedisGateway* RedisCallerRightsTest::gateway_ = nullptr;
std::shared_ptr<const CallerRules>* RedisCallerRightsTest::rules_ = nullptr;

std::string refused(const std::string& what) {
    return R"({"errcode":403,"errmsg":"not allowed: )" + what + R"("})";
}

TEST_F(RedisCallerRightsTest, CommandsAndKeys) {
    struct Case {
        const char* caller;
        const char* subPath;
        std::string body;
        std::string answer;  // empty: allowed (errcode 200)
    };
    const Case cases[] = {
        {"cache", "/set", R"({"key":"cache:1","value":"v"})", ""},
        {"cache", "/get", R"({"key":"cache:1"})", ""},
        {"cache", "/set", R"({"key":"other:1","value":"v"})", refused("redis key other:1")},
        {"cache", "/get", R"({"key":"other:1"})", refused("redis key other:1")},
        {"cache", "/order", R"({"order":"GET cache:1"})", ""},
        {"cache", "/order", R"({"order":"flushall"})", refused("redis command FLUSHALL")},
        {"cache", "/order", R"({"order":"DEL cache:1"})", refused("redis command DEL")},
        {"cache", "/order", R"({"order":"MSET cache:a x cache:b y"})", ""},
        {"cache", "/order", R"({"order":"MSET cache:a x other:1 y"})", refused("redis key other:1")},
        {"cache", "/order", R"({"order":"RENAME cache:a other:2"})", refused("redis key other:2")},
        {"cache", "/order", R"({"order":"RENAME cache:a cache:c"})", ""},
        {"cache", "/order", R"({"order":"CLIENT INFO"})", ""},
        {"cache", "/order", R"({"order":"CLIENT KILL ID 1"})", refused("redis command CLIENT")},
        // Keys of EVAL cannot be told from the command table: refused while the patterns restrict keys.
        {"cache", "/order", R"({"order":"EVAL \"return 1\" 1 cache:a"})", refused("redis command EVAL")},
        {"admin", "/order", R"({"order":"EVAL \"return 1\" 1 other:a"})", ""},
        {"admin", "/order", R"({"order":"DEL other:1"})", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        std::optional<std::string> answer = post(c.caller, c.subPath, c.body);
        ASSERT_TRUE(answer);
        if (c.answer.empty()) {
            EXPECT_TRUE(answer->starts_with(R"({"errcode":200,)")) << *answer;
        } else {
            EXPECT_EQ(*answer, c.answer);
        }
    }
    // Refused commands never reached Redis.
    RedisProbe probe(sharedRedis().port());
    EXPECT_EQ(probe.run({"EXISTS", "other:1"}), "0");
    EXPECT_EQ(probe.run({"EXISTS", "other:2"}), "0");
    EXPECT_EQ(probe.run({"GET", "cache:c"}), "x");
    log_.flush();
    const std::string log = testing::readFile(log_.filePath());
    EXPECT_NE(log.find("error(not allowed: redis key other:1),caller(cache)."), std::string::npos);
}

}  // namespace
}  // namespace kestrum
