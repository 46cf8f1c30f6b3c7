// RedisClientSet: a fixed number of RedisSyncClient connections to one Redis database, lent to one thread at
// a time through an IdleSlotQueue.
//
// Lending: take an idle client number (waiting up to the lend time-out), repair the client when it does not
// answer a PING, run the command, give the number back. connectAll() runs once at start-up, before any
// lending; after that the client list never changes, so command operations may be called from any number of
// threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "util/idle_slot_queue.h"
#include "redis/redis_sync_client.h"

namespace kestrum {

class RedisClientSet {
  public:
    static constexpr int kConnectTimeoutMs = 5000;
    static constexpr int kLendTimeoutMs = 5000;
    // Redis' own default client limit; a larger count in the configuration is cut to this.
    static constexpr int kMaxClients = 10000;

    RedisClientSet() = default;
    RedisClientSet(const RedisClientSet&) = delete;
    RedisClientSet& operator=(const RedisClientSet&) = delete;

    // Releases the current clients, creates `count` new ones and connects them in order (empty host means
    // "127.0.0.1", port 0 means 6379). Clients that fail to connect are dropped; the others keep their order
    // and are numbered from 1. At most kMaxClients are created. Returns the number connected.
    int connectAll(int count, const std::string& host, int port, const std::string& password, int db,
                   bool isUnicode);

    // The command text itself as a template without parameters.
    bool runCommandText(const std::string& command, std::string& result, std::string& error);
    // SET key value, then, for an expiry above 0, expireKey() on a second lending. A failed expiry makes the
    // whole operation fail with its error text: the value is stored but the caller asked for a time to live.
    bool setKey(const std::string& key, const std::string& value, int64_t expiry, std::string& error);
    // GET key; a missing key gives empty text.
    bool getKey(const std::string& key, std::string& result, std::string& error);
    // PEXPIREAT when the expiry has 13 decimal digits (absolute Unix time in ms), PEXPIRE otherwise.
    bool expireKey(const std::string& key, int64_t expiry, std::string& error);
    bool persistKey(const std::string& key, std::string& error);

    // How long a lending waits for an idle client (default kLendTimeoutMs). Set before use.
    void setLendTimeout(int ms) { lendTimeoutMs_ = ms; }

    int clientCount() const { return int(clients_.size()); }
    int db() const { return db_; }
    const std::string& host() const { return host_; }
    int port() const { return port_; }

  private:
    // Lends a client to `run` (a callable taking RedisSyncClient&). False with `error` untouched when no
    // client was idle in time.
    template <typename Run>
    bool lend(Run&& run);

    std::string host_;
    int port_ = 0;
    std::string password_;
    int db_ = 0;
    bool isUnicode_ = true;
    int lendTimeoutMs_ = kLendTimeoutMs;
    std::vector<std::unique_ptr<RedisSyncClient>> clients_;
    IdleSlotQueue idleQueue_;
};

}  // namespace kestrum
