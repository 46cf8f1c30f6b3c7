// The task files as a reload sees them: added, changed and removed files since the last look take effect
// in the registry, one "crontab" log line each. Running task threads are never killed: a changed task keeps
// its thread and goes on with the new expression; a removed one ends at its next check.
#pragma once

#include <map>
#include <string>

namespace kestrum {

class TaskRegistry;

class TaskFileWatch {
  public:
    // `registry` must outlive the watch.
    explicit TaskFileWatch(TaskRegistry& registry);

    // Remembers the files as they are now (after the start-up registered them).
    void remember();
    // Brings the registry in line with the files as they are now and remembers them.
    void reload();

  private:
    // Task name (internal encoding) -> the file's bytes.
    std::map<std::string, std::string> scan() const;

    TaskRegistry& registry_;
    std::map<std::string, std::string> files_;
};

}  // namespace kestrum
