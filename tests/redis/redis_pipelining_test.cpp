// The asynchronous gateway under load and failure: replies matched to their callers, blocking and state
// commands kept away from shared connections, the deny list, time-outs, a Redis that dies, shutdown, and
// large values on a network thread.
#include <gtest/gtest.h>

#include <time.h>
#include <algorithm>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

#include "http/api_envelope.h"
#include "redis/redis_endpoint.h"
#include "redis_test_support.h"
#include "util/encoding.h"

namespace kestrum {
namespace {

using testing::callEndpoint;
using testing::RedisProbe;
using testing::sharedRedis;
using testing::TestLoops;
using Clock = std::chrono::steady_clock;

const std::string kOk = R"({"errcode":200,"errmsg":"success."})";

std::string failure(const std::string& error) {
    return buildEnvelope(100, error);
}

// Starts a request on network thread `loop`; `done` runs there when the answer is in.
void postRequest(EventLoops& loops, int loop, RedisGateway& gateway, std::string path, std::string body,
                 EndpointDone done) {
    loops.post(loop, [&gateway, path = std::move(path), body = std::move(body), done = std::move(done)] {
        RequestContext request;
        request.path = path;
        request.body = body;
        handleRedisRequest(gateway, std::move(request), [done](std::optional<std::string> answer) {
            done(testing::envelopeText(std::move(answer)));
        });
    });
}

// Waits until `count` answers came (or 60 s passed).
class Answers {
  public:
    void add(bool good) {
        std::lock_guard lock(mutex_);
        ++count_;
        if (!good)
            ++wrong_;
        changed_.notify_all();
    }
    bool waitFor(int count, std::chrono::seconds limit = std::chrono::seconds(60)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return count_ >= count; });
    }
    int count() {
        std::lock_guard lock(mutex_);
        return count_;
    }
    int wrong() {
        std::lock_guard lock(mutex_);
        return wrong_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int count_ = 0;
    int wrong_ = 0;
};

TEST(RedisPipelining, ManyCallersEachGetTheirOwnAnswer) {
    const int port = sharedRedis().port();
    TestLoops loops(2);
    RedisGateway gateway;
    // db 0 has a connection on each network thread; db 6 one connection, so half the callers cross threads.
    gateway.openSets(*loops, "127.0.0.1", port, "", {"0", "6"}, {"2", "1"}, true);
    ASSERT_EQ(gateway.databases()[0].connected, 2);
    ASSERT_EQ(gateway.databases()[1].connected, 1);

    // Each caller sets its own key, then reads it back, from a network thread.
    const std::string unicode = "\xE5\x80\xBC\xF0\x9F\x98\x80\xC3\xA9";  // "值😀é"
    constexpr int kCallers = 120;
    Answers answers;
    for (int i = 0; i < kCallers; ++i) {
        std::string value = unicode + std::to_string(i);
        if (i % 3 == 1)
            value += std::string(300, char('a' + i % 26));
        if (i == 7 || i == 70)
            value += std::string(2 * 1024 * 1024, char('A' + i % 26));
        const int db = i % 2 == 0 ? 0 : 6;
        const std::string key = "caller:" + std::to_string(i) + unicode;
        const std::string head = R"({"db":)" + std::to_string(db) + R"(,"key":")" + key + "\"";
        const std::string expected = buildEnvelope(200, utf8ToGbk(value));
        const int loop = i % 2;
        postRequest(*loops, loop, gateway, "/api/redis/set", head + R"(,"value":")" + value + "\"}",
                    [&, loop, head, expected](std::optional<std::string> set) {
                        if (set != kOk) {
                            answers.add(false);
                            return;
                        }
                        postRequest(
                            *loops, loop, gateway, "/api/redis/get", head + "}",
                            [&, expected](std::optional<std::string> get) { answers.add(get == expected); });
                    });
    }
    // Blocking callers on plain threads at the same time.
    std::atomic<int> threadMismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                const std::string key = "thread:" + std::to_string(t) + ":" + std::to_string(i);
                const std::string value = utf8ToGbk(unicode) + key;
                std::string result, error;
                if (!gateway.setValue(6, key, value, 0, error) || !gateway.getValue(6, key, result, error) ||
                    result != value)
                    ++threadMismatches;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    ASSERT_TRUE(answers.waitFor(kCallers)) << answers.count() << " answers";
    EXPECT_EQ(answers.wrong(), 0);
    EXPECT_EQ(threadMismatches.load(), 0);
    // Each key went to its own database.
    EXPECT_EQ(RedisProbe(port, 0).run({"EXISTS", "caller:7" + unicode}), "0");
    EXPECT_GT(std::stoll(RedisProbe(port, 6).run({"STRLEN", "caller:7" + unicode})), 2 * 1024 * 1024);
    EXPECT_EQ(RedisProbe(port, 6).run({"EXISTS", "caller:70" + unicode}), "0");
    EXPECT_GT(std::stoll(RedisProbe(port, 0).run({"STRLEN", "caller:70" + unicode})), 2 * 1024 * 1024);
}

