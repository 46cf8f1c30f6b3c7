// Connection sets and the gateway: configuration, lending, expiry commands, failures and repair.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "redis/redis_gateway.h"
#include "redis_test_support.h"

namespace kestrum {
namespace {

using testing::RedisProbe;
using testing::sharedRedis;
using Clock = std::chrono::steady_clock;

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int64_t pttl(RedisProbe& probe, const std::string& key) {
    return std::stoll(probe.run({"PTTL", key}));
}

TEST(RedisConfig, DefaultsAndEmptyValues) {
    testing::TempDir dir;
    RedisConfig missing = loadRedisConfig(dir.path());
    EXPECT_EQ(missing.on, "1");
    EXPECT_EQ(missing.apiUrl, "/api/redis");
    EXPECT_EQ(missing.host, "127.0.0.1");
    EXPECT_EQ(missing.port, 6379);
    EXPECT_EQ(missing.password, "");
    EXPECT_TRUE(missing.isUnicode);
    EXPECT_TRUE(missing.dbKeys.empty());
    EXPECT_EQ(missing.maxAnswer, 64u * 1024 * 1024);

    dir.write("mod/redis/config.ini",
              "[sys]\non=0\nip=\nport=abc\npassword=pw\nisUnicode=\napi_url=/r\n"
              "[dbsum]\n2=3\n0 = 1\n7\nx=y\n");
    RedisConfig config = loadRedisConfig(dir.path());
    EXPECT_EQ(config.on, "0");
    EXPECT_EQ(config.apiUrl, "/r");
    EXPECT_EQ(config.host, "127.0.0.1");
    EXPECT_EQ(config.port, 6379);
    EXPECT_EQ(config.password, "pw");
    EXPECT_FALSE(config.isUnicode);
    EXPECT_EQ(config.dbKeys, (std::vector<std::string>{"2", "0", "", "x"}));
    EXPECT_EQ(config.dbCounts, (std::vector<std::string>{"3", "1", "7", "y"}));
    EXPECT_EQ(config.deny, "");

    EXPECT_EQ(config.maxAnswer, 64u * 1024 * 1024);

    dir.write("mod/redis/config.ini", "[order]\ndeny = flushall, CONFIG  keys\n");
    EXPECT_EQ(loadRedisConfig(dir.path()).deny, "flushall, CONFIG  keys");

    // max_answer: a number of bytes; empty, 0 or no number keep the default.
    for (const auto& [text, bytes] :
         std::vector<std::pair<std::string, size_t>>{{"1048576", 1048576},
                                                     {"1", 1},
                                                     {"", 64 * 1024 * 1024},
                                                     {"0", 64 * 1024 * 1024},
                                                     {"-5", 64 * 1024 * 1024},
                                                     {"lots", 64 * 1024 * 1024}}) {
        dir.write("mod/redis/config.ini", "[sys]\nmax_answer=" + text + "\n");
        EXPECT_EQ(loadRedisConfig(dir.path()).maxAnswer, bytes) << text;
    }
}

TEST(RedisGateway, OpensOneSetPerLineInFileOrder) {
    testing::TempDir dir;
    dir.write("mod/redis/config.ini", "[sys]\nport=" + std::to_string(sharedRedis().port()) +
                                          "\napi_url=/x/redis\n[dbsum]\n2=2\n0=1\n5=0\n");
    testing::TestLoops loops;
    RedisGateway gateway;
    EXPECT_EQ(gateway.openSets(dir.path(), *loops), "/x/redis");
    EXPECT_EQ(gateway.apiUrl(), "/x/redis");
    ASSERT_EQ(gateway.databases().size(), 3u);
    const int32_t expected[3][3] = {{2, 1, 2}, {0, 2, 1}, {5, 3, 0}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(gateway.databases()[i].db, expected[i][0]);
        EXPECT_EQ(gateway.databases()[i].position, expected[i][1]);
        EXPECT_EQ(gateway.databases()[i].connected, expected[i][2]);
    }

    std::string error = "untouched", result;
    ASSERT_TRUE(gateway.setValue(2, "in-two", "2", 0, error)) << error;
    EXPECT_EQ(RedisProbe(sharedRedis().port(), 2).run({"GET", "in-two"}), "2");

    // A database without a line fails at once and leaves the error text alone.
    auto started = Clock::now();
    EXPECT_FALSE(gateway.getValue(1, "k", result, error));
    EXPECT_FALSE(gateway.runOrder(1, "PING", result, error));
    EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(500));  // nothing was tried
    EXPECT_EQ(error, "untouched");

