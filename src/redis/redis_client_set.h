// RedisClientSet: a fixed number of pipelined connections to one Redis database, spread over the network
// threads.
//
// Each connection belongs to one network thread and is touched by that thread alone. A command is sent on a
// connection of the calling network thread when it has one (the one with the fewest commands in flight);
// otherwise it crosses to a thread that has one, and its answer crosses back (one post each way; a caller
// that is not a network thread gets its answer on the connection's thread). Blocking commands get a
// connection of their own, opened for the command and closed after its reply, so nothing waits behind them.
//
// connectAll() and close() run on a thread that is not a network thread and wait for the network threads;
// between them the command operations may be called from any thread. Every handler is called exactly once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "redis/redis_connection.h"

namespace kestrum {

class CommandDenyList;
class EventLoops;

class RedisClientSet {
  public:
    // Redis' own default client limit; a larger count in the configuration is cut to this.
    static constexpr int kMaxClients = 10000;
    // Commands one connection may carry at once before the set answers "too many commands in flight".
    static constexpr size_t kMaxInFlight = 10000;

    explicit RedisClientSet(EventLoops& loops);
    ~RedisClientSet();
    RedisClientSet(const RedisClientSet&) = delete;
    RedisClientSet& operator=(const RedisClientSet&) = delete;

    // Opens `count` connections (empty host means "127.0.0.1", port 0 means 6379), connection i on network
    // thread (firstLoop + i) modulo their number, and waits until each is open or has failed. Connections
    // that failed are dropped; the others keep their order. At most kMaxClients. Returns the number open.
    int connectAll(int count, const std::string& host, int port, const std::string& password, int db,
                   bool isUnicode, int firstLoop = 0);

    // The command text itself as a template without parameters. Commands (or sub-commands) named in `deny`
    // and commands that change connection state are refused before anything is sent; blocking ones run on a
    // connection of their own (at most as many at once as the set has connections).
    void runCommandText(const std::string& command, RedisHandler done, const CommandDenyList* deny = nullptr);
    // SET key value, with PXAT expiry for an expiry of 13 decimal digits (absolute Unix time in ms) or PX
    // expiry for any other above 0, in one command: when Redis refuses the expiry nothing is written. Without
    // an expiry the key loses any time to live it had.
    void setKey(const std::string& key, const std::string& value, int64_t expiry, RedisHandler done);
    // GET key; a missing key gives empty text.
    void getKey(const std::string& key, RedisHandler done);
    // PEXPIREAT when the expiry has 13 decimal digits (absolute Unix time in ms), PEXPIRE otherwise.
    void expireKey(const std::string& key, int64_t expiry, RedisHandler done);
    void persistKey(const std::string& key, RedisHandler done);

    // The same for the API endpoint: the command text, key and value come in the connections' encoding
    // (UTF-8 with isUnicode, the internal encoding without) and are sent as they are; the outcome's text is
    // UTF-8. Each text is thus converted once at most on its way between the client and Redis.
    void runCommandWire(const std::string& command, RedisHandler done, const CommandDenyList* deny = nullptr);
    void setKeyWire(std::string key, std::string value, int64_t expiry, RedisHandler done);
    void getKeyWire(std::string key, RedisHandler done);

    // Fails every command in flight with `reason`, closes and releases every connection on its own thread
    // and answers later commands with `reason` at once. Idempotent. Afterwards the set holds nothing of the
    // network threads' io_contexts; destroy it once they stopped (work queued there may still name it).
    void close(const std::string& reason);

    // Reply and connect time-outs of connections opened afterwards (default 5000 ms each).
    void setTimeouts(int connectMs, int replyMs);
    // Where large replies are converted (see RedisConnection); for connections opened afterwards.
    void setOffload(RedisOffload offload) { settings_.offload = std::move(offload); }
    // The answer limit of connections opened afterwards (see RedisConnectionSettings::maxAnswerBytes).
    void setMaxAnswer(size_t bytes) { settings_.maxAnswerBytes = bytes; }

    int clientCount() const { return clientCount_; }
    int db() const { return db_; }
    const std::string& host() const { return host_; }
    int port() const { return port_; }

  private:
    struct Loop;
    // Work that runs on a network thread that has connections of this set; `done` is the caller's.
    using Job = std::function<void(int loop, RedisHandler done)>;

    void submit(Job job, RedisHandler done);
    void sendHere(int loop, std::vector<std::string> words, RedisHandler done, ReplyForm form);
    void sendAlone(int loop, std::vector<std::string> words, RedisHandler done, ReplyForm form);
    // Checks the words of a command line against `deny` and the command kinds, then sends them.
    void runWords(std::vector<std::string> words, RedisHandler done, const CommandDenyList* deny,
                  ReplyForm form);
    void sendShared(std::vector<std::string> words, RedisHandler done, ReplyForm form);
    // Template and parameters to the words sent (converted to UTF-8 when isUnicode).
    bool buildWords(std::string_view commandTemplate, std::vector<std::string> params,
                    std::vector<std::string>& words, std::string& error) const;
    std::string internalText(const std::string& wire) const;
    // Wire text (of our own making, such as a command's name) in `form`.
    std::string textIn(ReplyForm form, const std::string& wire) const;
    std::string dbText() const { return "db(" + std::to_string(db_) + ")"; }

    EventLoops& loops_;
    std::string host_;
    int port_ = 0;
    int db_ = 0;
    bool isUnicode_ = true;
    RedisConnectionSettings settings_;
    int clientCount_ = 0;
    std::vector<std::shared_ptr<Loop>> perLoop_;  // by network thread index
    std::vector<int> loopsWithClients_;
    std::atomic<unsigned> nextLoop_{0};
    std::shared_ptr<std::atomic<int>> aloneInUse_;  // blocking commands running on connections of their own
    std::atomic<bool> closing_{false};
    std::atomic<bool> closed_{false};
    std::string closeReason_;  // written before closed_ is set
};

}  // namespace kestrum
