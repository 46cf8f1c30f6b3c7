// Callers with names and rights: the model of callers.ini and its loader.
//
// callers.ini (run directory) has one section per caller; the section name is the caller's name (a letter or
// digit, then letters, digits, "_", "-", "."; at most 64) as the log and the metrics show it:
//
//   [reports]
//   key_sha256=<64 hex digits>, <64 hex digits>   hashes of the caller's bearer keys (several: rotation)
//   cert_sha256=<64 hex digits>                    fingerprints (SHA-256 of the DER) of client certificates
//   from=10.1.0.0/16, 10.2.0.7                     addresses and ranges it may come from (default: any)
//   allow=mysql, redis.get                          rights (default none): mysql redis.get redis.set
//                                                   redis.order websocket metrics
//   mysql_account=reporting                         [account.NAME] of mod/mysql/config.ini (default: main
//   pool) redis_commands=GET, SET, CLIENT|INFO            /order commands (default none; "*" any)
//   redis_keys=app1:*, shared:?                     glob patterns every key must match (default "*")
//                                                   (a pattern cannot hold a comma or a blank)
//   rate=20                                         requests per second (a token bucket per instance)
//   burst=40                                        the bucket's size (default: the rate, at least 1)
//   rate_shared=1                                   count in Redis, one budget for every instance
//   max_in_flight=8                                 requests served at once (default no limit)
//
// List values are separated by commas (also "，") and blanks. A key written with an empty value means an
// empty list (no keys, no rights, from nowhere, no key matches) and, for the numbers, no limit. Everything
// else that is not understood (an unknown key or right, a malformed hash, range or pattern, a repeated key or
// section, a hash that two callers share) is a problem, and a file with a problem is refused whole: the rules
// in force stay.
//
// Once loaded the rules do not change: share them as std::shared_ptr<const CallerRules> and replace the
// pointer on reload. Every const member function is safe from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/credentials.h"
#include "util/address_range.h"

namespace kestrum {

class IniFile;

enum class CallerRight : uint8_t { kMysql, kRedisGet, kRedisSet, kRedisOrder, kWebsocket, kMetrics };

// "mysql", "redis.get", "redis.set", "redis.order", "websocket", "metrics": the words of `allow`, and of the
// answer "not allowed: <word>".
std::string_view callerRightName(CallerRight right);
std::optional<CallerRight> parseCallerRight(std::string_view word);  // any case

// A caller's name, and the name of a MySQL account section: a letter or digit, then letters, digits, "_",
// "-",
// "."; 1 to 64 bytes (so a name never looks like an option).
bool isCallerName(std::string_view name);

struct Caller {
    std::string name;
    std::vector<Sha256> keyHashes;
    std::vector<Sha256> certHashes;
    bool fromAnywhere = true;  // no `from`: any address the whitelist admits
    AddressSet from;
    uint32_t rights = 0;       // bit (1 << CallerRight)
    std::string mysqlAccount;  // empty: the main pool
    bool anyRedisCommand = false;
    std::vector<std::string> redisCommands;   // upper case, "NAME" or "NAME|SUB"
    std::vector<std::string> redisKeys{"*"};  // glob patterns, internal encoding
    double rate = 0;                          // requests per second; 0: no limit
    int64_t burst = 0;                        // bucket size when rate > 0
    bool rateShared = false;                  // counted in Redis for every instance
    int64_t maxInFlight = 0;                  // 0: no limit

    bool allows(CallerRight right) const { return (rights >> static_cast<unsigned>(right)) & 1u; }
    bool comesFrom(Ipv4Address address) const { return fromAnywhere || from.contains(address); }
    // A command by its name and, when it has one, its first argument (the sub-command for CLIENT INFO), in
    // any case: listed by name alone, as "NAME|SUB", or "*" is listed.
    bool allowsRedisCommand(std::string_view name, std::string_view firstArgument = {}) const;
    // A key (bytes as the command carries them, internal encoding) matches one of the patterns.
    bool allowsRedisKey(std::string_view key) const;
    // The patterns are exactly "*": commands whose keys cannot be told apart may still run.
    bool redisKeysUnrestricted() const { return redisKeys.size() == 1 && redisKeys.front() == "*"; }
};

// A problem of a callers file: where it is and what is wrong. Texts are in the internal encoding. The value
// is left empty for key_sha256, which may hold a pasted key rather than its hash.
struct CallerRulesProblem {
    std::string section;
    std::string key;
    std::string value;
    std::string what;
};

class CallerRules {
  public:
    enum class LoadStatus {
        kMissing,  // no such file: callers are not in use
        kLoaded,   // `rules` set (possibly with no caller at all: then nobody is identified)
        kFailed,   // `problems` says why; nothing loaded
    };
    struct LoadResult {
        LoadStatus status = LoadStatus::kMissing;
        std::shared_ptr<const CallerRules> rules;
        std::vector<CallerRulesProblem> problems;  // every problem, file order
        // The first problem as one line for the log: "callers.ini: [app1] allow=mysq: unknown right ...".
        std::string firstProblemLine(std::string_view fileName) const;
    };

    // Reads `path` (UTF-8 or GBK). `localAddress` stands for the word "localhost" in `from`.
    static LoadResult load(const std::string& path, std::string_view localAddress);
    static LoadResult parse(const IniFile& file, std::string_view localAddress);

    // The caller whose key this is: the key is hashed once and the hash compared, in constant time, with
    // every stored hash. nullptr for an unknown key.
    const Caller* findByKey(std::string_view key) const { return findByKeyHash(sha256(key)); }
    const Caller* findByKeyHash(const Sha256& keyHash) const;
    // The caller a verified client certificate's fingerprint names; nullptr when none.
    const Caller* findByCertificate(const Sha256& fingerprint) const;
    const Caller* findByName(std::string_view name) const;

    // Some caller names a certificate: the TLS contexts must ask clients for one.
    bool anyCertificate() const;
    const std::vector<Caller>& callers() const { return callers_; }

  private:
    std::vector<Caller> callers_;
};

// "SECTION KEY=VALUE: WHAT" as a line of `fileName`: "callers.ini: [app1] rate=x: is not a number ...".
std::string callerProblemLine(std::string_view fileName, const CallerRulesProblem& problem);

}  // namespace kestrum
