// Supervisor and task threads.
//
// Timing: three moments per computation; a moment is awaited only when it lies 0 to 5000 ms ahead, otherwise
// the thread pauses 500 ms and turns to the next one (a passed moment is never run late); the supervisor
// pauses 100 ms after starting a thread and 100 ms per task in each later pass. Every pause is a wait on one
// condition variable that stopTasks, task removal and the destructor signal; a woken task thread looks at its
// task and either goes back to waiting or ends.
#include "scheduler/task_scheduler.h"

#include <chrono>
#include <climits>
#include <condition_variable>
#include <ctime>
#include <list>
#include <mutex>
#include <system_error>
#include <thread>

#include "log/log_writer.h"
#include "scheduler/cron.h"
#include "scheduler/registry_state.h"
#include "scheduler/task_lease.h"
#include "util/recovery_point.h"
#include "util/text.h"

namespace kestrum {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr int kMomentsPerComputation = 3;
constexpr int64_t kLookAheadMs = 5000;
constexpr auto kSkipPause = 500ms;
constexpr auto kSupervisorPause = 100ms;
// How long the destructor waits for task threads (a callback may be running) before it abandons them.
constexpr auto kAbandonAfter = 3s;

// The smallest gap between the computed moments: the task's period as far as the lease needs it.
int64_t periodOf(const std::vector<int64_t>& dues) {
    int64_t period = 0;
    for (size_t i = 0; i < dues.size(); ++i) {
        for (size_t j = i + 1; j < dues.size(); ++j) {
            const int64_t gap = dues[i] > dues[j] ? dues[i] - dues[j] : dues[j] - dues[i];
            if (gap > 0 && (period == 0 || gap < period))
                period = gap;
        }
    }
    return period;
}

}  // namespace

int64_t unixTimeMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

class SchedulerState : public std::enable_shared_from_this<SchedulerState> {
  public:
    explicit SchedulerState(std::shared_ptr<RegistryState> registry) : registry_(std::move(registry)) {}

    RegistryState& registry() { return *registry_; }
    std::atomic<bool> running{false};  // schedulerRunning
    std::atomic<uint64_t> turns{0};    // grows while the supervisor goes round (at least every 100 ms)

    // The wake count a waiter compares against. A task thread reads it before it looks at its task, so a stop
    // that lands between that look and the wait is not missed.
    uint64_t wakeMark() {
        std::lock_guard lock(mutex_);
        return wakeCount_;
    }

    // Waits `duration`. False when cut short by shutdown, or (for a task, `name` not empty) when a wake since
    // `seen` finds the task no longer running as thread `handle`.
    bool pause(SteadyClock::duration duration, uint64_t seen, const std::string& name = {},
               int32_t handle = 0) {
        const auto deadline = SteadyClock::now() + duration;
        std::unique_lock lock(mutex_);
        while (true) {
            if (shutdown_)
                return false;
            if (wakeCount_ == seen &&
                !wake_.wait_until(lock, deadline, [&] { return shutdown_ || wakeCount_ != seen; }))
                return true;
            if (shutdown_)
                return false;
            seen = wakeCount_;
            if (name.empty())
                continue;
            lock.unlock();  // RegistryLock is never taken under our own lock
            const bool owned = registry_->isRunningAs(name, handle);
            lock.lock();
            if (!owned)
                return false;
        }
    }

    void wakeAll() {
        {
            std::lock_guard lock(mutex_);
            ++wakeCount_;
        }
        wake_.notify_all();
    }

    bool isShutdown() {
        std::lock_guard lock(mutex_);
        return shutdown_;
    }

    int32_t nextHandle() { return nextHandle_.fetch_add(1); }

    void setLease(LeaseSettings settings, LeaseClaimer claimer);
    enum class LeaseDecision { Run, Elsewhere, Skip };
    // Whether this instance runs the due moment of task `name` (Run), another instance has claimed it
    // (Elsewhere), or no claim could be made and the moment is skipped (Skip).
    LeaseDecision claimMoment(const std::string& name, int64_t dueMs, int64_t periodMs);

    // Starts the task thread; false when no thread could be made.
    bool launchTask(const std::string& name, int32_t handle);
    int64_t startSupervisor();
    void superviseLoop();
    int liveThreads();
    // Joins finished threads; with a deadline, waits for the others until then and abandons what is left.
    void reapThreads(bool all, SteadyClock::duration patience);
    void shutdown();

  private:
    struct Worker {
        std::thread thread;
        bool done = false;
    };

    void runTask(const std::string& name, int32_t handle, Worker* self);
    void finished(Worker* self) {
        {
            std::lock_guard lock(mutex_);
            self->done = true;
        }
        wake_.notify_all();
    }

