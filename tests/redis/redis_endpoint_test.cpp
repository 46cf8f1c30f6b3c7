// handleRedisRequest in process: envelopes, what lands in Redis, and the log lines.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>

#include "http/api_envelope.h"
#include "log/log_writer.h"
#include "redis/redis_endpoint.h"
#include "redis_test_support.h"
#include "util/encoding.h"

namespace kestrum {
namespace {

using testing::RedisProbe;
using testing::sharedRedis;

class RedisEndpointTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        loops_ = new testing::TestLoops();
        gateway_ = new RedisGateway();
        gateway_->openSets(**loops_, "127.0.0.1", sharedRedis().port(), "", {"0", "1"}, {"2", "1"}, true);
    }
    static void TearDownTestSuite() {
        gateway_->close();
        (*loops_)->stop();
        delete gateway_;
        delete loops_;
        gateway_ = nullptr;
        loops_ = nullptr;
    }

    void SetUp() override {
        LogWriter::OpenOptions options;
        options.runDir = logDir_.path();
        options.lineTemplate = "[type]|[content]";
        log_.open(options);
        ASSERT_TRUE(log_.isOpen());
        bindProcessLog(&log_, false);
        RedisProbe(sharedRedis().port()).run({"FLUSHALL"});
    }
    void TearDown() override {
        unbindProcessLog();
        log_.close();
    }

    // Posts a UTF-8 body to prefix + subPath.
    std::optional<std::string> post(const std::string& subPath, const std::string& body) {
        return testing::callEndpoint(*gateway_, "/api/redis" + subPath, body);
    }
    std::string logText() {
        log_.flush();
        return testing::readFile(log_.filePath());
    }

    RedisProbe probe(int db = 0) { return RedisProbe(sharedRedis().port(), db); }

    static testing::TestLoops* loops_;
    static RedisGateway* gateway_;
    testing::TempDir logDir_;
    LogWriter log_;
};

testing::TestLoops* RedisEndpointTest::loops_ = nullptr;
RedisGateway* RedisEndpointTest::gateway_ = nullptr;

const std::string kColon = "\xA3\xBA";  // full-width colon, internal encoding
const std::string kOk = R"({"errcode":200,"errmsg":"success."})";

TEST_F(RedisEndpointTest, SetStoresValuesAndExpiries) {
    EXPECT_EQ(post("/set", R"({"db":0,"key":"k","value":"v","outtime":60000})"), kOk);
    int64_t left = std::stoll(probe().run({"PTTL", "k"}));
    EXPECT_GT(left, 55000);
    EXPECT_LE(left, 60000);
    EXPECT_EQ(post("/set", R"({"key":"k","value":"v2"})"), kOk);  // db missing -> 0, no outtime -> TTL gone
    EXPECT_EQ(probe().run({"PTTL", "k"}), "-1");
    EXPECT_EQ(probe().run({"GET", "k"}), "v2");

    const int64_t at = int64_t(std::time(nullptr)) * 1000 + 90000;
    EXPECT_EQ(post("/set", R"({"key":"at","value":1,"outtime":)" + std::to_string(at) + "}"), kOk);
    left = std::stoll(probe().run({"PTTL", "at"}));
    EXPECT_GT(left, 80000);
    EXPECT_LE(left, 91000);

    const std::string log = logText();
    EXPECT_NE(log.find("redis|set success" + kColon + "db(0),key(k),value(v),outtime(60000)."),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("redis|set success" + kColon + "db(0),key(k),value(v2),outtime(0)."),
              std::string::npos);
}

