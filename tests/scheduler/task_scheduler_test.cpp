// Supervisor and task threads with short real waits (tasks due every second).
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "local_http_server.h"
#include "scheduler/task_registry.h"
#include "scheduler/task_scheduler.h"
#include "scheduler_fixture.h"

namespace kestrum {
namespace {

using namespace std::chrono_literals;
using SchedulerTest = testing::SchedulerFixture;

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

struct Call {
    std::string name;
    std::string stamp;
    int64_t handle;
};

class CallLog {
  public:
    TaskCallback callback() {
        return [this](const std::string& name, const std::string& stamp, int64_t handle) {
            std::lock_guard lock(mutex_);
            calls_.push_back({name, stamp, handle});
            return 0;
        };
    }
    std::vector<Call> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    size_t size() const { return calls().size(); }

  private:
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
};

TEST_F(SchedulerTest, RunLimitEndsTheTask) {
    TaskRegistry registry(runDir());
    CallLog log;
    ASSERT_TRUE(registry.registerTask("* * * * * *", "twice", log.callback(), 2));
    TaskScheduler scheduler(registry);
    std::atomic<int> finished{0};
    std::atomic<int> limitReached{0};
    TaskEvents events;
    events.runFinished = [&](const std::string&, RunResult result, double) {
        finished += result == RunResult::Success ? 1 : 0;
    };
    events.skipped = [&](const std::string&, SkipReason reason) {
        limitReached += reason == SkipReason::MaxdoReached ? 1 : 0;
    };
    scheduler.setTaskEvents(events);
    const int64_t supervisor = scheduler.startSupervisor();
    EXPECT_GT(supervisor, 0);
    EXPECT_EQ(scheduler.startSupervisor(), supervisor);  // already running

    ASSERT_TRUE(waitUntil([&] { return registry.getInt("twice.status") == kTaskEnded; }, 6s));
    std::vector<Call> calls = log.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(registry.getInt("twice.call_count"), 2);
    EXPECT_NE(registry.getText("twice.start_time").find("\xC4\xEA"), std::string::npos);  // "年"
    for (const Call& call : calls) {
        EXPECT_EQ(call.name, "twice");
        EXPECT_EQ(call.handle, registry.getInt("twice.handle"));
        EXPECT_GT(call.handle, 0);
        // Unix time in milliseconds, taken at the start of the due second.
        ASSERT_EQ(call.stamp.size(), 13u);
        const int64_t stamp = std::stoll(call.stamp);
        EXPECT_LT(std::llabs(stamp - unixTimeMs()), 10000);
        EXPECT_LT(stamp % 1000, 300) << "called late in its second";
    }
    EXPECT_GE(std::stoll(calls[1].stamp) / 1000 - std::stoll(calls[0].stamp) / 1000, 1);

    // The supervisor counts the ended task and ends; nothing runs any more.
    EXPECT_TRUE(waitUntil([&] { return !scheduler.running(); }, 2s));
    EXPECT_TRUE(waitUntil([&] { return scheduler.liveThreads() == 0; }, 1s));
    std::this_thread::sleep_for(1100ms);
    EXPECT_EQ(log.size(), 2u);
    // A module's routine succeeds when it returns; the end by the limit is told once.
    EXPECT_EQ(finished.load(), 2);
    EXPECT_EQ(limitReached.load(), 1);
    EXPECT_EQ(logLines().back(), "crontab|task end\xA3\xBAname(twice),runs(2),reason(maxdo reached).");
}

TEST_F(SchedulerTest, EverySecondRunsOncePerSecond) {
    // A fresh computation right after a run lists the second just run again; it must neither run twice nor
    // make the thread skip the following seconds.
    TaskRegistry registry(runDir());
    CallLog log;
    ASSERT_TRUE(registry.registerTask("* * * * * *", "tick", log.callback()));
    TaskScheduler scheduler(registry);
    scheduler.startSupervisor();
    std::this_thread::sleep_for(4500ms);
    scheduler.stopTasks();
    std::vector<Call> calls = log.calls();
    ASSERT_GE(calls.size(), 3u);
    for (size_t i = 1; i < calls.size(); ++i) {
        EXPECT_EQ(std::stoll(calls[i].stamp) / 1000 - std::stoll(calls[i - 1].stamp) / 1000, 1)
            << calls[i - 1].stamp << " then " << calls[i].stamp;
    }
}

TEST_F(SchedulerTest, DeletedTaskEndsWithoutWriting) {
    TaskRegistry registry(runDir());
    CallLog log;
    ASSERT_TRUE(registry.registerTask("* * * * * *", "gone", log.callback()));
    TaskScheduler scheduler(registry);
    scheduler.startSupervisor();
    ASSERT_TRUE(waitUntil([&] { return log.size() >= 1; }, 3s));

    ASSERT_TRUE(registry.deleteTask("gone"));
    const size_t calls = log.size();
    EXPECT_TRUE(waitUntil([&] { return scheduler.liveThreads() == 0; }, 600ms));
    EXPECT_FALSE(registry.hasTask("gone"));
    EXPECT_EQ(registry.toText().find("gone"), std::string::npos);
    std::this_thread::sleep_for(1100ms);
    EXPECT_EQ(log.size(), calls);
}

TEST_F(SchedulerTest, StopTasksEndsEveryThreadPromptly) {
    TaskRegistry registry(runDir());
    CallLog log;
    ASSERT_TRUE(registry.registerTask("* * * * * *", "fast", log.callback()));
    ASSERT_TRUE(registry.registerTask("0 0 0 1 1 *", "yearly", log.callback()));
    TaskScheduler scheduler(registry);
    scheduler.startSupervisor();
    ASSERT_TRUE(waitUntil([&] { return scheduler.liveThreads() == 2; }, 2s));
    EXPECT_EQ(registry.getInt("yearly.status"), kTaskRunning);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(scheduler.stopTasks());
    EXPECT_TRUE(waitUntil([&] { return scheduler.liveThreads() == 0; }, 300ms));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 300ms);
    EXPECT_EQ(registry.getInt("fast.status"), kTaskEnded);
    EXPECT_EQ(registry.getInt("yearly.status"), kTaskEnded);
    EXPECT_TRUE(waitUntil([&] { return !scheduler.running(); }, 1s));
}

TEST_F(SchedulerTest, StopTasksReachesTasksThatNeverStarted) {
    TaskRegistry registry(runDir());
    TaskScheduler scheduler(registry);
    ASSERT_TRUE(registry.registerTask("1 * * * * *", "a", CallLog().callback()));
    ASSERT_TRUE(registry.registerTask("1 * * * * *", "b", CallLog().callback()));
    scheduler.stopTasks();
    EXPECT_EQ(registry.getInt("a.status"), kTaskEnded);
    EXPECT_EQ(registry.getInt("b.status"), kTaskEnded);
}

TEST_F(SchedulerTest, EmptyRegistryEndsTheSupervisor) {
    TaskRegistry registry(runDir());
    TaskScheduler scheduler(registry);
    scheduler.startSupervisor();
    EXPECT_TRUE(waitUntil([&] { return !scheduler.running(); }, 500ms));
    // Added afterwards: waits for the next start of the program.
    ASSERT_TRUE(registry.registerTask("* * * * * *", "late", CallLog().callback()));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(registry.getInt("late.status"), kTaskRegistered);
    EXPECT_EQ(scheduler.liveThreads(), 0);
}

TEST_F(SchedulerTest, RegisteringARunningTaskKeepsItsThread) {
    TaskRegistry registry(runDir());
    CallLog log;
    ASSERT_TRUE(registry.registerTask("* * * * * *", "re", log.callback()));
    TaskScheduler scheduler(registry);
    scheduler.startSupervisor();
    ASSERT_TRUE(waitUntil([&] { return log.size() >= 1; }, 3s));
    const int32_t handle = registry.getInt("re.handle");

    ASSERT_TRUE(registry.registerTask("* * * * * *", "re", log.callback(), 1));
    EXPECT_EQ(registry.getInt("re.status"), kTaskRunning);
    EXPECT_EQ(registry.getInt("re.handle"), handle);
    // The running thread picks up the new limit at its next computation (the count restarted at 0; the runs
    // left in the current round of three moments come first).
    EXPECT_TRUE(waitUntil([&] { return registry.getInt("re.status") == kTaskEnded; }, 6s));
    EXPECT_GE(registry.getInt("re.call_count"), 1);
    EXPECT_LE(registry.getInt("re.call_count"), 3);
    EXPECT_EQ(scheduler.liveThreads(), 0);
}

TEST_F(SchedulerTest, CallbackStuckAtShutdownIsAbandoned) {
    // The abandoned thread outlives this test's frame: what it reads lives as long as it does.
    struct Flags {
        std::atomic<bool> entered{false};
        std::atomic<bool> release{false};
    };
    auto flags = std::make_shared<Flags>();
    std::atomic<bool>& entered = flags->entered;
    std::atomic<bool>& release = flags->release;
    auto registry = std::make_unique<TaskRegistry>(runDir());
    ASSERT_TRUE(registry->registerTask("* * * * * *", "stuck",
                                       [flags](const std::string&, const std::string&, int64_t) {
                                           flags->entered.store(true);
                                           while (!flags->release.load())
                                               std::this_thread::sleep_for(5ms);
                                           return 0;
                                       }));
    auto scheduler = std::make_unique<TaskScheduler>(*registry);
    scheduler->startSupervisor();
    ASSERT_TRUE(waitUntil([&] { return entered.load(); }, 3s));

    const auto start = std::chrono::steady_clock::now();
    scheduler.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    // The registry goes too; the abandoned thread still finishes safely once its callback returns.
    registry.reset();
    release.store(true);
    std::this_thread::sleep_for(200ms);
}

TEST_F(SchedulerTest, StopTasksAbortsARunningTransfer) {
    std::atomic<bool> release{false};
    testing::LocalHttpServer server([&](const testing::RecordedRequest&) {
        while (!release.load())
            std::this_thread::sleep_for(5ms);
        return testing::LocalHttpServer::response(200, "late");
    });
    writeTask("slow",
              "[sys]\ntime=* * * * * *\n[info]\ntype=http\nmethod=get\nurl=" + server.url("/") + "\n");
    TaskRegistry registry(runDir());
    ASSERT_TRUE(registry.addTaskFile("slow"));
    TaskScheduler scheduler(registry);
    scheduler.startSupervisor();
    ASSERT_TRUE(waitUntil([&] { return !server.requests().empty(); }, 3s));

    // The thread is inside the transfer; without an abort it would wait for the peer's answer.
    const auto start = std::chrono::steady_clock::now();
    scheduler.stopTasks();
    EXPECT_TRUE(waitUntil([&] { return scheduler.liveThreads() == 0; }, 2500ms));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
    release.store(true);
}

// overlap=skip: a program that outlasts its one-second period makes the moments during its run be skipped and
// logged, not run; with the default (allow) the runs overlap as they always did. The events tell the same.
TEST_F(SchedulerTest, OverlapSkipLeavesOutMomentsWhileTheRunGoesOn) {
    writeTask("slow",
              "[sys]\ntime=* * * * * *\n[info]\ntype=run\npath=/bin/sleep\nparams=2.5\noverlap=skip\n");
    writeTask("piled", "[sys]\ntime=* * * * * *\n[info]\ntype=run\npath=/bin/sleep\nparams=2.5\n");
    // Programs still running when the test ends report to these until the registry is gone: they go last.
    std::mutex mutex;
    std::map<std::string, int> skipped;
    std::map<std::string, int> succeeded;
    TaskRegistry registry(runDir());
    registry.loadTaskFiles();
    TaskEvents events;
    events.skipped = [&](const std::string& name, SkipReason reason) {
        std::lock_guard lock(mutex);
        if (reason == SkipReason::Overlap)
            ++skipped[name];
    };
    events.runFinished = [&](const std::string& name, RunResult result, double seconds) {
        std::lock_guard lock(mutex);
        if (result == RunResult::Success && seconds >= 2)
            ++succeeded[name];
    };
    {
        TaskScheduler scheduler(registry);
        scheduler.setTaskEvents(events);
        scheduler.startSupervisor();
        // Until the first program of the skipping task has ended and two more moments were skipped.
        EXPECT_TRUE(waitUntil(
            [&] {
                std::lock_guard lock(mutex);
                return succeeded["slow"] >= 1 && skipped["slow"] >= 2;
            },
            15s));
    }
    auto count = [this](const std::string& prefix) {
        int n = 0;
        for (const std::string& line : logLines())
            n += line.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    };
    const std::string colon = "\xA3\xBA";
    // Never two programs of the skipping task at once: each run ends before the next one starts.
    int running = 0;
    for (const std::string& line : logLines()) {
        if (line.rfind("crontab|do" + colon + "name(slow)", 0) == 0) {
            EXPECT_EQ(++running, 1) << line;
        }
        if (line.rfind("crontab|done" + colon + "name(slow)", 0) == 0 ||
            line.rfind("crontab|left running" + colon + "name(slow)", 0) == 0)
            --running;
    }
    EXPECT_GE(count("crontab|skip" + colon + "name(slow),time("), 2);
    EXPECT_NE(waitForLine("crontab|skip" + colon + "name(slow),time("), "");
    EXPECT_NE(
        waitForLine("crontab|skip" + colon + "name(slow),time(").find("),reason(previous run still going)."),
        std::string::npos);
    std::lock_guard lock(mutex);
    EXPECT_EQ(skipped["piled"], 0);
    EXPECT_EQ(count("crontab|skip" + colon + "name(piled)"), 0);
    EXPECT_GE(count("crontab|do" + colon + "name(piled)"), count("crontab|do" + colon + "name(slow)") + 1);
}

}  // namespace
}  // namespace kestrum