    std::shared_ptr<RegistryState> registry_;
    std::atomic<int32_t> nextHandle_{1};

    std::mutex leaseMutex_;  // guards the two below; never held while claiming
    LeaseSettings lease_;
    LeaseClaimer claimer_;
    std::atomic<bool> leaseOutage_{false};  // the last claim could not be made

    std::mutex mutex_;  // guards everything below
    std::condition_variable wake_;
    uint64_t wakeCount_ = 0;
    bool shutdown_ = false;
    std::list<Worker> workers_;  // list: a thread keeps a stable pointer to its entry
    std::thread supervisor_;
    bool supervisorDone_ = true;
    int64_t supervisorHandle_ = 0;
};

void SchedulerState::runTask(const std::string& name, int32_t handle, Worker* self) {
    RecoveryThread recovery("task", handle);
    RegistryState& registry = *registry_;
    std::vector<std::string> moments;
    CronFields fields;
    int64_t lastRun = INT64_MIN;  // due moment of the latest run
    uint64_t seen = 0;
    while (!name.empty()) {
        seen = wakeMark();
        if (!running.load() || !registry.isRunningAs(name, handle))
            break;
        if (!nextRunTimes(registry.memberText(name, "crontab"), kMomentsPerComputation, moments, fields))
            break;
        const int32_t limit = registry.memberInt(name, "max_call_count");
        std::vector<int64_t> dues;
        for (const std::string& moment : moments)
            dues.push_back(momentToUnixMs(moment));
        const int64_t period = periodOf(dues);
        bool ended = false;
        for (const int64_t due : dues) {
            seen = wakeMark();
            if (!running.load() || !registry.isRunningAs(name, handle)) {
                ended = true;
                break;
            }
            const int64_t delay = due - unixTimeMs();
            // A fresh computation right after a run still lists the second just run (it equals "now");
            // running it again would call the task twice for one due moment, so it counts as passed.
            if (delay < 0 || delay > kLookAheadMs || due <= lastRun) {
                if (!pause(kSkipPause, seen, name, handle)) {
                    ended = true;
                    break;
                }
                continue;
            }
            // After the wait the task must still be ours: a task deleted or stopped meanwhile does not run.
            if (!pause(std::chrono::milliseconds(delay), seen, name, handle) ||
                !registry.isRunningAs(name, handle)) {
                ended = true;
                break;
            }
            lastRun = due;
            const bool fileTask = registry.memberInt(name, "callback") == kFileTaskCallback;
            // overlap=skip: a moment whose previous run is still going is not run (nor claimed, so another
            // instance may run it), and it does not count as a run.
            if (fileTask && registry.skipsOverlap(name)) {
                logLine("crontab", std::string("skip") + kFullWidthColon + "name(" + name + "),time(" +
                                       std::to_string(due) + "),reason(previous run still going).");
                if (const TaskEvents events = registry.events(); events.skipped)
                    events.skipped(name, SkipReason::Overlap);
                continue;
            }
            const LeaseDecision decision = claimMoment(name, due, period);
            if (decision == LeaseDecision::Skip)
                continue;
            if (decision == LeaseDecision::Run) {
                TaskCallback callback = registry.callbackOf(name);
                const int64_t startMs = unixTimeMs();
                const std::string stamp = std::to_string(startMs);
                const TaskEvents events = registry.events();
                if (events.runStarted)
                    events.runStarted(name, static_cast<double>(startMs - due) / 1000.0);
                // One run is one unit of work: a run that throws or faults ends there (and is reported); the
                // task goes on with its next moment.
                if (callback) {
                    const int32_t taskHandle = registry.memberInt(name, "handle");
                    const auto started = SteadyClock::now();
                    // The run is going while the callback runs (a program it started counts on its own), also
                    // when the callback faults and never gets to say how it ended.
                    if (fileTask)
                        registry.runs().begin(name);
                    const bool finished = runRecoverable([&callback, &name, &stamp, taskHandle] {
                        WorkUnit unit("task", static_cast<uint64_t>(taskHandle));
                        callback(name, stamp, taskHandle);
                    });
                    if (fileTask)
                        registry.runs().end(name);
                    // Task files report their own outcome (a program's run ends later); the routines of other
                    // modules succeed when they return.
                    if ((!fileTask || !finished) && events.runFinished)
                        events.runFinished(
                            name, finished ? RunResult::Success : RunResult::Failure,
                            std::chrono::duration<double>(SteadyClock::now() - started).count());
                }
            }
            // A moment run by another instance counts too, so a run limit holds for the group as a whole.
            const int32_t count = registry.incrementCallCount(name, handle);
            if (count < 0 || (limit != 0 && count >= limit)) {
                if (count >= 0) {
                    logLine("crontab", std::string("task end") + kFullWidthColon + "name(" + name +
                                           "),runs(" + std::to_string(count) + "),reason(maxdo reached).");
                    if (const TaskEvents events = registry.events(); events.skipped)
                        events.skipped(name, SkipReason::MaxdoReached);
                }
                ended = true;
                break;
            }
        }
        if (ended)
            break;
    }
    registry.endTask(name, handle);
    finished(self);
}