TEST_F(RedisEndpointTest, ValueAndDbAreReadAsTheJsonSays) {
    struct Case {
        const char* body;
        int db;
        const char* key;
        const char* stored;
    };
    const Case cases[] = {
        {R"({"key":"n","value":12.50})", 0, "n", "12.5"},
        {R"({"key":"s","value":"12.50"})", 0, "s", "12.50"},
        {R"({"key":"t","value":true})", 0, "t", "1"},
        {R"({"db":1.0,"key":"f","value":"x"})", 0, "f", "x"},
        {R"({"db":"1","key":"d1","value":"x"})", 1, "d1", "x"},
        {R"({"key":"q","value":"a \"b\" 'c' \\ {1} ``x``  end"})", 0, "q", "a \"b\" 'c' \\ {1} ``x``  end"},
        {"{\"key\":\"\xE4\xB8\xAD\xE6\x96\x87\",\"value\":\"\xE4\xBD\xA0\xE5\xA5\xBD\xF0\x9F\x98\x80\"}", 0,
         "\xE4\xB8\xAD\xE6\x96\x87", "\xE4\xBD\xA0\xE5\xA5\xBD\xF0\x9F\x98\x80"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(post("/set", c.body), kOk) << c.body;
        EXPECT_EQ(probe(c.db).run({"GET", c.key}), c.stored) << c.body;
    }
    EXPECT_EQ(probe(1).run({"EXISTS", "f"}), "0");

    // Chinese and emoji come back from /get as they went in.
    const std::string value = utf8ToGbk("\xE4\xBD\xA0\xE5\xA5\xBD\xF0\x9F\x98\x80");
    EXPECT_EQ(post("/get", "{\"key\":\"\xE4\xB8\xAD\xE6\x96\x87\"}"), buildEnvelope(200, value));
}

TEST_F(RedisEndpointTest, GetAndOrderAnswerInErrmsg) {
    probe().run({"SET", "g", "hello world"});
    probe().run({"HSET", "h", "f", "v"});
    struct Case {
        const char* subPath;
        const char* body;
        std::string envelope;
    };
    const Case cases[] = {
        {"/get", R"({"key":"g"})", R"({"errcode":200,"errmsg":"hello world"})"},
        {"/get", R"({"key":"missing"})", R"({"errcode":200,"errmsg":""})"},
        {"/order", R"({"order":"INCR c"})", R"({"errcode":200,"errmsg":"1"})"},
        {"/order", R"({"order":"INCR c"})", R"({"errcode":200,"errmsg":"2"})"},
        {"/order", R"({"order":"HGETALL h"})", buildEnvelope(200, R"(["f","v"])")},
        {"/order", R"({"order":"SET \"two words\" 'x y'"})", R"({"errcode":200,"errmsg":"OK"})"},
        {"/order", R"({"order":"SET {1} braces"})", R"({"errcode":200,"errmsg":"OK"})"},
        {"/order", R"({"order":"GET \"\""})", R"({"errcode":200,"errmsg":"braces"})"},
        {"/order", "not json at all", R"({"errcode":100,"errmsg":"empty command"})"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(post(c.subPath, c.body), c.envelope) << c.subPath << " " << c.body;
    EXPECT_EQ(probe().run({"GET", "two words"}), "x y");

    const std::string log = logText();
    EXPECT_NE(log.find("redis|get success" + kColon + "db(0),key(g)."), std::string::npos) << log;
    EXPECT_EQ(log.find("hello world"), std::string::npos);  // the value read is not logged
    EXPECT_NE(log.find("redis|do order success" + kColon + "db(0),order(INCR c)."), std::string::npos);
}

TEST_F(RedisEndpointTest, FailuresCarryRedisErrorOrNothing) {
    auto reply = post("/order", R"({"order":"NOSUCH x"})");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->rfind(R"({"errcode":100,"errmsg":"ERR unknown command 'NOSUCH')", 0), 0u) << *reply;

    // A database without a set: 100 with an empty message, at once.
    auto started = std::chrono::steady_clock::now();
    const std::string empty = R"({"errcode":100,"errmsg":""})";
    EXPECT_EQ(post("/set", R"({"db":7,"key":"k","value":"v"})"), empty);
    EXPECT_EQ(post("/get", R"({"db":7,"key":"k"})"), empty);
    EXPECT_EQ(post("/order", R"({"db":7,"order":"PING"})"), empty);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1000));

    const std::string log = logText();
    EXPECT_NE(log.find("redis|do order fail" + kColon + "db(0),order(NOSUCH x),error(ERR unknown command"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("redis|set fail" + kColon + "db(7),key(k),value(v),outtime(0),error()."),
              std::string::npos);
    EXPECT_NE(log.find("redis|get fail" + kColon + "db(7),key(k),error()."), std::string::npos);
    EXPECT_NE(log.find("redis|do order fail" + kColon + "db(7),order(PING),error()."), std::string::npos);
}

