// TaskRegistry: the process-wide table of scheduled tasks.
//
// One instance per process, constructed before any module registers a task. The tasks live in a JsonStore: an
// Object whose members are the task names, each an Object with the members crontab, callback, max_call_count,
// call_count, status, handle, time.{second,min,hours,days,month,year,week} and start_time, in that order of
// first writing. Every single store operation runs under RegistryLock; no other lock is taken while it is
// held.
//
// Tasks enter the registry from the task files in runDir/mod/crontab/tasks (loadTaskFiles, addTaskFile) and
// from other modules with a routine of their own (registerTask). The registry only stores tasks:
// TaskScheduler starts them and runs their callbacks.
//
// The registry's state is shared with the scheduler's threads (through state()), so a task thread that is
// still inside its callback when the program shuts down never touches freed memory when it returns.
//
// All operations are safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kestrum {

// A task routine: task name, time stamp text (Unix time in milliseconds, 13 digits), the task's thread
// handle. Its result is not looked at.
using TaskCallback =
    std::function<int(const std::string& name, const std::string& timestamp, int64_t handle)>;

// How one statement of a "sql" task went.
struct SqlOutcome {
    enum class Status {
        Done,    // the statement ran
        Failed,  // the server refused it: errorNumber, errorText (UTF-8)
        Busy,    // no connection became free; nothing ran
    };
    Status status = Status::Busy;
    int errorNumber = 0;
    std::string errorText;
};

// Runs one SQL statement (UTF-8) with the values of its placeholders (`params`: a JSON array as the task file
// writes it; empty for a statement without values); wired by the application to the MySQL pool.
using SqlRunner = std::function<SqlOutcome(const std::string& utf8Statement, const std::string& params)>;

// Task status values.
enum TaskStatus : int32_t {
    kTaskRegistered = 1,  // waiting to be started
    kTaskRunning = 2,     // its thread exists
    kTaskEnded = 3,
};

class RegistryState;

class TaskRegistry {
  public:
    // runDir: the run directory as it is spelled on disk (UTF-8).
    explicit TaskRegistry(std::string runDir);
    ~TaskRegistry();
    TaskRegistry(const TaskRegistry&) = delete;
    TaskRegistry& operator=(const TaskRegistry&) = delete;

    // Stores the task `name` (internal encoding) with the six-field `expression`. Both are trimmed; the key
    // is the first word of the name. False, and nothing stored, when the expression has fewer than six fields
    // or never fires. A task registered again while its thread runs keeps its status and thread and continues
    // with the new expression, limit and a call count of 0; otherwise its status becomes 1 (registered).
    // maxCallCount 0 means no limit.
    bool registerTask(std::string_view expression, std::string_view name, TaskCallback callback,
                      int32_t maxCallCount = 0);

    // Registers every runDir/mod/crontab/tasks/*.ini whose [sys] time is not empty, with runTaskFile as
    // routine. Logs one "load task：" line per file: its name and time (and run limit), or why it was left
    // out (empty time, an expression that never fires).
    void loadTaskFiles();
    // Registers the task file of `name` (internal encoding). False when the file does not exist (or the name
    // holds a '/'); otherwise logs "add task：" + name and returns true whatever the registration gives.
    bool addTaskFile(std::string_view name);
    // Removes the task trim(name). True when a task was removed. Logs "del task：" + name (as given) either
    // way. A running task's thread notices at its next check and ends.
    bool deleteTask(std::string_view name);

    // For a reload of the task files, without a log line of their own (the caller logs the change):
    // registers the task file of `name` (internal encoding) again or anew with its current [sys] keys; false
    // when the file is missing or its time is empty or never fires. A running task keeps its thread.
    bool registerTaskFile(std::string_view name);
    // Removes the task `name`; true when it was there. A running task's thread ends at its next check.
    bool removeTask(std::string_view name);

    // Number of tasks in the registry, ended ones included (the window's task counter).
    int taskCount() const;
    std::vector<std::string> taskNames() const;
    bool hasTask(std::string_view name) const;
    // One store read: a task member by dotted path ("backup.status", "backup.time.second").
    std::string getText(std::string_view path) const;
    int32_t getInt(std::string_view path) const;
    // The whole registry as compact JSON text (internal encoding); "" before the first registration.
    std::string toText() const;

    // Called with the new task count after loadTaskFiles, addTaskFile and deleteTask (outside RegistryLock).
    void setTaskCountListener(std::function<void(int)> listener);
    // The statement runner used by "sql" task files; empty (the default) means such tasks run nothing, which
    // is what the application wires when the MySQL module is off.
    void setSqlRunner(SqlRunner runner);

    // The routine of tasks defined by a task file: logs "do：name(...),time(...).", performs the file's
    // [info] action and logs its outcome ("done：name(...),...,seconds(...)."; for a program, when it ends).
    // Exposed for the scheduler's tests and for callers that want to run a task file at once.
    int runTaskFile(const std::string& name, const std::string& timestamp, int64_t handle);

    const std::string& runDir() const;
    // Shared with the scheduler's threads.
    std::shared_ptr<RegistryState> state() const { return state_; }

  private:
    std::shared_ptr<RegistryState> state_;
};

// Full paths (folder + "/" + entry name) of the regular files in `folder` whose names match the shell
// wildcard `pattern`, in the order the file system lists them. Empty for a missing folder.
std::vector<std::string> listFiles(const std::string& folder, std::string_view pattern);

}  // namespace kestrum
