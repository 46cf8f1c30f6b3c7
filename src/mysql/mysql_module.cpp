#include "mysql/mysql_module.h"

#include "log/log_writer.h"
#include "scheduler/task_registry.h"
#include "util/config_value.h"
#include "util/ini.h"
#include "util/text.h"

namespace kestrum {

MysqlModuleStatus startMysqlModule(MysqlPool& pool, TaskRegistry& registry, const std::string& runDir) {
    logLine("init/mysql", "connect database...");

    IniFile config = IniFile::load(runDir + "/mod/mysql/config.ini");
    std::string connectSum = config.get("sys", "connectSum", "5");
    std::string host = config.get("sys", "adress");
    // An extension: a server on another port than MySQL's own.
    const int port = static_cast<int>(configNumber(config.get("sys", "port"), 3306, 1, 65535));
    std::string user = config.get("sys", "user");
    std::string password = config.get("sys", "password");
    std::string database = config.get("sys", "database");
    // Without a bound an unreachable host holds start-up (and so the listeners) for minutes per connection.
    const int connectTimeout =
        static_cast<int>(configNumber(config.get("sys", "connect_timeout"), 10, 1, 3600));

    // Bytes of the JSON answer of one statement; beyond it the statement fails instead of taking memory
    // without bound.
    pool.setMaxAnswer(static_cast<uint64_t>(configNumber(
        config.get("sys", "max_answer"), static_cast<int64_t>(kDefaultMaxAnswer), 1, kMaxMaxAnswer)));

    MysqlModuleStatus status;
    status.configured = static_cast<int>(configNumber(connectSum, 0, 0, kMaxConnectSum));
    // utf8mb4 rather than MySQL's 3-byte "utf8", so characters outside the BMP (emoji) survive.
    status.connected =
        pool.open(status.configured, host, port, user, password, database, "utf8mb4", connectTimeout);
    status.poolText = std::to_string(status.connected) + "/" + connectSum;
    logLine("init/mysql", std::string("mysql pool connect success") + kFullWidthColon + status.poolText);
    status.routeOn = status.connected > 0;

    registry.registerTask(
        "1 * * * * *", "mysqlPoolHeart",
        [&pool](const std::string&, const std::string&, int64_t) {
            pool.heartbeat(60);
            logLine("init/mysql", "mysql pool heart.", true);
            return 0;
        },
        0);
    logLine("init/mysql", std::string("clock task add") + kFullWidthColon + "name(mysql heart),time(60s).");

    status.apiPath = config.get("sys", "api_url", "/api/mysql");
    return status;
}

bool runTaskStatement(MysqlPool& pool, const std::string& utf8Statement) {
    return !pool.run(utf8Statement).busy();
}

}  // namespace kestrum