    // A set without connections says so at once.
    started = Clock::now();
    EXPECT_FALSE(gateway.getValue(5, "k", result, error));
    EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(500));
    EXPECT_EQ(error, "no usable connection to redis for db(5)");
}

TEST(RedisGateway, FailedConnectsAreDroppedAndSurvivorsRenumbered) {
    testing::FakeRedis fake({2, 3});  // the second and third connection are closed at once
    testing::TestLoops loops;
    RedisClientSet set(*loops);
    ASSERT_EQ(set.connectAll(5, "", fake.port(), "", 3, true), 3);
    EXPECT_EQ(set.host(), "127.0.0.1");
    EXPECT_EQ(set.clientCount(), 3);
    // The fake answers GET with its connection number: only the survivors answer.
    std::set<std::string> seen;
    for (int i = 0; i < 12; ++i) {
        RedisOutcome outcome = testing::awaitOutcome([&](RedisHandler done) { set.getKey("k", done); });
        ASSERT_TRUE(outcome.ok) << outcome.text;
        seen.insert(outcome.text);
    }
    for (const std::string& number : seen)
        EXPECT_TRUE(number == "1" || number == "4" || number == "5") << number;
    set.close("test over");
}

TEST(RedisGateway, OnlyTheFirstLineOfADatabaseReceivesRequests) {
    testing::FakeRedis fake;
    testing::TestLoops loops;
    RedisGateway gateway;
    gateway.openSets(*loops, "127.0.0.1", fake.port(), "", {"3", "3"}, {"1", "1"}, true);
    ASSERT_EQ(gateway.databases().size(), 2u);
    EXPECT_EQ(gateway.databases()[1].connected, 1);
    std::string result, error;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(gateway.getValue(3, "k", result, error)) << error;
        EXPECT_EQ(result, "1");
    }
}

TEST(RedisGateway, ExpiryCommands) {
    const int port = sharedRedis().port();
    testing::TestLoops loops;
    RedisGateway gateway;
    gateway.openSets(*loops, "127.0.0.1", port, "", {"0"}, {"2"}, true);
    RedisProbe probe(port);
    std::string error;

    ASSERT_TRUE(gateway.setValue(0, "ttl", "v", 60000, error)) << error;
    int64_t left = pttl(probe, "ttl");
    EXPECT_GT(left, 55000);
    EXPECT_LE(left, 60000);

    // No expiry: SET drops the earlier one and nothing else is sent.
    ASSERT_TRUE(gateway.setValue(0, "ttl", "v", 0, error)) << error;
    EXPECT_EQ(pttl(probe, "ttl"), -1);
    ASSERT_TRUE(gateway.setValue(0, "ttl", "v", -5, error)) << error;
    EXPECT_EQ(pttl(probe, "ttl"), -1);

    // Thirteen digits: an absolute time in ms (as a duration it would be some fifty years).
    ASSERT_TRUE(gateway.setValue(0, "at", "v", nowMs() + 120000, error)) << error;
    left = pttl(probe, "at");
    EXPECT_GT(left, 110000);
    EXPECT_LE(left, 120000);

    // Twelve digits are a duration.
    ASSERT_TRUE(gateway.setValue(0, "long", "v", 999999999999, error)) << error;
    EXPECT_GT(pttl(probe, "long"), 999999000000);

    // An expiry Redis refuses is reported, and nothing is written: value and expiry go in one command. (The
    // escapes test stores a key of this name in the same database.)
    probe.run({"DEL", "bad"});
    error.clear();
    EXPECT_FALSE(gateway.setValue(0, "expiry:refused", "v", INT64_MAX, error));
    EXPECT_NE(error.find("invalid expire time"), std::string::npos) << error;
    EXPECT_EQ(probe.run({"EXISTS", "expiry:refused"}), "0");
    error.clear();
    EXPECT_FALSE(gateway.setValue(0, "ttl", "overwritten?", INT64_MAX, error));
    EXPECT_EQ(probe.run({"GET", "ttl"}), "v");
}

TEST(RedisGateway, NextLendingRepairsAConnectionAfterARestart) {
    testing::RedisServer server;
    ASSERT_TRUE(server.start()) << server.error();
    testing::TestLoops loops;
    RedisGateway gateway;
    gateway.openSets(*loops, "127.0.0.1", server.port(), "", {"1"}, {"1"}, true);
    std::string error, result;
    ASSERT_TRUE(gateway.setValue(1, "k", "before", 0, error)) << error;

    ASSERT_TRUE(server.killServer());
    error.clear();
    EXPECT_FALSE(gateway.getValue(1, "k", result, error));  // nobody to talk to: a failure with a reason
    EXPECT_FALSE(error.empty());

    ASSERT_TRUE(server.startServer()) << server.error();
    ASSERT_TRUE(gateway.setValue(1, "k", "after", 0, error)) << error;
    ASSERT_TRUE(gateway.getValue(1, "k", result, error)) << error;
    EXPECT_EQ(result, "after");
    EXPECT_EQ(RedisProbe(server.port(), 1).run({"GET", "k"}), "after");  // the database was selected again
}

