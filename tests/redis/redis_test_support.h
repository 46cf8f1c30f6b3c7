// Shared pieces of the Redis tests: one private redis-server for the whole executable, a direct hiredis
// connection to inspect its state, and a scripted fake server for connect failures.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "http/callers.h"
#include "redis/redis_gateway.h"
#include "support/kestrum_process.h"
#include "support/redis_server.h"
#include "util/event_loops.h"

struct redisContext;

namespace kestrum::testing {

// The envelope text (internal encoding) of an endpoint's answer, which may be the finished response body
// (byte-order mark and UTF-8).
std::optional<std::string> envelopeText(std::optional<std::string> answer);

// Started on first use, stopped at exit. Fails the calling test when redis-server cannot start.
RedisServer& sharedRedis();

// A plain connection for checking what the gateway did (db selected, raw bytes, no conversion).
class RedisProbe {
  public:
    RedisProbe(int port, int db = 0);
    ~RedisProbe();
    bool ok() const { return context_ != nullptr; }
    // Runs a command given as words; returns the string/status/integer reply as text ("(nil)" for nil,
    // "ERR:" + message for errors).
    std::string run(const std::vector<std::string>& words);

  private:
    redisContext* context_ = nullptr;
};

// A loopback server speaking just enough RESP: connections are numbered in accept order from 1; those in
// `refused` are closed at once; the others answer GET with their own number, PING with PONG, HANG and
// BLPOP with nothing ever again (the connection stalls) and anything else with OK. Every command received is
// recorded.
class FakeRedis {
  public:
    explicit FakeRedis(std::set<int> refused = {});
    ~FakeRedis();
    int port() const { return port_; }
    // The commands received so far, each as its words joined by blanks.
    std::vector<std::string> commands();

  private:
    void acceptLoop();
    void serve(int fd, int number);

    std::set<int> refused_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::vector<int> connections_;
    std::vector<std::string> commands_;
    std::vector<std::thread> threads_;
    std::thread acceptThread_;
};

// Network threads for a test: started at once, stopped at the end. Declare before the gateway that uses them.
class TestLoops {
  public:
    explicit TestLoops(int threads = 2) : loops_(threads) { loops_.start(); }
    ~TestLoops() { loops_.stop(); }
    EventLoops& operator*() { return loops_; }
    EventLoops* operator->() { return &loops_; }

  private:
    EventLoops loops_;
};

// Runs handleRedisRequest and waits for its answer (at most 30 s; a missing answer fails the test).
// `caller`: the caller the door identified (null: callers are not in use).
std::optional<std::string> callEndpoint(RedisGateway& gateway, const std::string& path,
                                        const std::string& body, const Caller* caller = nullptr);

// Runs `start` (which calls the given handler once) and waits for the outcome (at most 30 s).
RedisOutcome awaitOutcome(const std::function<void(RedisHandler)>& start);

}  // namespace kestrum::testing
