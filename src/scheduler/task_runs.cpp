#include "scheduler/task_runs.h"

#include <system_error>
#include <vector>

namespace kestrum {

TaskRuns::~TaskRuns() {
    stop();
}

void TaskRuns::begin(const std::string& task) {
    std::lock_guard lock(mutex_);
    ++inFlight_[task];
}

void TaskRuns::end(const std::string& task) {
    std::lock_guard lock(mutex_);
    auto it = inFlight_.find(task);
    if (it != inFlight_.end() && --it->second <= 0)
        inFlight_.erase(it);
}

int TaskRuns::inFlight(const std::string& task) const {
    std::lock_guard lock(mutex_);
    auto it = inFlight_.find(task);
    return it == inFlight_.end() ? 0 : it->second;
}

bool TaskRuns::watch(std::function<void(const std::atomic<bool>& stop)> watch) {
    joinFinished();
    std::lock_guard lock(mutex_);
    if (stop_.load())
        return false;
    watchers_.emplace_back();
    Watcher* self = &watchers_.back();
    try {
        self->thread = std::thread([this, self, watch = std::move(watch)] {
            watch(stop_);
            std::lock_guard done(mutex_);
            self->done = true;
        });
    } catch (const std::system_error&) {
        watchers_.pop_back();
        return false;
    }
    return true;
}

void TaskRuns::joinFinished() {
    std::list<Watcher> finished;
    {
        std::lock_guard lock(mutex_);
        for (auto it = watchers_.begin(); it != watchers_.end();) {
            auto next = std::next(it);
            if (it->done)
                finished.splice(finished.end(), watchers_, it);
            it = next;
        }
    }
    for (Watcher& watcher : finished)
        watcher.thread.join();
}

void TaskRuns::stop() {
    std::list<Watcher> all;
    {
        std::lock_guard lock(mutex_);
        stop_.store(true);
        all.swap(watchers_);
    }
    for (Watcher& watcher : all) {
        if (watcher.thread.joinable())
            watcher.thread.join();
    }
}

}  // namespace kestrum