TEST(RedisPipelining, BlockingCommandsRunAloneAndEndWithinTheReplyTimeOut) {
    const int port = sharedRedis().port();
    RedisProbe(port, 3).run({"DEL", "queue:empty"});
    RedisProbe(port, 3).run({"SET", "plain", "here"});
    TestLoops loops(2);
    RedisGateway gateway;
    gateway.openSets(*loops, "127.0.0.1", port, "", {"3"}, {"1"}, true);

    // BLPOP waiting 3 s: the only shared connection keeps answering meanwhile.
    auto started = Clock::now();
    auto blpop = std::async(std::launch::async, [&] {
        return callEndpoint(gateway, "/api/redis/order", R"({"db":3,"order":"BLPOP queue:empty 3"})");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (int i = 0; i < 20; ++i) {
        auto get = callEndpoint(gateway, "/api/redis/get", R"({"db":3,"key":"plain"})");
        EXPECT_EQ(get, R"({"errcode":200,"errmsg":"here"})");
    }
    EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(1500));
    EXPECT_EQ(blpop.get(), R"({"errcode":200,"errmsg":""})");  // nothing came: nil
    EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(2900));

    // BLPOP for ever: the caller is answered after the reply time-out, and the set keeps serving.
    started = Clock::now();
    auto forever = std::async(std::launch::async, [&] {
        return callEndpoint(gateway, "/api/redis/order", R"({"db":3,"order":"BLPOP queue:empty 0"})");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(callEndpoint(gateway, "/api/redis/get", R"({"db":3,"key":"plain"})"),
              R"({"errcode":200,"errmsg":"here"})");
    EXPECT_EQ(forever.get(), failure("no reply from redis within 5000 ms"));
    const auto waited = Clock::now() - started;
    EXPECT_GE(waited, std::chrono::milliseconds(4900));
    EXPECT_LT(waited, std::chrono::milliseconds(7000));
    EXPECT_EQ(callEndpoint(gateway, "/api/redis/get", R"({"db":3,"key":"plain"})"),
              R"({"errcode":200,"errmsg":"here"})");
    // A value pushed now is not taken by a leftover waiter.
    RedisProbe(port, 3).run({"RPUSH", "queue:empty", "x"});
    EXPECT_EQ(callEndpoint(gateway, "/api/redis/order", R"({"db":3,"order":"LPOP queue:empty"})"),
              R"({"errcode":200,"errmsg":"x"})");
}

TEST(RedisPipelining, StateCommandsAreRefusedAndChangeNoConnection) {
    const int port = sharedRedis().port();
    RedisProbe(port, 0).run({"DEL", "state:key"});
    RedisProbe(port, 1).run({"DEL", "state:key"});
    TestLoops loops(2);
    RedisGateway gateway;
    gateway.openSets(*loops, "127.0.0.1", port, "", {"0"}, {"2"}, true);

    const struct {
        const char* order;
        const char* title;
    } cases[] = {
        {"SELECT 1", "SELECT"},
        {"select 1", "SELECT"},
        {"\\\"MULTI\\\"", "MULTI"},
        {"EXEC", "EXEC"},
        {"DISCARD", "DISCARD"},
        {"WATCH state:key", "WATCH"},
        {"UNWATCH", "UNWATCH"},
        {"SUBSCRIBE ch", "SUBSCRIBE"},
        {"PSUBSCRIBE ch*", "PSUBSCRIBE"},
        {"SSUBSCRIBE ch", "SSUBSCRIBE"},
        {"UNSUBSCRIBE", "UNSUBSCRIBE"},
        {"MONITOR", "MONITOR"},
        {"CLIENT REPLY OFF", "CLIENT REPLY"},
        {"client tracking on", "CLIENT TRACKING"},
        {"RESET", "RESET"},
        {"HELLO 3", "HELLO"},
        {"AUTH nobody", "AUTH"},
        {"QUIT", "QUIT"},
        {"READONLY", "READONLY"},
        {"READWRITE", "READWRITE"},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string body = std::string(R"({"db":0,"order":")") + c.order + "\"}";
        EXPECT_EQ(callEndpoint(gateway, "/api/redis/order", body),
                  failure(std::string("command not allowed: ") + c.title +
                          " changes the state of a shared connection"))
            << c.order;
        // Every connection of the set still writes to database 0.
        for (int i = 0; i < 4; ++i, ++n) {
            const std::string value = std::to_string(n);
            EXPECT_EQ(callEndpoint(gateway, "/api/redis/set",
                                   R"({"db":0,"key":"state:key","value":")" + value + "\"}"),
                      kOk)
                << c.order;
            EXPECT_EQ(RedisProbe(port, 0).run({"GET", "state:key"}), value) << c.order;
        }
    }
    EXPECT_EQ(RedisProbe(port, 1).run({"EXISTS", "state:key"}), "0");
}

TEST(RedisPipelining, DeniedCommandsAreNeverSent) {
    testing::FakeRedis fake;
    TestLoops loops(2);
    RedisGateway gateway;
    gateway.setDenyList("FLUSHALL, config keys client|PAUSE EVAL");
    gateway.openSets(*loops, "127.0.0.1", fake.port(), "", {"0"}, {"1"}, true);

    const struct {
        const char* order;
        std::string answer;
    } cases[] = {
        {"flushall", failure("command not allowed: FLUSHALL is on the deny list")},
        {"'FlushAll' ASYNC", failure("command not allowed: FLUSHALL is on the deny list")},
        {"CONFIG SET maxmemory 1", failure("command not allowed: CONFIG is on the deny list")},
        {"keys *", failure("command not allowed: KEYS is on the deny list")},
        {"CLIENT PAUSE 10000", failure("command not allowed: CLIENT PAUSE is on the deny list")},
        {"client Pause 1", failure("command not allowed: CLIENT PAUSE is on the deny list")},
        {"EVAL 'return redis.call(`FLUSHALL`)' 0", failure("command not allowed: EVAL is on the deny list")},
        {"CLIENT ID", R"({"errcode":200,"errmsg":"OK"})"},
        {"ECHO flushall", R"({"errcode":200,"errmsg":"OK"})"},  // only the first word counts
        {"FLUSHDB", R"({"errcode":200,"errmsg":"OK"})"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(callEndpoint(gateway, "/api/redis/order", std::string(R"({"order":")") + c.order + "\"}"),
                  c.answer)
            << c.order;
    }
    // /set and /get are not /order: the list does not apply to them.
    EXPECT_EQ(callEndpoint(gateway, "/api/redis/get", R"({"key":"k"})"), R"({"errcode":200,"errmsg":"1"})");

    const std::vector<std::string> sent = fake.commands();
    for (const std::string& command : sent) {
        std::string upper = command;
        for (char& ch : upper)
            ch = char(std::toupper((unsigned char)ch));
        for (const char* denied : {"FLUSHALL", "CONFIG", "KEYS", "CLIENT PAUSE", "EVAL"})
            EXPECT_NE(upper.rfind(denied, 0), 0u) << command;
    }
    EXPECT_NE(std::find(sent.begin(), sent.end(), "CLIENT ID"), sent.end());
    EXPECT_EQ(fake.commands().back(), "GET k");
}

TEST(RedisPipelining, NoReplyWithinTheTimeOutDropsTheConnectionAndEverythingBehind) {
    testing::FakeRedis fake;
    TestLoops loops(1);
    RedisGateway gateway;
    gateway.setTimeouts(5000, 800);
    gateway.openSets(*loops, "127.0.0.1", fake.port(), "", {"0"}, {"1"}, true);
    EXPECT_EQ(callEndpoint(gateway, "/api/redis/get", R"({"key":"k"})"), R"({"errcode":200,"errmsg":"1"})");

    // HANG stalls the fake's connection: every command pipelined behind it fails too, none takes a reply that
    // is not its own.
    Answers answers;
    const std::string timeout = failure("no reply from redis within 800 ms");
    postRequest(*loops, 0, gateway, "/api/redis/order", R"({"order":"HANG"})",
                [&](std::optional<std::string> answer) { answers.add(answer == timeout); });
    for (int i = 0; i < 5; ++i)
        postRequest(*loops, 0, gateway, "/api/redis/get", R"({"key":"k"})",
                    [&](std::optional<std::string> answer) { answers.add(answer == timeout); });
    auto started = Clock::now();
    ASSERT_TRUE(answers.waitFor(6, std::chrono::seconds(5)));
    EXPECT_EQ(answers.wrong(), 0);
    EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(2000));

    // The connection was opened again: the fake numbers it 2.
    EXPECT_EQ(callEndpoint(gateway, "/api/redis/get", R"({"key":"k"})"), R"({"errcode":200,"errmsg":"2"})");
}

TEST(RedisPipelining, EveryCallerIsAnsweredWhenRedisDiesAndServedAfterItsReturn) {
    testing::RedisServer server;
    ASSERT_TRUE(server.start()) << server.error();
    TestLoops loops(2);
    RedisGateway gateway;
    gateway.openSets(*loops, "127.0.0.1", server.port(), "", {"0"}, {"2"}, true);

    // Callers keep coming while the server is killed; each reads back its own key.
    Answers answers;
    std::atomic<int> sent{0};
    std::atomic<int> failed{0};
    std::thread driver([&] {
        const auto until = Clock::now() + std::chrono::milliseconds(600);
        for (int i = 0; Clock::now() < until; ++i) {
            const std::string key = "dying:" + std::to_string(i);
            const std::string expected = R"({"errcode":200,"errmsg":")" + key + "\"}";
            ++sent;
            postRequest(*loops, i % 2, gateway, "/api/redis/set",
                        R"({"key":")" + key + R"(","value":")" + key + "\"}",
                        [&, i, key, expected](std::optional<std::string> set) {
                            if (set != kOk) {
                                ++failed;
                                answers.add(set && set->rfind(R"({"errcode":100,)", 0) == 0);
                                return;
                            }
                            postRequest(*loops, i % 2, gateway, "/api/redis/get", R"({"key":")" + key + "\"}",
                                        [&, expected](std::optional<std::string> get) {
                                            if (get != expected)
                                                ++failed;
                                            answers.add(get == expected ||
                                                        (get && get->rfind(R"({"errcode":100,)", 0) == 0));
                                        });
                        });
            if (i % 20 == 19)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(server.killServer());
    driver.join();
    ASSERT_TRUE(answers.waitFor(sent.load(), std::chrono::seconds(20)))
        << answers.count() << "/" << sent.load();
    EXPECT_EQ(answers.wrong(), 0);
    EXPECT_GT(failed.load(), 0);  // the kill did hit callers

    ASSERT_TRUE(server.startServer()) << server.error();
    EXPECT_EQ(callEndpoint(gateway, "/api/redis/set", R"({"key":"back","value":"again"})"), kOk);
    EXPECT_EQ(callEndpoint(gateway, "/api/redis/get", R"({"key":"back"})"),
              R"({"errcode":200,"errmsg":"again"})");
}

TEST(RedisPipelining, BlockingCallsAreRefusedOnNetworkThreads) {
    const int port = sharedRedis().port();
    TestLoops loops(1);
    RedisGateway gateway;
    gateway.openSets(*loops, "127.0.0.1", port, "", {"0"}, {"1"}, true);
    std::promise<std::pair<bool, std::string>> answer;
    loops->post(0, [&] {
        std::string result, error;
        bool ok = gateway.getValue(0, "k", result, error);
        answer.set_value({ok, error});
    });
    auto [ok, error] = answer.get_future().get();
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, "blocking redis call on a network thread");
    // From this thread it works.
    std::string result;
    EXPECT_TRUE(gateway.runOrder(0, "PING", result, error)) << error;
    EXPECT_EQ(result, "PONG");
}

