// max_answer: a reply longer than the limit fails with errcode 100 without ever being held, the connection it
// came on goes on serving, and the envelope sent is never longer than the limit.
#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>

#include "http/api_envelope.h"
#include "redis/redis_endpoint.h"
#include "redis_test_support.h"

namespace kestrum {
namespace {

using testing::callEndpoint;
using testing::RedisProbe;
using testing::sharedRedis;

// A field of /proc/self/status in bytes (VmRSS: resident now, VmHWM: the most resident since the last reset).
int64_t statusBytes(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0)
            return std::stoll(line.substr(field.size() + 1)) * 1024;
    }
    return -1;
}

// Sets VmHWM back to the present VmRSS; false where the kernel does not allow it.
bool resetPeak() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return bool(clear);
}

std::string tooLong(size_t limit) {
    return buildEnvelope(100, "answer larger than max_answer (" + std::to_string(limit) + " bytes)");
}

class RedisAnswerLimitTest : public ::testing::Test {
  protected:
    // One connection: every command of a test goes through the same one.
    void open(size_t limit) {
        gateway_.setMaxAnswer(limit);
        gateway_.openSets(*loops_, "127.0.0.1", sharedRedis().port(), "", {"0"}, {"1"}, true);
    }
    void TearDown() override { gateway_.close(); }

    std::optional<std::string> post(const std::string& subPath, const std::string& body) {
        return callEndpoint(gateway_, "/api/redis" + subPath, body);
    }

    RedisProbe probe_{sharedRedis().port()};
    testing::TestLoops loops_;
    RedisGateway gateway_;
};

TEST_F(RedisAnswerLimitTest, AHugeValueIsRefusedWithoutBeingHeld) {
    const size_t limit = 1024 * 1024;
    open(limit);
    probe_.run({"DEL", "answer:big"});
    ASSERT_EQ(probe_.run({"SETRANGE", "answer:big", std::to_string(50 * 1024 * 1024 - 1), "x"}), "52428800");
    EXPECT_EQ(post("/set", R"({"key":"answer:small","value":"fits"})"),
              R"({"errcode":200,"errmsg":"success."})");
    const std::optional<std::string> client = post("/order", R"({"order":"CLIENT ID"})");
    ASSERT_TRUE(client);

    const bool peakKnown = resetPeak();
    const int64_t before = statusBytes("VmRSS");
    EXPECT_EQ(post("/get", R"({"key":"answer:big"})"), tooLong(limit));
    EXPECT_EQ(post("/order", R"({"order":"GETRANGE answer:big 0 -1"})"), tooLong(limit));
    const int64_t after = statusBytes("VmRSS");
    const int64_t peak = statusBytes("VmHWM");
    std::printf("two refused 50 MB answers: RSS %lld -> %lld kB, peak %lld kB%s\n", (long long)before / 1024,
                (long long)after / 1024, (long long)peak / 1024, peakKnown ? "" : " (peak not reset)");
    // Held, one 50 MB value would show at least its size; the margin covers a sanitizer's own stacks.
    EXPECT_LT(after - before, 20 * 1024 * 1024);
    if (peakKnown) {
        EXPECT_LT(peak - before, 24 * 1024 * 1024);
    }

    // The value was read off the connection and dropped: the same connection answers what follows.
    EXPECT_EQ(post("/get", R"({"key":"answer:small"})"), R"({"errcode":200,"errmsg":"fits"})");
    EXPECT_EQ(post("/order", R"({"order":"CLIENT ID"})"), client);
    probe_.run({"DEL", "answer:big"});
}

TEST_F(RedisAnswerLimitTest, ArraysAndPipelinedNeighboursKeepTheirPlace) {
    const size_t limit = 4096;
    open(limit);
    probe_.run({"DEL", "answer:list"});
    for (int i = 0; i < 400; ++i)
        probe_.run({"RPUSH", "answer:list", "element-" + std::to_string(i)});

    EXPECT_EQ(
        post("/order", R"({"order":"LRANGE answer:list 0 9"})"),
        buildEnvelope(200, R"(["element-0","element-1","element-2","element-3","element-4","element-5",)"
                           R"("element-6","element-7","element-8","element-9"])"));
    EXPECT_EQ(post("/order", R"({"order":"LRANGE answer:list 0 -1"})"), tooLong(limit));
    // Nested arrays cut in the middle.
    EXPECT_EQ(
        post(
            "/order",
            R"({"order":"EVAL \"local r = {} for i = 1, 300 do r[i] = {i, 'abcdefghij'} end return r\" 0"})"),
        tooLong(limit));

    // Many at once on the one connection: each gets its own answer.
    std::mutex mutex;
    std::condition_variable changed;
    int answered = 0;
    int wrong = 0;
    for (int i = 0; i < 60; ++i) {
        const bool big = i % 3 == 0;
        const std::string order = big ? "LRANGE answer:list 0 -1" : "LINDEX answer:list " + std::to_string(i);
        const std::string expected =
            big ? tooLong(limit) : buildEnvelope(200, "element-" + std::to_string(i));
        loops_->post(i % 2, [&, order, expected] {
            RequestContext request;
            request.path = "/api/redis/order";
            request.body = R"({"order":")" + order + "\"}";
            handleRedisRequest(gateway_, std::move(request),
                               [&, expected](std::optional<std::string> answer) {
                                   std::lock_guard lock(mutex);
                                   ++answered;
                                   if (testing::envelopeText(answer) != expected)
                                       ++wrong;
                                   changed.notify_all();
                               });
        });
    }
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(30), [&] { return answered == 60; }));
    EXPECT_EQ(wrong, 0);
    lock.unlock();
    gateway_.close();
    probe_.run({"DEL", "answer:list"});
}

// The limit is on the envelope sent (a byte-order mark and UTF-8): exactly the limit is answered, one byte
// more is not, and a value that fits on the wire but grows when escaped is refused too.
TEST_F(RedisAnswerLimitTest, TheLimitIsTheBodySent) {
    const std::string value(500, 'a');
    const size_t exact = 3 + buildEnvelope(200, value).size();
    {
        RedisGateway fits;
        fits.setMaxAnswer(exact);
        fits.openSets(*loops_, "127.0.0.1", sharedRedis().port(), "", {"0"}, {"1"}, true);
        probe_.run({"SET", "answer:exact", value});
        EXPECT_EQ(callEndpoint(fits, "/api/redis/get", R"({"key":"answer:exact"})"),
                  buildEnvelope(200, value));
        fits.close();
    }
    open(exact - 1);
    EXPECT_EQ(post("/get", R"({"key":"answer:exact"})"), tooLong(exact - 1));

    // 400 quotes: 400 bytes from Redis, 800 escaped.
    probe_.run({"SET", "answer:quotes", std::string(400, '"')});
    EXPECT_EQ(post("/get", R"({"key":"answer:quotes"})"), tooLong(exact - 1));
    probe_.run({"DEL", "answer:exact", "answer:quotes"});
}

}  // namespace
}  // namespace kestrum
