#include <cstdio>
#include <mutex>

#include "app/status_view.h"
#include "util/encoding.h"

namespace kestrum {
namespace {

const char* fieldName(StatusField field) {
    switch (field) {
        case StatusField::Http:
            return "http";
        case StatusField::Https:
            return "https";
        case StatusField::Heartbeat:
            return "heart";
        case StatusField::MysqlPool:
            return "mysql connect sum";
        case StatusField::MysqlUrl:
            return "mysql api root";
        case StatusField::RedisUrl:
            return "redis api root";
        case StatusField::TaskCount:
            return "crontab task sum";
    }
    return "?";
}

const char* markName(ModuleMark mark) {
    switch (mark) {
        case ModuleMark::Mysql:
            return "mysql";
        case ModuleMark::Redis:
            return "redis";
        case ModuleMark::Cron:
            return "crontab";
    }
    return "?";
}

std::mutex& outputLock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

void ConsoleStatus::setText(StatusField field, const std::string& text) {
    std::lock_guard lock(outputLock());
    std::printf("%s: %s\n", fieldName(field), gbkToUtf8(text).c_str());
    std::fflush(stdout);
}

void ConsoleStatus::setMarkVisible(ModuleMark mark, bool visible) {
    std::lock_guard lock(outputLock());
    std::printf("%s: %s\n", markName(mark), visible ? "off" : "on");
    std::fflush(stdout);
}

}  // namespace kestrum
