// RedisSyncClient: one blocking connection to a Redis server (hiredis underneath).
//
// Each call blocks until the reply has arrived or the reply time-out (the connect time-out) has passed. An
// object is not safe for concurrent use; RedisClientSet lends each one to a single thread at a time. Nothing
// is thrown: every failure is a false result with an error text.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct redisContext;

namespace kestrum {

// One parameter of a command template: a text or a 64-bit integer (sent in decimal).
class CommandArg {
  public:
    CommandArg(std::string_view text) : text_(text) {}
    CommandArg(const std::string& text) : text_(text) {}
    CommandArg(const char* text) : text_(text) {}
    CommandArg(int64_t number) : text_(std::to_string(number)) {}

    const std::string& text() const { return text_; }

  private:
    std::string text_;
};

class RedisSyncClient {
  public:
    RedisSyncClient();
    ~RedisSyncClient();
    RedisSyncClient(const RedisSyncClient&) = delete;
    RedisSyncClient& operator=(const RedisSyncClient&) = delete;

    // Connects, authenticates (when `password` is not empty) and selects `db` (when not 0). `timeoutMs`
    // limits the connect and every later reply; 0 means no limit. With `isUnicode` texts go to Redis as UTF-8
    // and replies come back in the internal encoding; otherwise the bytes pass unchanged. The settings are
    // kept for reconnect() even when the connect fails.
    bool connect(const std::string& host, int port, const std::string& password, int db, int timeoutMs,
                 bool isUnicode, std::string& error);

    // True when the connection is usable: it is open, the socket shows no end-of-stream, error or unexpected
    // bytes, and it either answered within the last kTrustWindow or answers a PING now.
    bool checkStatus();

    // Opens the connection again with the settings of the last connect(); does nothing before the first
    // connect.
    void reconnect();

    // Runs `commandTemplate` (see command_words.h) with `params`. `result` may be null when the reply is not
    // wanted. False when the command could not be sent, no reply came, or Redis answered with an error;
    // `error` then holds the reason.
    bool runCommand(std::string* result, std::string& error, std::string_view commandTemplate,
                    std::initializer_list<CommandArg> params = {});

    bool isConnected() const;

    // How long after an answer a connection is trusted without a PING.
    static constexpr std::chrono::milliseconds kTrustWindow{1000};

  private:
    struct ContextFree {
        void operator()(redisContext* context) const;
    };

    // Opens the connection with the stored settings.
    bool open(std::string& error);
    bool sendWords(const std::vector<std::string>& words, std::string* result, std::string& error);

    std::unique_ptr<redisContext, ContextFree> context_;
    bool hasSettings_ = false;
    std::string host_;
    int port_ = 0;
    std::string password_;
    int db_ = 0;
    int timeoutMs_ = 0;
    bool isUnicode_ = true;
    std::string connectError_;  // why the last (re)connect failed
    std::chrono::steady_clock::time_point lastReplyAt_{};
};

}  // namespace kestrum