// One command: an outtime Redis refuses fails the write as a whole, the old value and its expiry stay.
TEST_F(RedisEndpointTest, SetWithAnOuttimeRedisRefusesChangesNothing) {
    probe().run({"SET", "k", "old", "PX", "100000"});
    for (const char* outtime : {"1e30", "9223372036854775807"}) {
        auto reply = post("/set", std::string(R"({"key":"k","value":"new","outtime":)") + outtime + "}");
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->rfind(R"({"errcode":100,"errmsg":"ERR invalid expire time)", 0), 0u) << *reply;
        EXPECT_EQ(probe().run({"GET", "k"}), "old");
        EXPECT_GT(std::stoll(probe().run({"PTTL", "k"})), 90000);
    }
    EXPECT_NE(logText().find("redis|set fail" + kColon +
                             "db(0),key(k),value(new),outtime(9223372036854775807),"
                             "error(ERR invalid expire time"),
              std::string::npos)
        << logText();
}

// A /set or /get without a key (a body that is no JSON reads as one without members) fails and sends
// nothing, whatever the database.
TEST_F(RedisEndpointTest, SetAndGetWithoutAKeySendNothing) {
    testing::FakeRedis fake;
    RedisGateway gateway;
    gateway.openSets(**loops_, "127.0.0.1", fake.port(), "", {"0"}, {"1"}, true);
    const std::string missing = R"({"errcode":100,"errmsg":"key missing"})";
    const struct {
        const char* subPath;
        const char* body;
    } cases[] = {
        {"/set", "garbage"},
        {"/set", R"({"key":"k","value":"v")"},
        {"/set", R"({"value":"v"})"},
        {"/set", R"({"key":"","value":"v"})"},
        {"/set", R"({"key":{},"value":"v"})"},
        {"/set", R"({"db":7,"value":"v"})"},
        {"/set", ""},
        {"/get", "garbage"},
        {"/get", "{}"},
        {"/get", R"({"key":""})"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(testing::callEndpoint(gateway, std::string("/api/redis") + c.subPath, c.body), missing)
            << c.subPath << " " << c.body;
    EXPECT_EQ(fake.commands(), std::vector<std::string>{"PING"});  // the connection's opening only
    gateway.close();

    const std::string log = logText();
    EXPECT_NE(log.find("redis|set fail" + kColon + "db(0),key(),value(),outtime(0),error(key missing)."),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("redis|set fail" + kColon + "db(7),key(),value(v),outtime(0),error(key missing)."),
              std::string::npos);
    EXPECT_NE(log.find("redis|get fail" + kColon + "db(0),key(),error(key missing)."), std::string::npos);
}

TEST_F(RedisEndpointTest, OnlyTheThreeExactSubPathsAnswer) {
    for (const char* path : {"/api/redis/get/", "/api/redis/GET", "/api/redis", "/api/redis/",
                             "/api/redisx/get", "/api/redis/get/x", "/api/redis/setx", "/other/get", ""}) {
        EXPECT_FALSE(testing::callEndpoint(*gateway_, path, R"({"key":"k","value":"v"})")) << path;
    }
    EXPECT_EQ(probe().run({"EXISTS", "k"}), "0");
    EXPECT_EQ(logText().find("redis|"), std::string::npos);
}

}  // namespace
}  // namespace kestrum
