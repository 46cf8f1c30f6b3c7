// Internal: the shared state behind TaskRegistry, also used by TaskScheduler's threads.
//
// Each public operation takes RegistryLock (lock_) for one store operation or one short sequence and never
// calls out (log, listeners, callbacks) while holding it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "json/json_store.h"
#include "scheduler/task_outcome.h"
#include "scheduler/task_registry.h"
#include "scheduler/task_runs.h"

namespace kestrum {

// The routine id of task files (runTaskFile); routines of other modules get ids from 2 upwards.
constexpr int32_t kFileTaskCallback = 1;

// A task member's path: the task name with the path syntax's special characters escaped, a dot, the member.
std::string taskPath(std::string_view name, std::string_view member);

class RegistryState {
  public:
    explicit RegistryState(std::string runDir) : runDir_(std::move(runDir)) {}

    // Stores the task under RegistryLock. callbackId kFileTaskCallback or 0 (a new id is made for
    // `callback`).
    bool registerTask(std::string_view expression, std::string_view name, int32_t callbackId,
                      TaskCallback callback, int32_t maxCallCount);
    bool removeTask(std::string_view name);

    std::vector<std::string> names() const;
    bool hasTask(std::string_view name) const;
    std::string getText(std::string_view path) const;
    int32_t getInt(std::string_view path) const;
    int32_t memberInt(std::string_view name, std::string_view member) const;
    std::string memberText(std::string_view name, std::string_view member) const;
    // Write a member of an existing task; the test and the write are one step. False when the task is gone.
    bool setMemberIfPresent(std::string_view name, std::string_view member, int32_t value);
    bool setMemberIfPresent(std::string_view name, std::string_view member, std::string_view value);
    // A task thread owns its task while the task exists with status 2 and the thread's handle; these steps
    // are each one operation under RegistryLock, so a thread left over from a deleted and re-added task never
    // writes to the new registration. status := 2 and handle := `handle` (the supervisor, before the thread
    // starts). False when the task is gone.
    bool markStarted(std::string_view name, int32_t handle);
    bool isRunningAs(std::string_view name, int32_t handle) const;
    // status := 3 when the task still exists and belongs to `handle`.
    void endTask(std::string_view name, int32_t handle);
    // call_count + 1; the new count, or -1 when the task is gone or belongs to another thread.
    int32_t incrementCallCount(std::string_view name, int32_t handle);
    // The task's routine, or an empty function.
    TaskCallback callbackOf(std::string_view name) const;
    std::string toText() const;
    int count() const;

    int runTaskFile(const std::string& name, const std::string& timestamp, int64_t handle);
    std::string taskFilePath(std::string_view name) const;
    const std::string& runDir() const { return runDir_; }

    void setSqlRunner(SqlRunner runner);
    void setEvents(TaskEvents events);
    TaskEvents events();
    // The runs of task files still going: the task thread counts a run while its routine runs, and a started
    // program's run until the program ends.
    TaskRuns& runs() { return runs_; }
    // Whether the moment of task file `name` is to be skipped because its previous run is still going and
    // the file's [info] overlap is "skip".
    bool skipsOverlap(const std::string& name);
    void setCountListener(std::function<void(int)> listener);
    void notifyCount();
    // Called (outside RegistryLock) after a task was removed, so waiting task threads can look at once.
    void setRemovalListener(std::function<void()> listener);

    // Raised at shutdown: outgoing transfers of task files stop at once.
    std::atomic<bool> abortTransfers{false};

  private:
    const std::string runDir_;
    mutable std::mutex lock_;  // RegistryLock
    JsonStore store_;
    std::map<int32_t, TaskCallback> callbacks_;
    int32_t nextCallbackId_ = 2;

    std::mutex hooksLock_;  // guards the hooks below, never held while they run
    SqlRunner sqlRunner_;
    std::function<void(int)> countListener_;
    std::function<void()> removalListener_;
    TaskEvents events_;

    TaskRuns runs_;  // last: destroyed first, joining its watchers while the rest still exists
};

}  // namespace kestrum