TEST(RedisGateway, ConcurrentRequestsShareTheSet) {
    const int port = sharedRedis().port();
    testing::TestLoops loops;
    RedisGateway gateway;
    gateway.openSets(*loops, "127.0.0.1", port, "", {"4"}, {"3"}, true);
    RedisProbe(port, 4).run({"DEL", "hits"});
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                std::string result, error;
                if (!gateway.runOrder(4, "INCR hits", result, error))
                    ++failures;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(RedisProbe(port, 4).run({"GET", "hits"}), "1600");
}

// Commands of both reply forms pipelined on one connection: each caller gets its own reply, converted to the
// form it asked for (the internal encoding, or UTF-8 for an API answer) and only then.
TEST(RedisGateway, ReplyFormsOnOneConnection) {
    const int port = sharedRedis().port();
    const std::string utf8 = "\xE4\xB8\xAD\xE6\x96\x87";  // "中文"
    const std::string gb = "\xD6\xD0\xCE\xC4";            // the same in GB18030
    const std::string large = std::string(200000, 'x') + utf8;
    for (const bool unicode : {true, false}) {
        SCOPED_TRACE(unicode ? "isUnicode=1" : "isUnicode=0");
        const std::string stored = unicode ? utf8 : gb;
        RedisProbe probe(port, 6);
        probe.run({"DEL", "list"});
        probe.run({"SET", "text", stored});
        probe.run({"SET", "large", unicode ? large : std::string(200000, 'x') + gb});
        probe.run({"RPUSH", "list", "a", stored});
        probe.run({"DEL", "none"});
        testing::TestLoops loops;
        RedisGateway gateway;
        gateway.openSets(*loops, "127.0.0.1", port, "", {"6"}, {"1"}, unicode);
        ASSERT_EQ(gateway.databases()[0].connected, 1);

        struct Call {
            std::function<void(RedisHandler)> start;
            bool ok;
            std::string text;
        };
        const std::string wireOrder = unicode ? "NOSUCH " + utf8 : "NOSUCH " + gb;
        const std::string unknown = "ERR unknown command 'NOSUCH', with args beginning with: '";
        std::vector<Call> calls = {
            {[&](RedisHandler h) { gateway.getValue(6, "text", std::move(h)); }, true, gb},
            {[&](RedisHandler h) { gateway.getValueWire(6, "text", std::move(h)); }, true, utf8},
            {[&](RedisHandler h) { gateway.getValueWire(6, "none", std::move(h)); }, true, ""},
            {[&](RedisHandler h) { gateway.getValueWire(6, "large", std::move(h)); }, true, large},
            {[&](RedisHandler h) { gateway.runOrderWire(6, wireOrder, std::move(h)); }, false,
             unknown + utf8 + "' "},
            {[&](RedisHandler h) { gateway.runOrder(6, "LRANGE list 0 -1", std::move(h)); }, true,
             "[\"a\",\"" + gb + "\"]"},
            {[&](RedisHandler h) { gateway.runOrderWire(6, "LRANGE list 0 -1", std::move(h)); }, true,
             "[\"a\",\"" + utf8 + "\"]"},
            {[&](RedisHandler h) { gateway.runOrder(6, "NOSUCH " + gb, std::move(h)); }, false,
             unknown + gb + "' "},
        };
        std::mutex mutex;
        std::vector<std::optional<RedisOutcome>> outcomes(calls.size());
        std::atomic<size_t> answered{0};
        for (size_t i = 0; i < calls.size(); ++i) {
            calls[i].start([&, i](RedisOutcome outcome) {
                std::lock_guard<std::mutex> lock(mutex);
                outcomes[i] = std::move(outcome);
                ++answered;
            });
        }
        const auto until = Clock::now() + std::chrono::seconds(20);
        while (answered.load() < calls.size() && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::lock_guard<std::mutex> lock(mutex);
        for (size_t i = 0; i < calls.size(); ++i) {
            ASSERT_TRUE(outcomes[i]) << i;
            EXPECT_EQ(outcomes[i]->ok, calls[i].ok) << i;
            EXPECT_TRUE(outcomes[i]->text == calls[i].text) << i << ": " << outcomes[i]->text.substr(0, 80);
        }
        gateway.close();
    }
}

}  // namespace
}  // namespace kestrum
