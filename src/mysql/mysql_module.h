// The MySQL module: start-up of the process-wide pool, the SQL endpoint, and the statement runner of "sql"
// tasks.
//
// Configuration: runDir/mod/mysql/config.ini, section [sys]: on, connectSum ("5"), adress, port ("3306"),
// user, password, database, api_url ("/api/mysql"), connect_timeout (seconds, "10"), max_answer (bytes of
// one JSON answer, 64 MiB), statement_timeout (seconds a statement may take, "0": no bound), statement_cache
// (prepared statements kept per connection, 64) and max_batch (statements of one batch, 100). Connections
// speak utf8mb4. Sections [account.NAME] add pools of other accounts (mysql/mysql_accounts.h).
#pragma once

#include <cstdint>
#include <string>

#include "http/request_context.h"
#include "mysql/mysql_pool.h"
#include "scheduler/task_registry.h"

namespace kestrum {

class MysqlAccountPools;
class TaskRegistry;
class WorkerPool;

struct MysqlModuleStatus {
    bool routeOn = false;  // false when no connection opened: requests are not routed to the endpoint
    std::string apiPath;   // the URL prefix of the endpoint (api_url)
    int connected = 0;     // slots opened
    int configured = 0;    // connectSum as a number (0 .. kMaxConnectSum)
    std::string poolText;  // connected + "/" + the connectSum text as written: the window's pool figure
};

// Upper bound for connectSum: a larger value (or a typo such as "50000") is clamped instead of exhausting
// memory, the server's connection limit and start-up time.
inline constexpr int kMaxConnectSum = 1000;
// Upper bound for max_answer (16 GiB).
inline constexpr int64_t kMaxMaxAnswer = 16ll * 1024 * 1024 * 1024;
// Upper bound for statement_timeout (a day).
inline constexpr int64_t kMaxStatementTimeout = 24 * 3600;
// Upper bounds for statement_cache and max_batch.
inline constexpr int64_t kMaxStatementCache = 100000;
inline constexpr int64_t kMaxMaxBatch = 100000;

// Reads runDir/mod/mysql/config.ini, opens the pool (logging "connect database..." and the pool figure), then
// the pools of the [account.NAME] sections into `accounts` (when given), and registers the once-a-minute
// keep-alive task "mysqlPoolHeart" for all of them. The caller decides beforehand whether the module is on.
MysqlModuleStatus startMysqlModule(MysqlPool& pool, TaskRegistry& registry, const std::string& runDir,
                                   MysqlAccountPools* accounts = nullptr);

// The endpoint, called on a network thread: parses the posted {"sql": ...} body, logs it and starts the
// statement; `done` gets the envelope text (internal encoding) once the statement has run. Turning a large
// result into JSON is left to `workers` (when given), so no network thread spends long on it.
void handleMysqlRequest(MysqlPool& pool, WorkerPool* workers, RequestContext request, EndpointDone done);

// Runs one UTF-8 statement for a scheduled "sql" task and hands the slot back; the result is not looked at.
// True when the statement ran (successfully or with a server error); false when no slot became free. Blocks;
// not on a network thread.
bool runTaskStatement(MysqlPool& pool, const std::string& utf8Statement);

// The statement of a "sql" task: with `params` (the task file's JSON array of values, internal text) it runs
// as a prepared statement whose values bind as the endpoint's do; values that do not fit the statement fail
// it (error number 0, the reason as text) before anything runs. Blocks; not on a network thread.
SqlOutcome runTaskSql(MysqlPool& pool, const std::string& utf8Statement, const std::string& params);

}  // namespace kestrum
