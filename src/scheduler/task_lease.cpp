#include "scheduler/task_lease.h"

#include <unistd.h>

#include <algorithm>
#include <climits>

#include "log/log_writer.h"
#include "util/ini.h"
#include "util/text.h"

namespace kestrum {
namespace {

constexpr int64_t kLeaseMarginMs = 5000;  // clock difference plus a slow lend of a Redis connection
constexpr int64_t kLeaseMaxMs = 3600000;

std::string defaultInstanceName() {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0')
        std::copy_n("localhost", 10, host);
    return std::string(host) + ":" + std::to_string(::getpid());
}

// A decimal database number; -1 for anything else.
int32_t databaseNumber(const std::string& text) {
    if (text.empty() || text.size() > 9)
        return -1;
    int32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace

LeaseSettings loadLeaseSettings(const std::string& runDir) {
    LeaseSettings settings;
    IniFile cron = IniFile::load(runDir + "/mod/crontab/config.ini");
    const std::string db = cron.get("sys", "lease_db");
    if (db.empty())
        return settings;
    settings.db = databaseNumber(db);
    if (settings.db < 0) {
        logLine("crontab",
                std::string("lease off") + kFullWidthColon + "lease_db(" + db + ") is no database number.");
        settings.db = 0;
        return settings;
    }
    settings.on = true;
    settings.prefix = cron.get("sys", "lease_prefix", settings.prefix);
    settings.fallbackRun = cron.get("sys", "lease_fallback") == "run";
    settings.instanceName = readIniValue(runDir + "/config.ini", "sys", "instance_name");
    if (settings.instanceName.empty())
        settings.instanceName = defaultInstanceName();
    return settings;
}

std::string leaseKey(std::string_view prefix, std::string_view task, int64_t dueUnixMs) {
    // Floor division: the second a moment belongs to, also before 1970.
    const int64_t second = dueUnixMs / 1000 - (dueUnixMs % 1000 < 0 ? 1 : 0);
    std::string key;
    key.reserve(prefix.size() + task.size() + 24);
    key.append(prefix).append(task).append(":").append(std::to_string(second));
    return key;
}

int64_t leaseTtlMs(int64_t periodMs) {
    const int64_t period = std::clamp<int64_t>(periodMs, 0, kLeaseMaxMs);
    return std::min(period + kLeaseMarginMs, kLeaseMaxMs);
}

}  // namespace kestrum
