// Reload without a restart: SIGHUP runs the reload steps, in the order they were added, on a thread of the
// application (never on a network thread). Each step does its own part (TLS contexts, task files, ...) and
// logs what it changed; a step that cannot take a change in keeps what runs and says why.
//
// What cannot change while the process runs is named instead: ConfigSnapshot keeps every key of the
// configuration files as the start-up read them, and a reload logs one line for each key whose value differs
// now ("restart needed：key(config.ini [sys] port_http).").
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrum {

class ReloadWatcher {
  public:
    using Step = std::function<void()>;

    ReloadWatcher() = default;
    ~ReloadWatcher();  // stop()
    ReloadWatcher(const ReloadWatcher&) = delete;
    ReloadWatcher& operator=(const ReloadWatcher&) = delete;

    // Before start().
    void addStep(Step step);
    // Starts the thread that waits for SIGHUP. SIGHUP must be blocked in every thread of the process (the
    // front ends block it before any thread starts), so that it reaches this thread alone.
    bool start();
    // Ends the thread; a reload in progress finishes first. Idempotent.
    void stop();
    // Runs every step now, on the calling thread (what a SIGHUP does). Reloads never overlap.
    void reloadNow();

  private:
    std::vector<Step> steps_;
    std::mutex reloadMutex_;  // one reload at a time
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The keys of the configuration files that are read once, as the start-up saw them.
class ConfigSnapshot {
  public:
    // Reads config.ini and the three module files of `runDir` ("mod/mysql/config.ini", ...).
    static ConfigSnapshot take(const std::string& runDir);
    // "file [section] key" of every key added, removed or changed between `before` and `after` (names as the
    // file spells them now, or spelt them before when the key is gone), ordered by file, section and key.
    static std::vector<std::string> changedKeys(const ConfigSnapshot& before, const ConfigSnapshot& after);

  private:
    struct Value {
        std::string name;  // "file [section] key" as spelt in the file
        std::string value;
    };
    std::map<std::string, Value> values_;  // by the name in lower case: names compare case-insensitively
};

}  // namespace kestrum
