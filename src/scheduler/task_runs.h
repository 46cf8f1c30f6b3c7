// TaskRuns: the runs of task files that are still going, by task name, and the threads that watch started
// programs until they end (a "run" task's run lasts as long as its program, while the task's own thread goes
// on with its next moments).
//
// stop() (shutdown) ends every watch within a fraction of a second and joins the watchers; the programs
// themselves run on. Any thread may call any operation.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace kestrum {

class TaskRuns {
  public:
    TaskRuns() = default;
    ~TaskRuns();  // stop()
    TaskRuns(const TaskRuns&) = delete;
    TaskRuns& operator=(const TaskRuns&) = delete;

    void begin(const std::string& task);
    void end(const std::string& task);
    // Runs of `task` begun and not ended.
    int inFlight(const std::string& task) const;

    // Runs `watch` on a thread of its own; it is handed the stop flag and must return soon after it turns
    // true. False (and `watch` not run) after stop() or when no thread could be made.
    bool watch(std::function<void(const std::atomic<bool>& stop)> watch);
    void stop();

  private:
    struct Watcher {
        std::thread thread;
        bool done = false;
    };
    void joinFinished();  // joins the watchers that are done

    mutable std::mutex mutex_;  // guards everything below
    std::map<std::string, int> inFlight_;
    std::list<Watcher> watchers_;  // list: a watcher keeps a stable pointer to its entry
    std::atomic<bool> stop_{false};
};

}  // namespace kestrum
