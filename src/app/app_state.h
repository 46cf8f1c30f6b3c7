// The process-wide records: the application record and the route record.
#pragma once

#include <ctime>
#include <memory>
#include <string>

#include "http/door_rules.h"
#include "log/log_writer.h"

namespace kestrum {

struct AppState {
    std::string runDir;       // executable's directory (or --dir), no trailing slash
    std::time_t startTime{};  // when the start-up routine began
    LogWriter log;
    bool debug = false;  // config.ini [sys] onDebug is exactly "1"
};

struct RouteConfig {
    std::string heartbeatPath;
    std::string mysqlPath;
    int mysqlPathLength = 0;
    std::string cronPath;
    int cronPathLength = 0;
    std::string redisPath;
    int redisPathLength = 0;
    bool mysqlOn = false;
    bool cronOn = false;
    bool redisOn = false;
    // IpWhitelist, trusted proxies and callers: the rules in force, replaced whole on reload.
    std::shared_ptr<Door> door = std::make_shared<Door>();
    std::string editedFile;
};

}  // namespace kestrum
