// MySQL accounts of callers: one pool per section [account.NAME] of mod/mysql/config.ini, opened at start-up
// after the main pool and closed with it.
//
//   [account.reporting]
//   user=reporter          the account's own user and password; its grants decide what its statements may do
//   password=...
//   connectSum=2           connections of its pool ("5")
//   adress, port, database, connect_timeout, max_answer, statement_timeout, statement_cache, max_batch: as in
//   [sys], whose values they default to
//
// A caller bound to an account (callers.ini mysql_account) runs its statements only on that account's pool,
// never on the main one. The set is filled once at start-up; afterwards every const member function is safe
// from any thread.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mysql/mysql_pool.h"

namespace kestrum {

class EventLoops;
class IniFile;

// What a pool is opened with: [sys] for the main pool, [account.NAME] (falling back to [sys] for the server
// and session settings) for an account's.
struct MysqlPoolSettings {
    std::string connectSum;  // as written ("5" when missing)
    int configured = 0;      // connectSum as a number (0 .. kMaxConnectSum)
    std::string host;
    int port = 3306;
    std::string user;
    std::string password;
    std::string database;
    int connectTimeout = 10;  // seconds
    uint64_t maxAnswer = kDefaultMaxAnswer;
    int statementTimeout = 0;  // seconds; 0: none
    size_t statementCache = kDefaultStatementCache;
    size_t maxBatch = kDefaultMaxBatch;
};
MysqlPoolSettings readMysqlPoolSettings(const IniFile& config, std::string_view section);

// "account.NAME" gives NAME; anything else gives empty text.
std::string mysqlAccountOfSection(std::string_view section);

class MysqlAccountPools {
  public:
    struct Account {
        std::string name;  // as the section writes it
        int configured = 0;
        std::unique_ptr<MysqlPool> pool;
    };

    // `loops` must outlive the set.
    explicit MysqlAccountPools(EventLoops& loops, PoolTiming timing = {});
    ~MysqlAccountPools();  // close()
    MysqlAccountPools(const MysqlAccountPools&) = delete;
    MysqlAccountPools& operator=(const MysqlAccountPools&) = delete;

    // Opens a pool for every [account.NAME] section (the first of a repeated name), logging one line each.
    // Once, at start-up; blocks; not on a network thread.
    void open(const IniFile& config);
    // The pool of an account opened at start-up (names compare in any case); nullptr for any other name.
    MysqlPool* find(std::string_view name) const;
    const std::vector<Account>& accounts() const { return accounts_; }

    // The keep-alive of every pool (MysqlPool::heartbeat).
    void heartbeat(int thresholdSeconds);
    void close();

  private:
    EventLoops& loops_;
    PoolTiming timing_;
    std::vector<Account> accounts_;
};

}  // namespace kestrum
