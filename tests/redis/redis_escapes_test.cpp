// Request bodies as the common client libraries write them, through /set and /get: what Redis holds and what
// comes back must be the characters meant, and every answer must be JSON a strict parser accepts.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "redis/redis_endpoint.h"
#include "redis_test_support.h"
#include "util/encoding.h"

namespace kestrum {
namespace {

using testing::RedisProbe;
using testing::sharedRedis;

class RedisEscapesTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        loops_ = new testing::TestLoops();
        gateway_ = new RedisGateway();
        gateway_->openSets(**loops_, "127.0.0.1", sharedRedis().port(), "", {"0"}, {"1"}, true);
    }
    static void TearDownTestSuite() {
        gateway_->close();
        (*loops_)->stop();
        delete gateway_;
        delete loops_;
        gateway_ = nullptr;
        loops_ = nullptr;
    }
    void SetUp() override { RedisProbe(sharedRedis().port()).run({"FLUSHALL"}); }

    // Posts a UTF-8 body and reads the answer (sent as UTF-8) with a strict JSON parser.
    static nlohmann::json post(const std::string& subPath, const std::string& body) {
        std::optional<std::string> envelope = testing::callEndpoint(*gateway_, "/api/redis" + subPath, body);
        if (!envelope)
            return nullptr;
        nlohmann::json answer = nlohmann::json::parse(gbkToUtf8(*envelope), nullptr, false);
        EXPECT_FALSE(answer.is_discarded()) << "not JSON: " << *envelope;
        return answer;
    }

    static testing::TestLoops* loops_;
    static RedisGateway* gateway_;
};

testing::TestLoops* RedisEscapesTest::loops_ = nullptr;
RedisGateway* RedisEscapesTest::gateway_ = nullptr;

TEST_F(RedisEscapesTest, ValuesAndKeysAsClientLibrariesEscapeThem) {
    struct Case {
        const char* name;
        std::string key;      // as written in the body
        std::string value;    // as written in the body
        std::string heldKey;  // UTF-8 bytes of the key in Redis
        std::string held;     // UTF-8 bytes of the value in Redis
    };
    const std::string replacement = "\xEF\xBF\xBD";  // U+FFFD
    const std::vector<Case> cases = {
        {"python, every non-ASCII character", R"(k\u4e2d)", R"(\u4e2d\u6587)", "k\xE4\xB8\xAD",
         "\xE4\xB8\xAD\xE6\x96\x87"},
        {"php, latin and an escaped slash", "php", R"(caf\u00e9 a\/b)", "php", "caf\xC3\xA9 a/b"},
        {"go, html characters", R"(a\u003cb)", R"(a \u003c 5 \u0026\u0026 b \u003e 1)", "a<b",
         "a < 5 && b > 1"},
        {"surrogate pair, lower case", "emoji", R"(\ud83d\ude00)", "emoji", "\xF0\x9F\x98\x80"},
        {"surrogate pair, upper case", R"(\uD83D\uDE00)", "x", "\xF0\x9F\x98\x80", "x"},
        {"lone surrogates", "lone", R"(a\ud800b\udfffc\uD83D)", "lone",
         "a" + replacement + "b" + replacement + "c" + replacement},
        {"raw UTF-8 unchanged", "raw", "\xE4\xB8\xAD\xF0\x9F\x98\x80", "raw", "\xE4\xB8\xAD\xF0\x9F\x98\x80"},
        {"control characters", "bell", R"(ding\u0007\t\u001b)", "bell", "ding\x07\t\x1b"},
        {"not an escape", "bad", R"(\u12G4)", "bad", "\\u12G4"},
    };
    RedisProbe probe(sharedRedis().port());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        nlohmann::json set =
            post("/set", R"({"db":0,"key":")" + c.key + R"(","value":")" + c.value + R"("})");
        EXPECT_EQ(set["errcode"], 200) << set.dump();
        EXPECT_EQ(probe.run({"GET", c.heldKey}), c.held);

        nlohmann::json got = post("/get", R"({"db":0,"key":")" + c.key + R"("})");
        EXPECT_EQ(got["errcode"], 200) << got.dump();
        EXPECT_EQ(got["errmsg"], c.held);
    }
}

TEST_F(RedisEscapesTest, EveryByteOfAValueComesBack) {
    using namespace std::string_literals;
    const std::string replacement = "\xEF\xBF\xBD";  // U+FFFD
    RedisProbe probe(sharedRedis().port());

    // Written by a caller with an escaped NUL: Redis holds every byte, /get answers every byte.
    nlohmann::json set = post("/set", R"({"db":0,"key":"nul","value":"abc\u0000def\u0000"})");
    EXPECT_EQ(set["errcode"], 200) << set.dump();
    EXPECT_EQ(probe.run({"GET", "nul"}), "abc\0def\0"s);
    nlohmann::json got = post("/get", R"({"db":0,"key":"nul"})");
    EXPECT_EQ(got["errmsg"], "abc\0def\0"s) << got.dump();

    // Written into Redis directly (as redis-cli or another program would): the same through /get and /order,
    // NUL as itself, bytes that are no UTF-8 as U+FFFD.
    struct Case {
        const char* name;
        std::string held;
        std::string answered;
    };
    const std::vector<Case> cases = {
        {"NUL inside", "abc\0def"s, "abc\0def"s},
        {"NUL first and last", "\0x\0"s, "\0x\0"s},
        {"only NULs", "\0\0\0"s, "\0\0\0"s},
        {"NUL between multi-byte characters", "\xE4\xB8\xAD\0\xE6\x96\x87"s, "\xE4\xB8\xAD\0\xE6\x96\x87"s},
        {"invalid UTF-8 around a NUL", "\xFF\0\xC3"s, replacement + "\0"s + replacement},
        {"control characters", "\x01\x1f\x7f"s, "\x01\x1f\x7f"s},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(probe.run({"SET", "raw", c.held}), "OK");
        nlohmann::json read = post("/get", R"({"db":0,"key":"raw"})");
        EXPECT_EQ(read["errcode"], 200) << read.dump();
        EXPECT_EQ(read["errmsg"], c.answered) << read.dump();
        nlohmann::json order = post("/order", R"({"db":0,"order":"GET raw"})");
        EXPECT_EQ(order["errmsg"], c.answered) << order.dump();
    }

    // A NUL inside a caller's own command line is an argument byte like any other.
    nlohmann::json ordered = post("/order", R"({"db":0,"order":"SET ordered \"x\u0000y\""})");
    EXPECT_EQ(ordered["errcode"], 200) << ordered.dump();
    EXPECT_EQ(probe.run({"GET", "ordered"}), "x\0y"s);

    // Inside an array reply, each element whole.
    probe.run({"DEL", "list"});
    probe.run({"RPUSH", "list", "a\0b"s, "\0"s});
    nlohmann::json range = post("/order", R"({"db":0,"order":"LRANGE list 0 -1"})");
    ASSERT_EQ(range["errcode"], 200) << range.dump();
    nlohmann::json elements = nlohmann::json::parse(range["errmsg"].get<std::string>(), nullptr, false);
    EXPECT_EQ(elements, nlohmann::json::array({"a\0b"s, "\0"s})) << range.dump();
}

}  // namespace
}  // namespace kestrum
