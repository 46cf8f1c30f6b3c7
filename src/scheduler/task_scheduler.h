// TaskScheduler: the supervisor thread and one thread per running task.
//
// The supervisor starts a thread for every task waiting to run (status 1; in its first pass every task not
// already running) and ends when every task has ended or the registry is empty. A task thread computes the
// next three due moments, waits for those at most five seconds ahead, runs the task's callback at the start
// of its due second, counts the run and starts over; it ends the task (status 3) when the run limit is
// reached, the expression yields no more moments, the task is stopped, or quietly when the task was deleted.
//
// All waits are interruptible: stopTasks and the destructor wake every thread at once. A thread that is
// inside its callback at destruction is given a few seconds and then abandoned: it holds no lock while it
// calls, and the state it touches afterwards is shared, so it can finish safely on its own.
//
// Any thread may call any operation; the destructor must not run on a task thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "scheduler/task_lease.h"
#include "scheduler/task_outcome.h"
#include "scheduler/task_registry.h"

namespace kestrum {

class SchedulerState;

class TaskScheduler {
  public:
    explicit TaskScheduler(TaskRegistry& registry);
    ~TaskScheduler();  // stops every task, joins the threads, abandons those stuck in a callback
    TaskScheduler(const TaskScheduler&) = delete;
    TaskScheduler& operator=(const TaskScheduler&) = delete;

    // Starts the supervisor unless it is running. Returns its handle (a process-unique thread number).
    int64_t startSupervisor();
    // Sets status 3 for the task `name`, or for every task when `name` is empty (tasks that never started
    // included). With endThreads the tasks' threads are woken and end at once (after a running callback); for
    // all tasks, running outgoing transfers of task files are aborted too, as at shutdown. Returns true.
    bool stopTasks(std::string_view name = {}, bool endThreads = true);
    // With settings.on, every due moment of a task file is first claimed through `claimer` (see
    // task_lease.h); tasks of other modules are not. Logs "lease on：..." when on. Set before the supervisor.
    void setLease(LeaseSettings settings, LeaseClaimer claimer);
    // "sql" task files run their statement (UTF-8) through this runner; see TaskRegistry::setSqlRunner.
    void setSqlRunner(SqlRunner runner);
    // Who is told about runs and skipped moments (see task_outcome.h). Set before startSupervisor.
    void setTaskEvents(TaskEvents events);

    // schedulerRunning: true while the supervisor runs.
    bool running() const;
    // Grows while the supervisor runs, at least every few hundred milliseconds: a count that stops while
    // running() is true means a supervisor that is stuck.
    uint64_t supervisorTurns() const;
    // Number of task threads that have not finished yet.
    int liveThreads() const;

  private:
    std::shared_ptr<SchedulerState> state_;
};

// Unix time in milliseconds (the time stamp handed to task callbacks is its decimal text).
int64_t unixTimeMs();

}  // namespace kestrum
