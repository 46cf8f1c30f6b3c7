#include "mysql/mysql_accounts.h"

#include "log/log_writer.h"
#include "mysql/mysql_module.h"
#include "util/config_value.h"
#include "util/ini.h"
#include "util/text.h"

namespace kestrum {
namespace {

constexpr std::string_view kAccountPrefix = "account.";

}  // namespace

MysqlPoolSettings readMysqlPoolSettings(const IniFile& config, std::string_view section) {
    // The server and the session settings of an account are [sys]'s unless the account says otherwise.
    auto shared = [&](std::string_view key, std::string_view defaultValue = {}) {
        return config.get(section, key, config.get("sys", key, defaultValue));
    };
    MysqlPoolSettings settings;
    settings.connectSum = config.get(section, "connectSum", "5");
    settings.configured = static_cast<int>(configNumber(settings.connectSum, 0, 0, kMaxConnectSum));
    settings.host = shared("adress");
    // An extension: a server on another port than MySQL's own.
    settings.port = static_cast<int>(configNumber(shared("port"), 3306, 1, 65535));
    settings.user = config.get(section, "user");
    settings.password = config.get(section, "password");
    settings.database = shared("database");
    // Without a bound an unreachable host holds start-up (and so the listeners) for minutes per connection.
    settings.connectTimeout = static_cast<int>(configNumber(shared("connect_timeout"), 10, 1, 3600));
    // Bytes of the JSON answer of one statement; beyond it the statement fails instead of taking memory
    // without bound.
    settings.maxAnswer = static_cast<uint64_t>(
        configNumber(shared("max_answer"), static_cast<int64_t>(kDefaultMaxAnswer), 1, kMaxMaxAnswer));
    // Prepared statements kept per connection (0: each closed after use), and statements of one batch.
    settings.statementCache = static_cast<size_t>(
        configNumber(shared("statement_cache"), kDefaultStatementCache, 0, kMaxStatementCache));
    settings.maxBatch =
        static_cast<size_t>(configNumber(shared("max_batch"), kDefaultMaxBatch, 1, kMaxMaxBatch));
    // Seconds a statement may take before its connection is given up (a server gone silent would otherwise
    // hold the slot for good); 0: no bound.
    settings.statementTimeout =
        static_cast<int>(configNumber(shared("statement_timeout"), 0, 0, kMaxStatementTimeout));
    return settings;
}

std::string mysqlAccountOfSection(std::string_view section) {
    if (section.size() <= kAccountPrefix.size() ||
        !equalsIgnoreCase(section.substr(0, kAccountPrefix.size()), kAccountPrefix))
        return {};
    return std::string(section.substr(kAccountPrefix.size()));
}

MysqlAccountPools::MysqlAccountPools(EventLoops& loops, PoolTiming timing)
    : loops_(loops), timing_(std::move(timing)) {}

MysqlAccountPools::~MysqlAccountPools() {
    close();
}

void MysqlAccountPools::open(const IniFile& config) {
    if (!accounts_.empty())
        return;
    for (const IniFile::Section& section : config.sections()) {
        std::string name = mysqlAccountOfSection(section.name);
        if (name.empty() || find(name) != nullptr)
            continue;
        const MysqlPoolSettings settings = readMysqlPoolSettings(config, section.name);
        Account account{name, settings.configured, std::make_unique<MysqlPool>(loops_, timing_)};
        account.pool->setMaxAnswer(settings.maxAnswer);
        account.pool->setStatementCache(settings.statementCache);
        account.pool->setMaxBatch(settings.maxBatch);
        account.pool->setStatementTimeout(std::chrono::seconds(settings.statementTimeout));
        // utf8mb4, as the main pool.
        const int connected =
            account.pool->open(settings.configured, settings.host, settings.port, settings.user,
                               settings.password, settings.database, "utf8mb4", settings.connectTimeout);
        logLine("init/mysql", std::string("mysql account pool connect success") + kFullWidthColon +
                                  "account(" + name + "),pool(" + std::to_string(connected) + "/" +
                                  settings.connectSum + ").");
        accounts_.push_back(std::move(account));
    }
}

MysqlPool* MysqlAccountPools::find(std::string_view name) const {
    for (const Account& account : accounts_) {
        if (equalsIgnoreCase(account.name, name))
            return account.pool.get();
    }
    return nullptr;
}

void MysqlAccountPools::heartbeat(int thresholdSeconds) {
    for (const Account& account : accounts_)
        account.pool->heartbeat(thresholdSeconds);
}

void MysqlAccountPools::close() {
    for (const Account& account : accounts_)
        account.pool->close();
}

}  // namespace kestrum
