#include "mysql/mysql_module.h"

#include "log/log_writer.h"
#include "mysql/mysql_accounts.h"
#include "mysql/sql_request.h"
#include "scheduler/task_registry.h"
#include "util/encoding.h"
#include "util/ini.h"
#include "util/text.h"

namespace kestrum {

MysqlModuleStatus startMysqlModule(MysqlPool& pool, TaskRegistry& registry, const std::string& runDir,
                                   MysqlAccountPools* accounts) {
    logLine("init/mysql", "connect database...");

    IniFile config = IniFile::load(runDir + "/mod/mysql/config.ini");
    const MysqlPoolSettings settings = readMysqlPoolSettings(config, "sys");
    pool.setMaxAnswer(settings.maxAnswer);
    pool.setStatementCache(settings.statementCache);
    pool.setMaxBatch(settings.maxBatch);
    pool.setStatementTimeout(std::chrono::seconds(settings.statementTimeout));

    MysqlModuleStatus status;
    status.configured = settings.configured;
    // utf8mb4 rather than MySQL's 3-byte "utf8", so characters outside the BMP (emoji) survive.
    status.connected = pool.open(status.configured, settings.host, settings.port, settings.user,
                                 settings.password, settings.database, "utf8mb4", settings.connectTimeout);
    status.poolText = std::to_string(status.connected) + "/" + settings.connectSum;
    logLine("init/mysql", std::string("mysql pool connect success") + kFullWidthColon + status.poolText);
    if (accounts != nullptr)
        accounts->open(config);
    status.routeOn = status.connected > 0;

    registry.registerTask(
        "1 * * * * *", "mysqlPoolHeart",
        [&pool, accounts](const std::string&, const std::string&, int64_t) {
            pool.heartbeat(60);
            if (accounts != nullptr)
                accounts->heartbeat(60);
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

namespace kestrum {

SqlOutcome runTaskSql(MysqlPool& pool, const std::string& utf8Statement, const std::string& params) {
    SqlOutcome outcome;
    SqlStatement statement;
    statement.text = utf8Statement;
    if (!params.empty()) {
        std::string error;
        if (!parseSqlParams(params, statement, error)) {
            outcome.status = SqlOutcome::Status::Failed;
            outcome.errorText = gbkToUtf8(error);
            return outcome;
        }
    }
    const MysqlResult result = pool.run(std::move(statement));
    if (result.done()) {
        outcome.status = SqlOutcome::Status::Done;
    } else if (result.failed()) {
        outcome.status = SqlOutcome::Status::Failed;
        outcome.errorNumber = result.errorNumber();
        outcome.errorText = result.errorText();
    }
    return outcome;
}

}  // namespace kestrum
