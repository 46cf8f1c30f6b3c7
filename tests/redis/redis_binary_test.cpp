// Through the real binary: the Redis route, the UTF-8 envelope on the wire, sub-path matching and the log.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "redis_test_support.h"
#include "support/http_client.h"
#include "support/kestrum_process.h"

namespace kestrum {
namespace {

using testing::gb;

TEST(RedisThroughBinary, SetGetAndUnansweredPaths) {
    const int redisPort = testing::sharedRedis().port();
    testing::RedisProbe probe(redisPort, 1);
    probe.run({"FLUSHALL"});

    testing::RunDir dir;
    dir.installCertificates();
    const int port = testing::freePort();
    dir.write("config.ini", "[sys]\nlocal_ip=127.0.0.1\nwhitelist=127.0.0.1\nport_http=" +
                                std::to_string(port) + "\nport_https=\n");
    dir.write("mod/mysql/config.ini", "[sys]\non=0\n");
    dir.write("mod/crontab/config.ini", "[sys]\non=0\n");
    dir.write("mod/redis/config.ini", "[sys]\nport=" + std::to_string(redisPort) +
                                          "\napi_url=/kv\nmax_answer=2000\n[dbsum]\n0=2\n1=1\n[order]\n"
                                          "deny=flushall, flushdb EVAL client|pause\n");
    testing::KestrumProcess kestrum;
    ASSERT_TRUE(kestrum.start(dir.path()));
    ASSERT_TRUE(kestrum.waitForOutput("http: http://127.0.0.1:" + std::to_string(port))) << kestrum.output();

    const std::string bom = "\xEF\xBB\xBF";
    const std::string chinese = "\xE4\xB8\xAD\xE6\x96\x87\xF0\x9F\x98\x80";  // "中文😀" in UTF-8
    auto set = testing::post("127.0.0.1", port, "/kv/set",
                             "{\"db\":1,\"key\":\"k\",\"value\":\"" + chinese + "\",\"outtime\":60000}");
    ASSERT_TRUE(set);
    EXPECT_EQ(set->status, 200);
    EXPECT_EQ(set->reason, "OK");
    EXPECT_EQ(set->body, bom + R"({"errcode":200,"errmsg":"success."})");
    EXPECT_EQ(probe.run({"GET", "k"}), chinese);

    auto get = testing::post("127.0.0.1", port, "/kv/get?x=1", R"({"db":1,"key":"k"})");
    ASSERT_TRUE(get);
    EXPECT_EQ(get->body, bom + R"({"errcode":200,"errmsg":")" + chinese + "\"}");

    auto denied = testing::post("127.0.0.1", port, "/kv/order", R"({"db":1,"order":"FLUSHDB"})");
    ASSERT_TRUE(denied);
    EXPECT_EQ(denied->body,
              bom + R"({"errcode":100,"errmsg":"command not allowed: FLUSHDB is on the deny list"})");
    EXPECT_EQ(probe.run({"GET", "k"}), chinese);
    const struct {
        const char* order;
        const char* answer;
    } orders[] = {
        {R"(EVAL \"return redis.call('FLUSHDB')\" 0)",
         R"({"errcode":100,"errmsg":"command not allowed: EVAL is on the deny list"})"},
        {"CLIENT PAUSE 5000",
         R"({"errcode":100,"errmsg":"command not allowed: CLIENT PAUSE is on the deny list"})"},
        {"CLIENT GETNAME", R"({"errcode":200,"errmsg":""})"},
    };
    for (const auto& o : orders) {
        auto reply = testing::post("127.0.0.1", port, "/kv/order",
                                   std::string(R"({"db":1,"order":")") + o.order + "\"}");
        ASSERT_TRUE(reply) << o.order;
        EXPECT_EQ(reply->body, bom + o.answer);
    }
    EXPECT_EQ(probe.run({"GET", "k"}), chinese);

    // max_answer=2000: a 3000-byte value is not answered.
    probe.run({"SET", "long", std::string(3000, 'x')});
    auto tooLong = testing::post("127.0.0.1", port, "/kv/get", R"({"db":1,"key":"long"})");
    ASSERT_TRUE(tooLong);
    EXPECT_EQ(tooLong->body,
              bom + R"x({"errcode":100,"errmsg":"answer larger than max_answer (2000 bytes)"})x");

    for (const char* path : {"/kv/get/", "/kv/GET", "/kv/unknown"}) {
        auto none =
            testing::post("127.0.0.1", port, path, R"({"db":1,"key":"k"})", std::chrono::milliseconds(700));
        EXPECT_FALSE(none) << path << " answered " << none->body;
    }

    EXPECT_EQ(kestrum.stop(SIGTERM), 0);
    const std::string log = dir.logText();
    EXPECT_NE(log.find(gb("redis丨set success：db(1),key(k),value(中文😀),outtime(60000).")),
              std::string::npos);
    const std::string getLine = gb("redis丨get success：db(1),key(k).");
    const size_t first = log.find(getLine);
    EXPECT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find(getLine, first + 1), std::string::npos);  // unanswered paths log nothing
}

TEST(RedisThroughBinary, ShutdownAnswersCommandsInFlight) {
    testing::FakeRedis fake;  // HANG and BLPOP are never answered
    testing::RunDir dir;
    dir.installCertificates();
    const int port = testing::freePort();
    dir.write("config.ini", "[sys]\nlocal_ip=127.0.0.1\nwhitelist=127.0.0.1\nport_http=" +
                                std::to_string(port) + "\nport_https=\n");
    dir.write("mod/mysql/config.ini", "[sys]\non=0\n");
    dir.write("mod/crontab/config.ini", "[sys]\non=0\n");
    dir.write("mod/redis/config.ini", "[sys]\nport=" + std::to_string(fake.port()) + "\n[dbsum]\n0=2\n");
    testing::KestrumProcess kestrum;
    ASSERT_TRUE(kestrum.start(dir.path()));
    ASSERT_TRUE(kestrum.waitForOutput("http: http://127.0.0.1:" + std::to_string(port))) << kestrum.output();

    std::vector<std::future<std::optional<testing::HttpReply>>> calls;
    for (const char* order : {"HANG", "HANG", "BLPOP q 0", "GET k"}) {
        calls.push_back(std::async(std::launch::async, [&, order] {
            return testing::post("127.0.0.1", port, "/api/redis/order",
                                 std::string(R"({"order":")") + order + "\"}",
                                 std::chrono::milliseconds(8000));
        }));
    }
    for (int i = 0; i < 200 && fake.commands().size() < 6; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(kestrum.stop(SIGTERM), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
    for (auto& call : calls) {
        // Answered with errcode 100, or the connection closed without an answer: never a hang.
        auto answer = call.get();
        if (answer) {
            EXPECT_NE(answer->body.find(R"("errcode":)"), std::string::npos) << answer->body;
        }
    }
}

}  // namespace
}  // namespace kestrum
