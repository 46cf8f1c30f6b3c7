// The process-wide records: the application record and the route record.
#pragma once

#include <ctime>
#include <string>

#include "log/log_writer.h"
#include "util/sync_map.h"

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
    SyncMap whitelist;  // IpWhitelist
    std::string editedFile;
};

}  // namespace kestrum
