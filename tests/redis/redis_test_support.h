// Shared pieces of the Redis tests: one private redis-server for the whole executable, a direct hiredis
// connection to inspect its state, and a scripted fake server for connect failures.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/kestrum_process.h"
#include "support/redis_server.h"

struct redisContext;

namespace kestrum::testing {

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
// `refused` are closed at once; the others answer GET with their own number, PING with PONG and anything else
// with OK.
class FakeRedis {
  public:
    explicit FakeRedis(std::set<int> refused);
    ~FakeRedis();
    int port() const { return port_; }

  private:
    void acceptLoop();
    void serve(int fd, int number);

    std::set<int> refused_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::vector<int> connections_;
    std::vector<std::thread> threads_;
    std::thread acceptThread_;
};

}  // namespace kestrum::testing
