// RedisGateway: the process-wide front to Redis, one RedisClientSet per database line of the configuration.
//
// Opened once at start-up (openSets), then only read: any number of request threads may call runOrder,
// setValue and getValue at once. Every text is in the internal encoding.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "redis/redis_client_set.h"

namespace kestrum {

// The settings of runDir/mod/redis/config.ini, as texts, with the defaults applied.
struct RedisConfig {
    std::string on = "1";               // [sys] on: the module runs only when this is exactly "1"
    std::string apiUrl = "/api/redis";  // [sys] api_url
    std::string host = "127.0.0.1";     // [sys] ip (empty also means 127.0.0.1)
    int port = 6379;                    // [sys] port (0 or no number means 6379)
    std::string password;               // [sys] password
    bool isUnicode = true;              // [sys] isUnicode, true exactly when "1"
    std::vector<std::string> dbKeys;    // [dbsum] keys in file order: database numbers
    std::vector<std::string> dbCounts;  // [dbsum] values in file order: connection counts
};

// Reads the configuration file; a missing file gives the defaults and no database line.
RedisConfig loadRedisConfig(const std::string& runDir);

// C's atoi on a text: leading blanks, optional sign, decimal digits; 0 without digits; clamped to the int
// range.
int leadingInt(const std::string& text);

struct DatabaseEntry {
    int32_t db = 0;         // Redis database number
    int32_t position = 0;   // 1-based index into the gateway's sets
    int32_t connected = 0;  // connections the set opened at start
};

class RedisGateway {
  public:
    RedisGateway() = default;
    RedisGateway(const RedisGateway&) = delete;
    RedisGateway& operator=(const RedisGateway&) = delete;

    // Reads runDir/mod/redis/config.ini (the [dbsum] section in file order) and opens the connection sets.
    // Returns the API path prefix (api_url), which is also kept for the endpoint.
    std::string openSets(const std::string& runDir);

    // Opens one set per [dbsum] line (`dbKeys[i]` = database number, `dbCounts[i]` = connection count, both
    // read as leading integers). An empty host becomes "127.0.0.1", port 0 becomes 6379.
    void openSets(const std::string& host, int port, const std::string& password,
                  const std::vector<std::string>& dbKeys, const std::vector<std::string>& dbCounts,
                  bool isUnicode);

    // Each returns false, with `error` untouched, when `db` has no set or no client of its set was idle in
    // time; false with the client's error text when the command failed.
    bool runOrder(int32_t db, const std::string& order, std::string& result, std::string& error);
    bool setValue(int32_t db, const std::string& key, const std::string& value, int64_t expiry,
                  std::string& error);
    bool getValue(int32_t db, const std::string& key, std::string& result, std::string& error);

    // How long a lending waits for an idle client; applies to sets opened afterwards.
    void setLendTimeout(int ms) { lendTimeoutMs_ = ms; }

    const std::string& apiUrl() const { return apiUrl_; }
    void setApiUrl(std::string apiUrl) { apiUrl_ = std::move(apiUrl); }
    const std::vector<DatabaseEntry>& databases() const { return databases_; }
    const std::string& host() const { return host_; }
    int port() const { return port_; }
    bool isUnicode() const { return isUnicode_; }

  private:
    RedisClientSet* findSet(int32_t db);

    std::string apiUrl_ = "/api/redis";
    std::string host_ = "127.0.0.1";
    int port_ = 6379;
    std::string password_;
    bool isUnicode_ = true;
    int lendTimeoutMs_ = RedisClientSet::kLendTimeoutMs;
    std::vector<std::unique_ptr<RedisClientSet>> sets_;
    std::vector<DatabaseEntry> databases_;
};

}  // namespace kestrum
