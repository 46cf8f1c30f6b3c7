// Application: owns the process's global objects and runs the start-up and shutdown routines.
//
// The start-up brings the modules up in a fixed order (MySQL pool, Redis sets, task files, whitelist,
// scheduler supervisor, public address, heartbeat path, servers, HTTP listener, HTTPS listener), logging each
// step and showing its outcome through the StatusView. The shutdown takes them down again. Both are called by
// the front end (the window or the headless console), never concurrently.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/status_view.h"

namespace kestrum {

struct AppState;
struct RouteConfig;
class TaskRegistry;
class TaskScheduler;
class MysqlAccountPools;
class MysqlPool;
class RedisGateway;
class HttpApiServer;
class MetricsPage;
struct BackendConnections;
struct DoorRules;
class EventLoops;
class WorkerPool;
class Readiness;
class ReloadWatcher;
class TaskFileWatch;
class Watchdog;
class ConfigSnapshot;

class Application {
  public:
    Application(std::string runDir, StatusView& status);
    ~Application();  // destroys the global objects in construction order; closing the log renames its file
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Returns false when the servers could not be prepared (TLS, checked before any module opens); the log
    // is then closed with its final name and the caller must end the process at once.
    bool startup();
    // After startup(): at least one listener was configured and none of them started.
    bool servingNothing() const { return listenersWanted_ > 0 && httpStarted_ != 1 && httpsStarted_ != 1; }
    // The first step of the shutdown: readiness answers 503 from now on, while the listeners still serve for
    // drainSeconds(). Any thread.
    void beginDrain();
    // config.ini [sys] drain_seconds as the start-up read it (0: no wait).
    int drainSeconds() const { return drainSeconds_; }
    // Runs the reload steps now, as SIGHUP does (the configuration keys that need a restart, the TLS
    // contexts, the task files, the whitelist, trusted_proxies and callers.ini). Not from a network thread;
    // only after startup() succeeded.
    void reload();
    // Asks a start-up still in progress to give up its slow outgoing steps (the public-address lookup); safe
    // from any thread. The shutdown routine still runs afterwards.
    void requestStop() { stopping_ = true; }
    void shutdown();

    // The task-file actions of the window.
    bool addTaskFile(const std::string& name);
    bool deleteTask(const std::string& name);

    // The file open in the window's configuration editor (RouteConfig::editedFile).
    void setEditedFile(std::string path);

    const AppState& state() const { return *state_; }
    const RouteConfig& routes() const { return *routes_; }

  private:
    void startModules();
    // Reads the rules of the door; `problem` is set (one log line's text) when something is refused. At
    // start-up a callers.ini with a problem still puts callers in use, with nobody known, so that a broken
    // file never opens the door wider.
    std::shared_ptr<const DoorRules> readDoorRules(bool atStartup, std::string& problem) const;
    // The reload step of the door: re-reads the whitelist and trusted_proxies (config.ini [sys]) and
    // callers.ini and puts them in force at once. A file with a problem is refused whole: the rules in force
    // stay, and one log line names the file, section and key. False when refused.
    bool reloadDoor();
    // Logs the callers whose mysql_account names no pool opened at start-up: their MySQL requests fail until
    // a restart.
    void reportAccountsWithoutPool(const DoorRules& rules) const;
    // The readiness checks: listeners, MySQL pools, Redis sets.
    void addReadinessChecks(const std::string& portHttp, const std::string& portHttps);
    // Back-end connection counts for the metrics page, read at each scrape.
    std::function<std::vector<BackendConnections>()> backendProbe() const;

    StatusView& status_;
    // The network threads (created by the start-up before any module opens, stopped last by the shutdown)
    // and the workers for long jobs; they outlive every object below that uses them.
    std::unique_ptr<EventLoops> loops_;
    std::unique_ptr<WorkerPool> workers_;
    // The global objects, in construction order.
    std::unique_ptr<TaskRegistry> registry_;
    std::unique_ptr<AppState> state_;
    std::unique_ptr<RouteConfig> routes_;
    std::unique_ptr<MysqlPool> mysql_;
    std::unique_ptr<MysqlAccountPools> mysqlAccounts_;  // pools of callers' own MySQL accounts
    std::unique_ptr<RedisGateway> redis_;
    std::unique_ptr<HttpApiServer> http_;
    std::unique_ptr<TaskScheduler> scheduler_;
    std::shared_ptr<MetricsPage> metrics_;  // config.ini [sys] metrics_path set
    std::unique_ptr<Readiness> readiness_;
    std::unique_ptr<ConfigSnapshot> startConfig_;  // the configuration keys as the start-up read them
    std::unique_ptr<TaskFileWatch> taskFiles_;     // scheduler module on
    std::unique_ptr<ReloadWatcher> reloader_;      // SIGHUP, from the end of the start-up to the shutdown
    std::unique_ptr<Watchdog> watchdog_;           // from the start of the network threads on
    std::atomic<bool> stopping_{false};
    std::atomic<int> httpStarted_{0};
    std::atomic<int> httpsStarted_{0};
    int listenersWanted_ = 0;           // listeners with a port configured
    std::atomic<int> drainSeconds_{0};  // read by the front end while the start-up may still run
};

}  // namespace kestrum
