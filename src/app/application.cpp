#include "app/application.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <optional>

#include "app/app_state.h"
#include "app/descriptor_limit.h"
#include "app/fault_guard.h"
#include "app/metrics.h"
#include "app/readiness.h"
#include "app/redis_lease.h"
#include "app/reload.h"
#include "app/shared_rate.h"
#include "app/startup_report.h"
#include "app/task_file_watch.h"
#include "app/watchdog.h"
#include "http/api_envelope.h"
#include "http/callers.h"
#include "http/door_rules.h"
#include "http/http_api_server.h"
#include "log/log_writer.h"
#include "mysql/mysql_accounts.h"
#include "mysql/mysql_module.h"
#include "mysql/mysql_pool.h"
#include "mysql/mysql_result.h"
#include "redis/command_keys.h"
#include "redis/redis_endpoint.h"
#include "redis/redis_gateway.h"
#include "scheduler/http_client.h"
#include "scheduler/task_registry.h"
#include "scheduler/task_scheduler.h"
#include "util/config_value.h"
#include "util/encoding.h"
#include "util/event_loops.h"
#include "util/ini.h"
#include "util/local_address.h"
#include "util/service_notify.h"
#include "util/text.h"
#include "util/worker_pool.h"

namespace kestrum {
namespace {

// A positive size or duration setting; empty, 0, negative or no number gives the fallback.
int64_t positiveSetting(const std::string& text, int64_t fallback, int64_t highest = INT64_MAX) {
    return configNumber(text, fallback, 1, highest);
}

// A thread count setting: 0 (or nothing, or a negative number) lets the pool choose by the cores; a huge
// number asks for at most kMaxThreads.
constexpr int64_t kMaxThreads = 256;
int threadCount(const std::string& text) {
    return static_cast<int>(configNumber(text, 0, 0, kMaxThreads));
}

// The longest drain a configuration can ask for: an hour.
constexpr int64_t kMaxDrainSeconds = 3600;

// A start that is refused: the log is closed now and gets its final name, since the process ends without
// its shutdown.
void closeLogForGood(AppState& state) {
    unbindProcessLog();
    state.log.close();
}

}  // namespace

Application::Application(std::string runDir, StatusView& status)
    : status_(status),
      loops_(std::make_unique<EventLoops>(
          threadCount(IniFile::load(runDir + "/config.ini").get("sys", "network_threads")))),
      workers_(std::make_unique<WorkerPool>()) {
    registry_ = std::make_unique<TaskRegistry>(runDir);
    state_ = std::make_unique<AppState>();
    state_->runDir = std::move(runDir);
    routes_ = std::make_unique<RouteConfig>();
    mysql_ = std::make_unique<MysqlPool>(*loops_);
    mysqlAccounts_ = std::make_unique<MysqlAccountPools>(*loops_);
    redis_ = std::make_unique<RedisGateway>();
    http_ = std::make_unique<HttpApiServer>();
    scheduler_ = std::make_unique<TaskScheduler>(*registry_);
    registry_->setTaskCountListener(
        [this](int count) { status_.setText(StatusField::TaskCount, std::to_string(count)); });
    readiness_ = std::make_unique<Readiness>(*workers_);
    reloader_ = std::make_unique<ReloadWatcher>();
}

Application::~Application() {
    // Threads that could still use the other objects go first; then construction order, as the design wants
    // the log (inside AppState) closed and renamed right after the registry.
    reloader_.reset();
    watchdog_.reset();  // its timer is on a network thread
    scheduler_.reset();
    http_.reset();
    registry_.reset();
    unbindProcessLog();
    state_.reset();
    routes_.reset();
    mysql_.reset();
    mysqlAccounts_.reset();
    redis_.reset();
    workers_.reset();
    loops_.reset();
    metrics_.reset();
    readiness_.reset();
    taskFiles_.reset();
    startConfig_.reset();
}

bool Application::startup() {
    AppState& state = *state_;
    RouteConfig& routes = *routes_;
    state.startTime = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    const std::string& runDir = state.runDir;
    IniFile config = IniFile::load(runDir + "/config.ini");
    state.debug = config.get("sys", "onDebug") == "1";
    if (!config.exists())
        reportToUser("no " + runDir +
                     "/config.ini: every setting takes its default, both listeners stay off");

    installFaultGuard();

    LogWriter::OpenOptions options;
    options.runDir = runDir;
    options.fileName = dateTimeText(state.startTime) + "[end-time].txt";
    options.charset = parseLogCharset(config.get("sys", "log_charset"));
    // log_max_mb: 0 (or nothing) is no limit; log_keep: 0 keeps every closed file.
    constexpr int64_t kMiB = 1024 * 1024;
    options.maxBytes =
        static_cast<uint64_t>(configNumber(config.get("sys", "log_max_mb"), 0, 0, INT64_MAX / kMiB)) * kMiB;
    options.keep = static_cast<int>(configNumber(config.get("sys", "log_keep"), 0, 0, INT_MAX));
    state.log.open(options);
    if (!state.log.isOpen())
        reportToUser(logFileFailureReason(state.log.filePath()) + "; this run keeps no log");
    bindProcessLog(&state.log, state.debug);

    logLine("sys", "thanks for use kestrum.");
    logLine("sys", "kestrum middleware server, built by the kestrum developers.");

    // Every connection holds a descriptor; a service manager's soft limit (often 1024) would stop the
    // listeners at about a thousand clients. Raised before any module opens a socket.
    const DescriptorLimit limit = raiseDescriptorLimit();

    // The network threads serve the HTTP listeners and drive the back-end connections; the workers take the
    // long jobs (large results). Both exist before any module opens.
    if (!loops_->start() || !workers_->start(threadCount(config.get("sys", "worker_threads")))) {
        logLine("server/error", "threads could not be started.");
        closeLogForGood(state);
        return false;
    }
    // Under a service manager that asked for it (NOTIFY_SOCKET): ready once the listeners are up, then alive
    // for as long as every network loop and the scheduler keep turning.
    watchdog_ = std::make_unique<Watchdog>(*loops_, ServiceNotify::fromEnvironment());
    watchdog_->watch([scheduler = scheduler_.get()]() -> std::optional<uint64_t> {
        if (!scheduler->running())
            return std::nullopt;
        return scheduler->supervisorTurns();
    });

    // The TLS files decide whether the process runs at all: they are read before any module connects to its
    // back end, so a refused start leaves no half-opened pool behind.
    if (!http_->loadTls(runDir)) {
        reportServerPreparationFailure(runDir);
        closeLogForGood(state);
        return false;
    }
    startConfig_ = std::make_unique<ConfigSnapshot>(ConfigSnapshot::take(runDir));
    drainSeconds_ =
        static_cast<int>(configNumber(config.get("sys", "drain_seconds"), 0, 0, kMaxDrainSeconds));

    // The metrics page counts from the first task run on.
    const std::string metricsPath = config.get("sys", "metrics_path");
    if (!metricsPath.empty())
        metrics_ = std::make_shared<MetricsPage>();

    startModules();

    PublicAddress publicAddress = lookupPublicAddress(config.get("sys", "ip_lookup_url"), &stopping_);
    const std::string local = localAddress(config.get("sys", "local_ip"));
    logLine("server", std::string("ip") + kFullWidthColon + "local(" + local + "),net(" + publicAddress.ip +
                          "),location(" + publicAddress.location + ").");

    routes.heartbeatPath = config.get("sys", "api_heart_url", "/api/this/heart");
    status_.setText(StatusField::Heartbeat, routes.heartbeatPath);
    logLine("server", std::string("heart pack url") + kFullWidthColon + routes.heartbeatPath);

    HttpSettings settings;
    settings.localAddress = local;
    settings.runDir = runDir;
    settings.maxBody = static_cast<size_t>(
        positiveSetting(config.get("sys", "max_body"), static_cast<int64_t>(settings.maxBody)));
    settings.idleTimeoutSeconds =
        static_cast<int>(positiveSetting(config.get("sys", "idle_timeout"), 60, INT_MAX));
    // However slowly its bytes come, a request's head and body get a fixed time each.
    settings.headerTimeoutSeconds =
        static_cast<int>(positiveSetting(config.get("sys", "header_timeout"), 10, INT_MAX));
    settings.bodyTimeoutSeconds =
        static_cast<int>(positiveSetting(config.get("sys", "body_timeout"), 60, INT_MAX));
    // And every request ends: one whose answer does not come in time closes its connection.
    settings.requestTimeoutSeconds =
        static_cast<int>(positiveSetting(config.get("sys", "request_timeout"), 120, INT_MAX));
    // max_connections: 0 is no limit of our own, so only the descriptor limit counts.
    const std::string configured = config.get("sys", "max_connections");
    const long long maxConnections = configured.empty() ? 10000 : leadingInt64(configured);
    settings.maxConnections = maxConnections > 0 ? static_cast<size_t>(maxConnections) : 0;
    settings.proxyProtocol = config.get("sys", "proxy_protocol") == "1";
    RouteTable table;
    table.heartbeatPath = routes.heartbeatPath;
    table.mysqlOn = routes.mysqlOn;
    table.mysqlPath = routes.mysqlPath;
    table.mysql = [pool = mysql_.get(), accounts = mysqlAccounts_.get(), workers = workers_.get()](
                      RequestContext request, EndpointDone done) {
        // A caller bound to an account runs its statements on that account's pool only, never on the main
        // one.
        MysqlPool* chosen = pool;
        if (request.caller != nullptr && !request.caller->mysqlAccount.empty()) {
            chosen = accounts->find(request.caller->mysqlAccount);
            if (chosen == nullptr) {
                done(buildEnvelope(501, "mysql account " + request.caller->mysqlAccount +
                                            " has no pool: a restart opens it."));
                return;
            }
        }
        handleMysqlRequest(*chosen, workers, std::move(request), std::move(done));
    };
    table.redisOn = routes.redisOn;
    table.redisPath = routes.redisPath;
    table.redis = [gateway = redis_.get()](RequestContext request, EndpointDone done) {
        handleRedisRequest(*gateway, std::move(request), std::move(done));
    };
    table.door = routes.door;
    // rate_shared callers count in the lease database, which every instance shares.
    if (routes.redisOn) {
        if (LeaseSettings lease = loadLeaseSettings(runDir); lease.on) {
            table.sharedRate = [gateway = redis_.get(), db = lease.db](const Caller& caller,
                                                                       std::function<void(int64_t)> done) {
                countSharedRate(*gateway, db, caller, std::move(done));
            };
        }
    }
    if (metrics_) {
        table.metricsPath = metricsPath;
        table.metricsPage = [metrics = metrics_.get()] { return metrics->scrape(); };
        table.meter = &metrics_->meter();
        metrics_->setOpenConnectionsProbe([http = http_.get()] { return http->openConnections(); });
        metrics_->setBackendProbe(backendProbe());
    }
    const std::string readyPath = config.get("sys", "ready_path");
    if (!readyPath.empty()) {
        table.readyPath = readyPath;
        table.readyCheck = [readiness = readiness_.get()](Readiness::Answer answer) {
            readiness->check(std::move(answer));
        };
    }
    addReadinessChecks(config.get("sys", "port_http"), config.get("sys", "port_https"));
    if (!http_->prepareServers(*loops_, settings, std::move(table))) {
        reportServerPreparationFailure(runDir);
        closeLogForGood(state);
        return false;
    }
    if (!config.get("sys", "port_https").empty())
        reportDefaultTlsProblems(runDir);

    if (maxConnections > 0 && static_cast<uint64_t>(maxConnections) > connectionsAllowedBy(limit)) {
        logLine("server", std::string("max connections above descriptor limit") + kFullWidthColon +
                              "max_connections(" + std::to_string(maxConnections) + "),limit(" +
                              std::to_string(limit.soft) + ").");
    }

    struct Listener {
        ServerKind kind;
        const char* key;
        const char* scheme;
        const char* logType;
        StatusField field;
        std::atomic<int>* started;
    };
    const Listener listeners[] = {
        {ServerKind::Http, "port_http", "http://", "server/http", StatusField::Http, &httpStarted_},
        {ServerKind::Https, "port_https", "https://", "server/https", StatusField::Https, &httpsStarted_},
    };
    for (const Listener& listener : listeners) {
        std::string port = config.get("sys", listener.key);
        if (port.empty()) {
            status_.setText(listener.field, std::string(listener.scheme) + "off");
            continue;
        }
        ++listenersWanted_;
        // A text that is no port number fails like a port in use, instead of listening somewhere else.
        const int number = readPortText(port);
        int result = number == 0 ? 0 : http_->startListener(listener.kind, number);
        listener.started->store(result);
        if (result == 1) {
            status_.setText(listener.field, std::string(listener.scheme) + local + ":" + port);
            logLine(listener.logType, std::string("start success") + kFullWidthColon + "port(" + port + ").");
        } else {
            status_.setText(listener.field, std::string(listener.scheme) + "fail");
            logLine(listener.logType, std::string("start fail") + kFullWidthColon + "port(" + port +
                                          "),reason(the poar maybe useing).");
            reportToUser(listenerFailure(listener.key, port, local));
        }
    }

    // SIGHUP from now on: the keys that need a restart are named, the door's rules, the TLS contexts and the
    // task files are read again.
    reloader_->addStep([] { logLine("app/reload", std::string("reload") + kFullWidthColon + "SIGHUP."); });
    reloader_->addStep([this] {
        for (const std::string& key :
             ConfigSnapshot::changedKeys(*startConfig_, ConfigSnapshot::take(state_->runDir))) {
            // The door's own step takes these in.
            if (equalsIgnoreCase(key, "config.ini [sys] whitelist") ||
                equalsIgnoreCase(key, "config.ini [sys] trusted_proxies"))
                continue;
            logLine("app/reload", std::string("restart needed") + kFullWidthColon + "key(" + key + ").");
        }
    });
    // The door first: whether clients that name a host are asked for a certificate follows its callers.
    reloader_->addStep([this] { reloadDoor(); });
    reloader_->addStep([http = http_.get()] { http->reloadTls(); });
    if (taskFiles_)
        reloader_->addStep([watch = taskFiles_.get()] { watch->reload(); });
    reloader_->start();
    if (watchdog_->enabled()) {
        watchdog_->ready();
        const auto interval = std::chrono::duration_cast<std::chrono::milliseconds>(watchdog_->interval());
        logLine("server",
                std::string("service manager") + kFullWidthColon + "ready" +
                    (interval.count() > 0 ? ",watchdog(" + std::to_string(interval.count()) + " ms)."
                                          : std::string(".")));
    }
    return true;
}

void Application::addReadinessChecks(const std::string& portHttp, const std::string& portHttps) {
    const std::string& runDir = state_->runDir;
    struct Wanted {
        const char* name;
        std::string port;
        const std::atomic<int>* started;
    };
    for (Wanted wanted :
         {Wanted{"http", portHttp, &httpStarted_}, Wanted{"https", portHttps, &httpsStarted_}}) {
        if (wanted.port.empty())
            continue;
        readiness_->addCheck([wanted] {
            return wanted.started->load() == 1
                       ? std::string()
                       : std::string(wanted.name) + ": port " + wanted.port + " not listening";
        });
    }
    // The modules as configured: a module that is on but opened nothing is down, not absent.
    auto moduleOn = [&](const char* name) {
        return readIniValue(runDir + "/mod/" + name + "/config.ini", "sys", "on", "1") == "1";
    };
    if (moduleOn("mysql")) {
        const int wanted = static_cast<int>(configNumber(
            readIniValue(runDir + "/mod/mysql/config.ini", "sys", "connectSum", "5"), 0, 0, kMaxConnectSum));
        readiness_->addCheck([pool = mysql_.get(), wanted] {
            // A keep-alive on every idle connection first: one the server dropped is found (and reconnected
            // when the server is back) before it is counted.
            if (pool->slotCount() > 0)
                pool->heartbeat(0);
            const int up = pool->connectedCount();
            if (up > 0)
                return std::string();
            return "mysql: 0 of " + std::to_string(std::max(wanted, pool->slotCount())) +
                   " connections usable";
        });
        // Every account's pool too: a caller bound to one has no other.
        for (const MysqlAccountPools::Account& account : mysqlAccounts_->accounts()) {
            readiness_->addCheck(
                [pool = account.pool.get(), name = account.name, wanted = account.configured] {
                    if (pool->slotCount() > 0)
                        pool->heartbeat(0);
                    if (pool->connectedCount() > 0)
                        return std::string();
                    return "mysql account(" + name + "): 0 of " +
                           std::to_string(std::max(wanted, pool->slotCount())) + " connections usable";
                });
        }
    }
    if (moduleOn("redis")) {
        std::vector<std::string> keys;
        std::vector<std::string> counts;
        readSection(runDir + "/mod/redis/config.ini", "dbsum", keys, counts);
        for (size_t i = 0; i < keys.size(); ++i) {
            const int32_t db = leadingInt(keys[i]);
            const int wanted = std::max(0, leadingInt(counts[i]));
            readiness_->addCheck([gateway = redis_.get(), db, wanted] {
                const std::string name = "redis db(" + std::to_string(db) + ")";
                int opened = -1;
                for (const DatabaseEntry& entry : gateway->databases()) {
                    if (entry.db == db) {
                        opened = entry.connected;
                        break;
                    }
                }
                if (opened <= 0)
                    return name + ": 0 of " + std::to_string(wanted) + " connections usable";
                // A command through the set: a connection the server dropped is opened again on the way.
                std::string result;
                std::string error;
                if (gateway->runOrder(db, "PING", result, error))
                    return std::string();
                return name + ": no usable connection (" + (error.empty() ? "no answer" : error) + ")";
            });
        }
    }
}

void Application::beginDrain() {
    if (readiness_->draining())
        return;
    readiness_->beginDrain();
    if (watchdog_)
        watchdog_->stopping();
    logLine("app/end", std::string("drain") + kFullWidthColon + "seconds(" + std::to_string(drainSeconds_) +
                           "),not ready from now on.");
}

void Application::reload() {
    reloader_->reloadNow();
}

std::function<std::vector<BackendConnections>()> Application::backendProbe() const {
    const std::string& runDir = state_->runDir;
    // Configured counts: the connections that are not up are down.
    int mysqlWanted = 0;
    if (routes_->mysqlOn)
        mysqlWanted = static_cast<int>(configNumber(
            readIniValue(runDir + "/mod/mysql/config.ini", "sys", "connectSum", "5"), 0, 0, kMaxConnectSum));
    std::vector<BackendConnections> redisSets;
    if (routes_->redisOn) {
        std::vector<std::string> keys;
        std::vector<std::string> counts;
        readSection(runDir + "/mod/redis/config.ini", "dbsum", keys, counts);
        for (const DatabaseEntry& entry : redis_->databases()) {
            BackendConnections set{"redis", std::to_string(entry.db), entry.connected, 0};
            for (size_t i = 0; i < keys.size(); ++i) {
                if (leadingInt(keys[i]) == entry.db)
                    set.down = std::max(0, leadingInt(counts[i]) - entry.connected);
            }
            redisSets.push_back(std::move(set));
        }
    }
    const bool mysqlOn = routes_->mysqlOn;
    return [pool = mysql_.get(), mysqlOn, mysqlWanted, redisSets] {
        std::vector<BackendConnections> out;
        if (mysqlOn) {
            const int up = pool->connectedCount();
            out.push_back({"mysql", "", up, std::max(0, std::max(mysqlWanted, pool->slotCount()) - up)});
        }
        // The Redis sets report the connections they opened at start.
        out.insert(out.end(), redisSets.begin(), redisSets.end());
        return out;
    };
}

void Application::startModules() {
    const std::string& runDir = state_->runDir;
    RouteConfig& routes = *routes_;
    auto moduleOn = [&](const char* name) {
        return readIniValue(runDir + "/mod/" + name + "/config.ini", "sys", "on", "1") == "1";
    };
    routes.mysqlOn = moduleOn("mysql");
    routes.redisOn = moduleOn("redis");
    routes.cronOn = moduleOn("crontab");

    if (routes.mysqlOn) {
        MysqlModuleStatus mysql = startMysqlModule(*mysql_, *registry_, runDir, mysqlAccounts_.get());
        routes.mysqlOn = mysql.routeOn;
        routes.mysqlPath = mysql.apiPath;
        routes.mysqlPathLength = static_cast<int>(mysql.apiPath.size());
        status_.setText(StatusField::MysqlPool, mysql.poolText);
        status_.setText(StatusField::MysqlUrl, mysql.apiPath);
        status_.setMarkVisible(ModuleMark::Mysql, false);
    }
    if (routes.redisOn) {
        // Large values are converted on the workers, not on the network threads.
        redis_->setOffload([workers = workers_.get()](std::function<void()> job) {
            return workers->submit(std::move(job));
        });
        routes.redisPath = redis_->openSets(runDir, *loops_);
        routes.redisPathLength = static_cast<int>(routes.redisPath.size());
        status_.setText(StatusField::RedisUrl, routes.redisPath);
        status_.setMarkVisible(ModuleMark::Redis, false);
    }
    if (routes.cronOn) {
        routes.cronPath = readIniValue(runDir + "/mod/crontab/config.ini", "sys", "api_url", "/api/crontab");
        routes.cronPathLength = static_cast<int>(routes.cronPath.size());
        registry_->loadTaskFiles();
        // What a reload compares with: the files as they were registered.
        taskFiles_ = std::make_unique<TaskFileWatch>(*registry_);
        taskFiles_->remember();
        status_.setMarkVisible(ModuleMark::Cron, false);
    }

    // Which arguments of a command are keys: the callers' key patterns are checked against every one.
    if (routes.redisOn) {
        auto table = std::make_shared<RedisKeyTable>();
        if (fetchRedisKeyTable(redis_->host(), redis_->port(), loadRedisConfig(runDir).password, 5000,
                               *table)) {
            redis_->setKeyTable(std::move(table));
        } else {
            logLine("redis",
                    "command table not read: callers with key patterns may use only commands "
                    "without keys.");
        }
    }

    std::string problem;
    routes.door->replace(readDoorRules(true, problem));
    if (!problem.empty())
        logLine("sys", problem);

    // "sql" tasks reach the pool only while the MySQL module runs. The result is not looked at beyond its
    // outcome: the slot goes back when it is destroyed.
    if (routes.mysqlOn)
        scheduler_->setSqlRunner(
            [pool = mysql_.get()](const std::string& utf8Statement, const std::string& params) {
                return runTaskSql(*pool, utf8Statement, params);
            });
    // Several instances on one Redis: each due moment of a task file runs on the instance that claims it.
    if (routes.cronOn) {
        LeaseSettings lease = loadLeaseSettings(runDir);
        const int32_t db = lease.db;
        scheduler_->setLease(
            std::move(lease),
            [gateway = redis_.get(), db](const std::string& key, const std::string& value, int64_t ttlMs) {
                return claimRedisLease(*gateway, db, key, value, ttlMs);
            });
    }
    if (metrics_) {
        // The metrics page is shared with the events: a program's run may end on a watcher thread late in the
        // shutdown, and a task thread abandoned in its callback may return after the application is gone.
        TaskEvents events;
        events.runStarted = [metrics = metrics_](const std::string& name, double lateness) {
            metrics->recordTaskStart(gbkToUtf8(name), lateness);
        };
        events.runFinished = [metrics = metrics_](const std::string& name, RunResult result, double seconds) {
            metrics->recordTaskRun(gbkToUtf8(name), runResultName(result), seconds,
                                   result == RunResult::Success);
        };
        events.skipped = [metrics = metrics_](const std::string& name, SkipReason reason) {
            metrics->recordTaskSkip(gbkToUtf8(name), skipReasonName(reason));
        };
        scheduler_->setTaskEvents(std::move(events));
    }
    scheduler_->startSupervisor();
    logLine("app/init", "will be free.");
}

void Application::shutdown() {
    if (watchdog_)
        watchdog_->stopping();
    reloader_->stop();
    readiness_->beginDrain();
    if (httpStarted_.load() == 1 && http_->stopListener(ServerKind::Http) == 1)
        httpStarted_ = 0;
    if (httpsStarted_.load() == 1 && http_->stopListener(ServerKind::Https) == 1)
        httpsStarted_ = 0;
    http_->releaseServers();
    // The tasks before the back ends: a task's lease claim goes through Redis.
    scheduler_->stopTasks();
    // Redis commands still in flight are answered; the connections close on their own threads.
    redis_->close();
    mysql_->close();
    mysqlAccounts_->close();
    routes_->door->replace(nullptr);
    logLine("app/end", "will be free.");
    // The shutdown's lines are in the file when it returns, whatever ends the process next.
    flushProcessLog();
    removeFaultGuard();
    // Last: the jobs still running finish, then the network threads stop (the watchdog's pings with them).
    workers_->stop();
    if (watchdog_)
        watchdog_->stop();
    loops_->stop();
}

std::shared_ptr<const DoorRules> Application::readDoorRules(bool atStartup, std::string& problem) const {
    const std::string& runDir = state_->runDir;
    IniFile config = IniFile::load(runDir + "/config.ini");
    const std::string local = localAddress(config.get("sys", "local_ip"));
    const std::string whitelist = config.get("sys", "whitelist");
    const std::string proxies = config.get("sys", "trusted_proxies");
    if (!atStartup) {
        for (const char* key : {"whitelist", "trusted_proxies"}) {
            AddressList list = parseAddressList(config.get("sys", key));
            if (!list.bad.empty()) {
                problem = std::string("config.ini: [sys] ") + key + "=" + list.bad.front().entry + ": " +
                          list.bad.front().error;
                return nullptr;
            }
        }
    }
    CallerRules::LoadResult callers = CallerRules::load(runDir + "/callers.ini", local);
    std::shared_ptr<const CallerRules> rules;
    switch (callers.status) {
        case CallerRules::LoadStatus::kMissing:
            break;
        case CallerRules::LoadStatus::kLoaded:
            rules = callers.rules;
            break;
        case CallerRules::LoadStatus::kFailed:
            problem = callers.firstProblemLine("callers.ini");
            if (!atStartup)
                return nullptr;
            rules = std::make_shared<const CallerRules>();
            break;
    }
    return makeDoorRules(whitelist, proxies, local, std::move(rules),
                         metrics_ ? &metrics_->meter().callers() : nullptr);
}

bool Application::reloadDoor() {
    std::string problem;
    std::shared_ptr<const DoorRules> rules = readDoorRules(false, problem);
    if (!rules) {
        logLine("app/reload",
                "reload refused" + std::string(kFullWidthColon) + problem + ",the rules in force stay.");
        return false;
    }
    const size_t callers = rules->callers ? rules->callers->callers().size() : 0;
    const bool inUse = rules->callersInUse();
    reportAccountsWithoutPool(*rules);
    routes_->door->replace(std::move(rules));
    logLine("app/reload", "reload success" + std::string(kFullWidthColon) + "whitelist,trusted_proxies" +
                              (inUse ? ",callers(" + std::to_string(callers) + ")." : std::string(".")));
    return true;
}

void Application::reportAccountsWithoutPool(const DoorRules& rules) const {
    if (!routes_->mysqlOn || !rules.callers)
        return;
    std::string missing;
    for (const Caller& caller : rules.callers->callers()) {
        if (caller.mysqlAccount.empty() || mysqlAccounts_->find(caller.mysqlAccount) != nullptr)
            continue;
        missing += (missing.empty() ? "" : ",") + caller.name + "(" + caller.mysqlAccount + ")";
    }
    if (!missing.empty())
        logLine("app/reload", "mysql account without pool" + std::string(kFullWidthColon) + "callers(" +
                                  missing + "),their mysql requests fail until a restart.");
}

bool Application::addTaskFile(const std::string& name) {
    return registry_->addTaskFile(name);
}

bool Application::deleteTask(const std::string& name) {
    return registry_->deleteTask(name);
}

void Application::setEditedFile(std::string path) {
    routes_->editedFile = std::move(path);
}

}  // namespace kestrum