void SchedulerState::setLease(LeaseSettings settings, LeaseClaimer claimer) {
    std::lock_guard lock(leaseMutex_);
    lease_ = std::move(settings);
    claimer_ = std::move(claimer);
    leaseOutage_.store(false);
}

SchedulerState::LeaseDecision SchedulerState::claimMoment(const std::string& name, int64_t dueMs,
                                                          int64_t periodMs) {
    LeaseClaimer claimer;
    LeaseSettings lease;
    {
        std::lock_guard lock(leaseMutex_);
        if (!lease_.on)
            return LeaseDecision::Run;
        claimer = claimer_;
        lease = lease_;
    }
    // Tasks of other modules (the MySQL pool's keep-alive) belong to each instance.
    if (registry_->memberInt(name, "callback") != kFileTaskCallback)
        return LeaseDecision::Run;
    const LeaseClaim claim =
        claimer ? claimer(leaseKey(lease.prefix, name, dueMs), lease.instanceName, leaseTtlMs(periodMs))
                : LeaseClaim::Unavailable;
    const std::string db = std::to_string(lease.db);
    // A task stopped while its claim was on the way (the shutdown stops the tasks, then closes Redis) neither
    // runs nor reports an outage.
    if (claim == LeaseClaim::Unavailable && registry_->memberInt(name, "status") != kTaskRunning)
        return LeaseDecision::Skip;
    if (claim == LeaseClaim::Unavailable) {
        const TaskEvents events = registry_->events();
        if (!lease.fallbackRun && events.skipped)
            events.skipped(name, SkipReason::LeaseUnavailable);
        // One line per outage, not one per moment.
        if (!leaseOutage_.exchange(true))
            logLine("crontab", std::string("lease unavailable") + kFullWidthColon + "db(" + db +
                                   (lease.fallbackRun ? "),due moments run on every instance"
                                                      : "),due moments are skipped") +
                                   " until claims work again.");
        return lease.fallbackRun ? LeaseDecision::Run : LeaseDecision::Skip;
    }
    if (leaseOutage_.exchange(false))
        logLine("crontab", std::string("lease available") + kFullWidthColon + "db(" + db + ").");
    if (claim == LeaseClaim::Refused) {
        logLine("crontab",
                std::string("lease elsewhere") + kFullWidthColon + "name(" + name + "),time(" +
                    std::to_string(dueMs) + ").",
                true);
        if (const TaskEvents events = registry_->events(); events.skipped)
            events.skipped(name, SkipReason::LeaseElsewhere);
        return LeaseDecision::Elsewhere;
    }
    return LeaseDecision::Run;
}

bool SchedulerState::launchTask(const std::string& name, int32_t handle) {
    std::lock_guard lock(mutex_);
    if (shutdown_)
        return false;
    workers_.emplace_back();
    Worker* worker = &workers_.back();
    try {
        worker->thread = std::thread(
            [self = shared_from_this(), name, handle, worker] { self->runTask(name, handle, worker); });
    } catch (const std::system_error&) {
        workers_.pop_back();
        return false;
    }
    return true;
}

void SchedulerState::superviseLoop() {
    RegistryState& registry = *registry_;
    for (bool firstPass = true; !isShutdown(); firstPass = false) {
        std::vector<std::string> names = registry.names();
        if (names.empty())
            break;
        size_t ended = 0;
        turns.fetch_add(1, std::memory_order_relaxed);
        for (const std::string& name : names) {
            if (isShutdown())
                break;
            turns.fetch_add(1, std::memory_order_relaxed);
            const int32_t status = registry.memberInt(name, "status");
            const bool start = firstPass ? status != kTaskRunning : status == kTaskRegistered;
            if (start) {
                // The handle is written before the thread runs, so the thread finds the task its own.
                const int32_t handle = nextHandle();
                if (registry.markStarted(name, handle)) {
                    if (launchTask(name, handle)) {
                        registry.setMemberIfPresent(name, "start_time", dateTimeText(std::time(nullptr)));
                    } else {
                        registry.endTask(name, handle);
                    }
                    pause(kSupervisorPause, wakeMark());
                }
            }
            if (!firstPass) {
                if (registry.memberInt(name, "status") == kTaskEnded)
                    ++ended;
                pause(kSupervisorPause, wakeMark());
            }
        }
        reapThreads(false, {});
        if (ended == names.size())
            break;
    }
    running.store(false);
    std::lock_guard lock(mutex_);
    supervisorDone_ = true;
}