TEST(RedisPipelining, CloseAnswersEveryCallerAndRefusesLaterOnes) {
    testing::FakeRedis fake;
    std::optional<TestLoops> loops(std::in_place, 2);
    RedisGateway gateway;
    gateway.openSets(**loops, "127.0.0.1", fake.port(), "", {"0"}, {"2"}, true);

    Answers answers;
    const std::string closed = failure("redis gateway closed");
    // Eight stall the shared connections, two wait on connections of their own (as many as the set allows).
    for (int i = 0; i < 10; ++i) {
        const char* body = i < 8 ? R"({"order":"HANG"})" : R"({"order":"BLPOP q 0"})";
        postRequest(**loops, i % 2, gateway, "/api/redis/order", body,
                    [&](std::optional<std::string> answer) { answers.add(answer == closed); });
    }
    // Everything is on the wire (the fake has seen it) before the shutdown starts.
    for (int i = 0; i < 200 && fake.commands().size() < 14; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    auto started = Clock::now();
    gateway.close();
    ASSERT_TRUE(answers.waitFor(10, std::chrono::seconds(2)));
    EXPECT_EQ(answers.wrong(), 0);
    EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(1000));
    EXPECT_EQ(callEndpoint(gateway, "/api/redis/get", R"({"key":"k"})"), closed);

    // Closing released every connection (shared and blocking ones) on its own thread: the gateway holds
    // nothing of the loops' io_contexts and outlives them safely (the AddressSanitizer build checks that).
    loops.reset();
}

