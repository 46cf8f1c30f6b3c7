#include "mysql/mysql_module.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "log/log_writer.h"
#include "scheduler/task_registry.h"
#include "util/ini.h"

namespace kestrum {

namespace {

// Log texts in the internal encoding: "：" is A3 BA.
constexpr const char* kPoolSuccess = "mysql pool connect success\xA3\xBA";
constexpr const char* kHeartTaskAdded = "clock task add\xA3\xBAname(mysql heart),time(60s).";

// The leading decimal integer of a configuration value (blanks and sign first), clamped to [0, limit].
int leadingCount(const std::string& text, int limit) {
    errno = 0;
    char* end = nullptr;
    long long value = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || value <= 0)
        return 0;
    return value > limit ? limit : static_cast<int>(value);
}

}  // namespace

MysqlModuleStatus startMysqlModule(MysqlPool& pool, TaskRegistry& registry, const std::string& runDir) {
    logLine("init/mysql", "connect database...");

    IniFile config = IniFile::load(runDir + "/mod/mysql/config.ini");
    std::string connectSum = config.get("sys", "connectSum", "5");
    std::string host = config.get("sys", "adress");
    // An extension: a server on another port than MySQL's own.
    int port = leadingCount(config.get("sys", "port", "3306"), 65535);
    if (port <= 0)
        port = 3306;
    std::string user = config.get("sys", "user");
    std::string password = config.get("sys", "password");
    std::string database = config.get("sys", "database");
    // Without a bound an unreachable host holds start-up (and so the listeners) for minutes per connection.
    int connectTimeout = leadingCount(config.get("sys", "connect_timeout", "10"), 3600);
    if (connectTimeout <= 0)
        connectTimeout = 10;

    MysqlModuleStatus status;
    status.configured = leadingCount(connectSum, kMaxConnectSum);
    // utf8mb4 rather than MySQL's 3-byte "utf8", so characters outside the BMP (emoji) survive.
    status.connected =
        pool.open(status.configured, host, port, user, password, database, "utf8mb4", connectTimeout);
    status.poolText = std::to_string(status.connected) + "/" + connectSum;
    logLine("init/mysql", kPoolSuccess + status.poolText);
    status.routeOn = status.connected > 0;

    registry.registerTask(
        "1 * * * * *", "mysqlPoolHeart",
        [&pool](const std::string&, const std::string&, int64_t) {
            pool.heartbeat(60);
            logLine("init/mysql", "mysql pool heart.", true);
            return 0;
        },
        0);
    logLine("init/mysql", kHeartTaskAdded);

    status.apiPath = config.get("sys", "api_url", "/api/mysql");
    return status;
}

bool runTaskStatement(MysqlPool& pool, const std::string& utf8Statement) {
    return !pool.run(utf8Statement).busy();
}

}  // namespace kestrum