int64_t SchedulerState::startSupervisor() {
    std::lock_guard lock(mutex_);
    if (shutdown_)
        return 0;
    if (!supervisorDone_)
        return supervisorHandle_;
    if (supervisor_.joinable())
        supervisor_.join();  // it has ended: only its last steps remain
    supervisorDone_ = false;
    supervisorHandle_ = nextHandle();
    running.store(true);  // from here on, so a caller never sees a supervisor that is starting as ended
    try {
        supervisor_ = std::thread([self = shared_from_this()] { self->superviseLoop(); });
    } catch (const std::system_error&) {
        supervisorDone_ = true;
        running.store(false);
        return 0;
    }
    return supervisorHandle_;
}

int SchedulerState::liveThreads() {
    std::lock_guard lock(mutex_);
    int live = 0;
    for (const Worker& worker : workers_)
        live += worker.done ? 0 : 1;
    return live;
}

void SchedulerState::reapThreads(bool all, SteadyClock::duration patience) {
    std::list<Worker> finishedWorkers;
    {
        std::unique_lock lock(mutex_);
        if (all) {
            wake_.wait_for(lock, patience, [this] {
                for (const Worker& worker : workers_) {
                    if (!worker.done)
                        return false;
                }
                return true;
            });
        }
        for (auto it = workers_.begin(); it != workers_.end();) {
            auto next = std::next(it);
            if (it->done) {
                finishedWorkers.splice(finishedWorkers.end(), workers_, it);
            } else if (all) {
                // Stuck in its callback: it holds a reference to this state and finishes on its own.
                it->thread.detach();
            }
            it = next;
        }
    }
    for (Worker& worker : finishedWorkers)
        worker.thread.join();
}

void SchedulerState::shutdown() {
    std::thread supervisor;
    {
        std::lock_guard lock(mutex_);
        shutdown_ = true;
        supervisor = std::move(supervisor_);
    }
    wake_.notify_all();
    if (supervisor.joinable())
        supervisor.join();
    reapThreads(true, kAbandonAfter);
}

TaskScheduler::TaskScheduler(TaskRegistry& registry)
    : state_(std::make_shared<SchedulerState>(registry.state())) {
    std::weak_ptr<SchedulerState> weak = state_;
    state_->registry().setRemovalListener([weak] {
        if (auto state = weak.lock())
            state->wakeAll();
    });
}

TaskScheduler::~TaskScheduler() {
    stopTasks();
    state_->registry().setRemovalListener({});
    state_->shutdown();
}

uint64_t TaskScheduler::supervisorTurns() const {
    return state_->turns.load(std::memory_order_relaxed);
}

int64_t TaskScheduler::startSupervisor() {
    return state_->startSupervisor();
}

bool TaskScheduler::stopTasks(std::string_view name, bool endThreads) {
    RegistryState& registry = state_->registry();
    std::vector<std::string> names =
        name.empty() ? registry.names() : std::vector<std::string>{std::string(name)};
    for (const std::string& task : names)
        registry.setMemberIfPresent(task, "status", int32_t{kTaskEnded});
    if (endThreads) {
        if (name.empty())
            registry.abortTransfers.store(true);
        state_->wakeAll();
    }
    return true;
}

void TaskScheduler::setLease(LeaseSettings settings, LeaseClaimer claimer) {
    if (settings.on)
        logLine("crontab", std::string("lease on") + kFullWidthColon + "db(" + std::to_string(settings.db) +
                               "),instance(" + settings.instanceName + ")" +
                               (settings.fallbackRun ? ",fallback(run)." : ",fallback(skip)."));
    state_->setLease(std::move(settings), std::move(claimer));
}

void TaskScheduler::setSqlRunner(SqlRunner runner) {
    state_->registry().setSqlRunner(std::move(runner));
}

void TaskScheduler::setTaskEvents(TaskEvents events) {
    state_->registry().setEvents(std::move(events));
}

bool TaskScheduler::running() const {
    return state_->running.load();
}

int TaskScheduler::liveThreads() const {
    return state_->liveThreads();
}

}  // namespace kestrum
