// RedisGateway: the process-wide front to Redis, one RedisClientSet per database line of the configuration.
//
// Opened once at start-up (openSets, from a thread that is not a network thread, with the network threads
// that will own the connections), then only read: any number of threads may call the operations at once.
// Every text is in the internal encoding.
//
// The operations come twice: asynchronous ones that answer through a handler (called exactly once, on a
// network thread, or at once on the calling thread), for the API endpoint; and blocking ones that wait for
// that answer, for threads that are not network threads (scheduled tasks). A blocking call on a network
// thread is refused.
//
// Shutdown: close() before the network threads stop; destroy the gateway after they stopped.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "redis/command_keys.h"
#include "redis/command_rules.h"
#include "redis/redis_client_set.h"
#include "redis/redis_defaults.h"

namespace kestrum {

class EventLoops;

// The settings of runDir/mod/redis/config.ini, as texts, with the defaults applied.
struct RedisConfig {
    std::string on = "1";                       // [sys] on: the module runs only when this is exactly "1"
    std::string apiUrl = kDefaultRedisApiUrl;   // [sys] api_url
    std::string host = kDefaultRedisHost;       // [sys] ip (empty also means the default)
    int port = kDefaultRedisPort;               // [sys] port (0 or no number means the default)
    std::string password;                       // [sys] password
    bool isUnicode = true;                      // [sys] isUnicode, true exactly when "1"
    std::vector<std::string> dbKeys;            // [dbsum] keys in file order: database numbers
    std::vector<std::string> dbCounts;          // [dbsum] values in file order: connection counts
    size_t maxAnswer = kDefaultRedisMaxAnswer;  // [sys] max_answer: longest answer in bytes
    std::string deny;                           // [order] deny: commands /order refuses
};

// Reads the configuration file; a missing file gives the defaults and no database line.
RedisConfig loadRedisConfig(const std::string& runDir);

struct DatabaseEntry {
    int32_t db = 0;         // Redis database number
    int32_t position = 0;   // 1-based index into the gateway's sets
    int32_t connected = 0;  // connections the set opened at start
};

class RedisGateway {
  public:
    // How long a blocking call waits for its answer at most (the connect and reply time-outs end every
    // command well before).
    static constexpr int kBlockingCallLimitMs = 15000;

    RedisGateway() = default;
    ~RedisGateway();
    RedisGateway(const RedisGateway&) = delete;
    RedisGateway& operator=(const RedisGateway&) = delete;

    // Reads runDir/mod/redis/config.ini (the [dbsum] section in file order, max_answer, the [order] deny
    // list) and opens the connection sets on `loops`. Returns the API path prefix (api_url), which is also
    // kept for the endpoint.
    std::string openSets(const std::string& runDir, EventLoops& loops);

    // Opens one set per [dbsum] line (`dbKeys[i]` = database number, `dbCounts[i]` = connection count, both
    // read as leading integers). An empty host becomes "127.0.0.1", port 0 becomes 6379.
    void openSets(EventLoops& loops, const std::string& host, int port, const std::string& password,
                  const std::vector<std::string>& dbKeys, const std::vector<std::string>& dbCounts,
                  bool isUnicode);

    // Where large texts are converted: replies (by the connections) and request bodies (by the endpoint).
    // Set before openSets.
    void setOffload(RedisOffload offload) { offload_ = std::move(offload); }
    const RedisOffload& offload() const { return offload_; }

    // Commands that runOrder refuses: names or name|subcommand, separated by commas and/or blanks, any case.
    void setDenyList(std::string_view names) { deny_ = CommandDenyList(names); }

    // The longest answer in bytes: a reply whose text is longer fails with answerLimitText() without being
    // held, and the endpoint sends no envelope longer than this. Set before openSets.
    void setMaxAnswer(size_t bytes) { maxAnswer_ = bytes; }
    size_t maxAnswer() const { return maxAnswer_; }

    // Asynchronous. A database without a set fails at once with no error text (`errorSet` false).
    void runOrder(int32_t db, const std::string& order, RedisHandler done);
    void setValue(int32_t db, const std::string& key, const std::string& value, int64_t expiry,
                  RedisHandler done);
    void getValue(int32_t db, const std::string& key, RedisHandler done);

    // Asynchronous, for the API endpoint: the texts come in the connections' encoding (UTF-8 with isUnicode,
    // the internal encoding without) and the outcome's text is UTF-8 (see RedisClientSet::runCommandWire).
    void runOrderWire(int32_t db, const std::string& order, RedisHandler done);
    void setValueWire(int32_t db, std::string key, std::string value, int64_t expiry, RedisHandler done);
    void getValueWire(int32_t db, std::string key, RedisHandler done);

    // Blocking. Each returns false, with `error` untouched, when `db` has no set; false with the reason
    // otherwise.
    bool runOrder(int32_t db, const std::string& order, std::string& result, std::string& error);
    bool setValue(int32_t db, const std::string& key, const std::string& value, int64_t expiry,
                  std::string& error);
    bool getValue(int32_t db, const std::string& key, std::string& result, std::string& error);

    // Answers every command in flight (errcode 100 at the endpoint), closes every connection on its own
    // network thread and refuses later commands. Call from a thread that is not a network thread, before the
    // network threads stop. Idempotent.
    void close();

    // Connect and reply time-outs of sets opened afterwards (default 5000 ms each).
    void setTimeouts(int connectMs, int replyMs);

    // The server's command table (key positions), read once at start-up; null when it could not be read.
    void setKeyTable(std::shared_ptr<const RedisKeyTable> table) { keyTable_ = std::move(table); }
    const RedisKeyTable* keyTable() const { return keyTable_.get(); }

    const std::string& apiUrl() const { return apiUrl_; }
    void setApiUrl(std::string apiUrl) { apiUrl_ = std::move(apiUrl); }
    const std::vector<DatabaseEntry>& databases() const { return databases_; }
    const std::string& host() const { return host_; }
    int port() const { return port_; }
    bool isUnicode() const { return isUnicode_; }

  private:
    RedisClientSet* findSet(int32_t db);
    // Starts an asynchronous operation and waits for its handler.
    RedisOutcome await(const std::function<void(RedisHandler)>& start);

    EventLoops* loops_ = nullptr;
    std::string apiUrl_ = kDefaultRedisApiUrl;
    std::string host_ = kDefaultRedisHost;
    int port_ = kDefaultRedisPort;
    std::string password_;
    bool isUnicode_ = true;
    int connectTimeoutMs_ = kDefaultRedisConnectTimeoutMs;
    int replyTimeoutMs_ = kDefaultRedisReplyTimeoutMs;
    size_t maxAnswer_ = kDefaultRedisMaxAnswer;
    CommandDenyList deny_;
    RedisOffload offload_;
    std::shared_ptr<const RedisKeyTable> keyTable_;
    std::vector<std::unique_ptr<RedisClientSet>> sets_;
    std::vector<DatabaseEntry> databases_;
};

}  // namespace kestrum