// One thread that runs offloaded jobs in order.
class TestWorker {
  public:
    TestWorker()
        : thread_([this] {
              std::unique_lock lock(mutex_);
              for (;;) {
                  ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
                  if (jobs_.empty())
                      return;
                  auto job = std::move(jobs_.front());
                  jobs_.erase(jobs_.begin());
                  lock.unlock();
                  job();
                  lock.lock();
              }
          }) {}
    ~TestWorker() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        ready_.notify_all();
        thread_.join();
    }
    bool submit(std::function<void()> job) {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
        ready_.notify_all();
        return true;
    }

  private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::thread thread_;
};

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr long long kStallLimitUs = 1000000;  // instrumented copies of 2 MB are many times slower
#else
constexpr long long kStallLimitUs = 50000;
#endif

TEST(RedisPipelining, LargeValuesDoNotStallTheNetworkThread) {
    const int port = sharedRedis().port();
    TestWorker worker;
    TestLoops loops(2);
    RedisGateway gateway;
    gateway.setOffload([&worker](std::function<void()> job) { return worker.submit(std::move(job)); });
    gateway.openSets(*loops, "127.0.0.1", port, "", {"0"}, {"2"}, true);

    // A heartbeat on network thread 0 notes the most CPU time the thread spent between two of its ticks: work
    // that held the heartbeat up. (The wall-clock gap also counts time the machine gave to other processes.)
    auto threadCpuUs = [] {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return (long long)now.tv_sec * 1000000 + now.tv_nsec / 1000;
    };
    asio::steady_timer timer(loops->context(0));
    std::atomic<bool> beating{true};
    std::atomic<long long> longestStallUs{0};
    std::atomic<long long> longestGapUs{0};
    std::function<void(Clock::time_point, long long)> beat = [&](Clock::time_point last, long long lastCpu) {
        timer.expires_after(std::chrono::milliseconds(2));
        timer.async_wait([&, last, lastCpu](const asio::error_code&) {
            const auto now = Clock::now();
            const long long cpu = threadCpuUs();
            longestStallUs = std::max(longestStallUs.load(), cpu - lastCpu);
            longestGapUs = std::max(
                longestGapUs.load(),
                (long long)std::chrono::duration_cast<std::chrono::microseconds>(now - last).count());
            if (beating.load())
                beat(now, threadCpuUs());
        });
    };
    loops->post(0, [&] { beat(Clock::now(), threadCpuUs()); });

    const std::string big = "\xE4\xB8\xAD" + std::string(2 * 1024 * 1024, 'v');
    const std::string expected = buildEnvelope(200, utf8ToGbk(big));
    Answers answers;
    auto started = Clock::now();
    for (int i = 0; i < 4; ++i) {
        const std::string key = "big:" + std::to_string(i);
        postRequest(*loops, 0, gateway, "/api/redis/set",
                    R"({"key":")" + key + R"(","value":")" + big + "\"}",
                    [&, key](std::optional<std::string> set) {
                        if (set != kOk) {
                            answers.add(false);
                            return;
                        }
                        postRequest(*loops, 0, gateway, "/api/redis/get", R"({"key":")" + key + "\"}",
                                    [&](std::optional<std::string> get) { answers.add(get == expected); });
                    });
    }
    ASSERT_TRUE(answers.waitFor(4, std::chrono::seconds(30)));
    const auto elapsed = Clock::now() - started;
    std::promise<void> stopped;
    loops->post(0, [&] {
        beating = false;
        timer.cancel();
        stopped.set_value();
    });
    stopped.get_future().wait();
    EXPECT_EQ(answers.wrong(), 0);
    std::printf(
        "4 x 2 MB set+get: %lld ms; heartbeat held up by at most %lld us of work (longest gap %lld us)\n",
        (long long)std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(),
        longestStallUs.load(), longestGapUs.load());
    EXPECT_LT(longestStallUs.load(), kStallLimitUs);
}

}  // namespace
}  // namespace kestrum
