#include "app/reload.h"

#include <pthread.h>

#include <csignal>
#include <ctime>

#include "util/ini.h"
#include "util/text.h"

namespace kestrum {

ReloadWatcher::~ReloadWatcher() {
    stop();
}

void ReloadWatcher::addStep(Step step) {
    steps_.push_back(std::move(step));
}

bool ReloadWatcher::start() {
    if (thread_.joinable())
        return false;
    stop_ = false;
    thread_ = std::thread([this] {
        sigset_t hangup;
        sigemptyset(&hangup);
        sigaddset(&hangup, SIGHUP);
        // The wait wakes now and then to see whether it should end.
        const timespec pause{0, 200 * 1000 * 1000};
        while (!stop_.load()) {
            if (sigtimedwait(&hangup, nullptr, &pause) == SIGHUP && !stop_.load())
                reloadNow();
        }
    });
    return true;
}

void ReloadWatcher::stop() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

void ReloadWatcher::reloadNow() {
    std::lock_guard lock(reloadMutex_);
    for (const Step& step : steps_)
        step();
}

ConfigSnapshot ConfigSnapshot::take(const std::string& runDir) {
    ConfigSnapshot snapshot;
    for (const char* file :
         {"config.ini", "mod/mysql/config.ini", "mod/redis/config.ini", "mod/crontab/config.ini"}) {
        IniFile ini = IniFile::load(runDir + "/" + file);
        for (const IniFile::Section& section : ini.sections()) {
            for (const IniFile::Entry& entry : section.entries) {
                if (entry.key.empty())
                    continue;
                // Names compare case-insensitively; the first occurrence wins, as when the start-up read it.
                std::string name = std::string(file) + " [" + section.name + "] " + entry.key;
                std::string key = asciiLower(name);
                snapshot.values_.emplace(std::move(key), Value{std::move(name), entry.value});
            }
        }
    }
    return snapshot;
}

std::vector<std::string> ConfigSnapshot::changedKeys(const ConfigSnapshot& before,
                                                     const ConfigSnapshot& after) {
    std::vector<std::string> changed;
    auto a = before.values_.begin();
    auto b = after.values_.begin();
    while (a != before.values_.end() || b != after.values_.end()) {
        if (b == after.values_.end() || (a != before.values_.end() && a->first < b->first)) {
            changed.push_back(a->second.name);  // gone
            ++a;
        } else if (a == before.values_.end() || b->first < a->first) {
            changed.push_back(b->second.name);  // new
            ++b;
        } else {
            if (a->second.value != b->second.value)
                changed.push_back(b->second.name);
            ++a;
            ++b;
        }
    }
    return changed;
}

}  // namespace kestrum
