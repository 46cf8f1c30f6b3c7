// Task leases inside one scheduler: the claim made before each due moment of a task file, with a scripted
// claimer standing in for Redis.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "scheduler/task_lease.h"
#include "scheduler/task_registry.h"
#include "scheduler/task_scheduler.h"
#include "scheduler_fixture.h"

namespace kestrum {
namespace {

using namespace std::chrono_literals;
using testing::gb;

struct Claim {
    std::string key;
    std::string value;
    int64_t ttlMs;
};

// Records every claim and answers with whatever `answer` currently is.
class ScriptedClaimer {
  public:
    LeaseClaimer claimer() {
        return [this](const std::string& key, const std::string& value, int64_t ttlMs) {
            std::lock_guard lock(mutex_);
            claims_.push_back({key, value, ttlMs});
            return answer_;
        };
    }
    void answer(LeaseClaim claim) {
        std::lock_guard lock(mutex_);
        answer_ = claim;
    }
    std::vector<Claim> claims() const {
        std::lock_guard lock(mutex_);
        return claims_;
    }

  private:
    mutable std::mutex mutex_;
    LeaseClaim answer_ = LeaseClaim::Claimed;
    std::vector<Claim> claims_;
};

class LeaseTest : public testing::SchedulerFixture {
  protected:
    // A task file due every second whose action is nothing but its "do：" log line.
    void writeTickTask(const std::string& extraSys = {}) {
        writeTask("tick", "[sys]\ntime=* * * * * *\n" + extraSys + "[info]\ntype=none\n");
    }
    LeaseSettings settings(bool fallbackRun = false) {
        LeaseSettings lease;
        lease.on = true;
        lease.db = 3;
        lease.prefix = "p:";
        lease.instanceName = "node-a";
        lease.fallbackRun = fallbackRun;
        return lease;
    }
    size_t countLines(const std::string& part) const {
        size_t count = 0;
        for (const std::string& line : logLines())
            count += line.find(part) != std::string::npos ? 1 : 0;
        return count;
    }
    size_t runs() const { return countLines(gb("crontab|do：name(tick)")); }
    void outage(bool fallbackRun);
};

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

TEST(LeaseNames, KeyAndTimeToLive) {
    EXPECT_EQ(leaseKey("kestrum:lease:", "backup", 1700000003000), "kestrum:lease:backup:1700000003");
    EXPECT_EQ(leaseKey("p:", "a b", 1700000003999), "p:a b:1700000003");  // the second the moment is due in
    EXPECT_EQ(leaseKey("p:", "t", -1), "p:t:-1");

    const struct {
        int64_t period;
        int64_t ttl;
    } cases[] = {{1000, 6000}, {60000, 65000},     {0, 5000},
                 {-5, 5000},   {3598000, 3600000}, {86400000, 3600000}};
    for (const auto& c : cases)
        EXPECT_EQ(leaseTtlMs(c.period), c.ttl) << c.period;
}

TEST_F(LeaseTest, SettingsFromTheConfigurationFiles) {
    const struct {
        const char* cron;
        const char* main;
        bool on;
        int32_t db;
        const char* instance;  // nullptr: the default "<host>:<pid>"
        bool fallbackRun;
        const char* prefix;
    } cases[] = {
        {"[sys]\non=1\n", "", false, 0, "", false, "kestrum:lease:"},
        {"[sys]\nlease_db=\n", "", false, 0, "", false, "kestrum:lease:"},
        {"[sys]\nlease_db=2\n", "", true, 2, nullptr, false, "kestrum:lease:"},
        {"[sys]\nlease_db=15\nlease_fallback=run\nlease_prefix=grp1:\n", "[sys]\ninstance_name=web 1\n", true,
         15, "web 1", true, "grp1:"},
        {"[sys]\nlease_db=1\nlease_fallback=RUN\n", "[sys]\ninstance_name=\n", true, 1, nullptr, false,
         "kestrum:lease:"},
        {"[sys]\nlease_db=one\n", "", false, 0, "", false, "kestrum:lease:"},
        {"[sys]\nlease_db=-1\n", "", false, 0, "", false, "kestrum:lease:"},
    };
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    const std::string defaultName = std::string(host) + ":" + std::to_string(::getpid());
    for (const auto& c : cases) {
        dir_.write("mod/crontab/config.ini", c.cron);
        dir_.write("config.ini", c.main);
        LeaseSettings lease = loadLeaseSettings(runDir());
        SCOPED_TRACE(c.cron);
        EXPECT_EQ(lease.on, c.on);
        EXPECT_EQ(lease.db, c.db);
        EXPECT_EQ(lease.instanceName, c.instance ? std::string(c.instance) : defaultName);
        EXPECT_EQ(lease.fallbackRun, c.fallbackRun);
        EXPECT_EQ(lease.prefix, c.prefix);
    }
    EXPECT_EQ(countLines(gb("crontab|lease off：lease_db(one) is no database number.")), 1u);
    EXPECT_EQ(countLines(gb("crontab|lease off：lease_db(-1) is no database number.")), 1u);
}

TEST_F(LeaseTest, ClaimedMomentsRunAndModuleTasksTakeNoLease) {
    writeTickTask();
    TaskRegistry registry(runDir());
    registry.loadTaskFiles();
    std::atomic<int> keepAlive{0};
    ASSERT_TRUE(registry.registerTask("* * * * * *", "poolHeart",
                                      [&](const std::string&, const std::string&, int64_t) {
                                          ++keepAlive;
                                          return 0;
                                      }));
    ScriptedClaimer claimer;
    TaskScheduler scheduler(registry);
    scheduler.setLease(settings(), claimer.claimer());
    scheduler.startSupervisor();
    ASSERT_TRUE(waitUntil([&] { return runs() >= 3; }, 5s));
    scheduler.stopTasks();

    std::vector<Claim> claims = claimer.claims();
    ASSERT_GE(claims.size(), 3u);
    EXPECT_LE(claims.size(), runs() + 1);  // a claim made just before the stop may not have run yet
    for (size_t i = 0; i < claims.size(); ++i) {
        EXPECT_EQ(claims[i].key.rfind("p:tick:", 0), 0u) << claims[i].key;
        EXPECT_EQ(claims[i].value, "node-a");
        EXPECT_EQ(claims[i].ttlMs, 6000);
        if (i > 0) {  // named by consecutive scheduled seconds
            EXPECT_EQ(std::stoll(claims[i].key.substr(7)), std::stoll(claims[i - 1].key.substr(7)) + 1);
        }
    }
    EXPECT_GE(keepAlive.load(), 2);
    EXPECT_EQ(countLines(gb("crontab|lease on：db(3),instance(node-a),fallback(skip).")), 1u);
}

TEST_F(LeaseTest, MomentsClaimedElsewhereAreCountedButNotRun) {
    bindProcessLog(&log_, true);  // the refusal line is debug-only
    writeTickTask("maxdo=1\ntimes_maxdo=2\n");
    TaskRegistry registry(runDir());
    registry.loadTaskFiles();
    ScriptedClaimer claimer;
    claimer.answer(LeaseClaim::Refused);
    TaskScheduler scheduler(registry);
    scheduler.setLease(settings(), claimer.claimer());
    scheduler.startSupervisor();
    // The run limit holds for the group: two moments run elsewhere end the task here too.
    ASSERT_TRUE(waitUntil([&] { return registry.getInt("tick.status") == kTaskEnded; }, 5s));
    EXPECT_EQ(registry.getInt("tick.call_count"), 2);
    EXPECT_EQ(claimer.claims().size(), 2u);
    EXPECT_EQ(runs(), 0u);
    EXPECT_EQ(countLines(gb("crontab|lease elsewhere：name(tick),time(")), 2u);
}

// Redis down: no run (or, with lease_fallback=run, a run on every instance), one line for the whole outage
// and one when claims work again.
void LeaseTest::outage(bool fallbackRun) {
    {
        writeTickTask();
        TaskRegistry registry(runDir());
        registry.loadTaskFiles();
        ScriptedClaimer claimer;
        claimer.answer(LeaseClaim::Unavailable);
        TaskScheduler scheduler(registry);
        scheduler.setLease(settings(fallbackRun), claimer.claimer());
        scheduler.startSupervisor();
        ASSERT_TRUE(waitUntil([&] { return claimer.claims().size() >= 2; }, 4s));
        EXPECT_EQ(runs(), fallbackRun ? claimer.claims().size() : 0u);
        EXPECT_EQ(registry.getInt("tick.call_count"), fallbackRun ? int32_t(runs()) : 0);

        claimer.answer(LeaseClaim::Claimed);
        const size_t before = runs();
        ASSERT_TRUE(waitUntil([&] { return runs() >= before + 1; }, 3s));
        scheduler.stopTasks();
        const std::string outage =
            fallbackRun ? "crontab|lease unavailable：db(3),due moments run on every instance "
                          "until claims work again."
                        : "crontab|lease unavailable：db(3),due moments are skipped until claims "
                          "work again.";
        EXPECT_EQ(countLines(gb(outage)), 1u);
        EXPECT_EQ(countLines(gb("crontab|lease available：db(3).")), 1u);
    }
}

TEST_F(LeaseTest, OutageSkipsMoments) {
    outage(false);
}

TEST_F(LeaseTest, OutageWithFallbackRunsMoments) {
    outage(true);
}

// The shutdown stops the tasks, then closes Redis: a claim on its way meanwhile fails, and the stopped task
// neither runs (even with lease_fallback=run) nor reports an outage.
TEST_F(LeaseTest, ClaimFailingAfterTheStopRunsNothing) {
    writeTickTask();
    TaskRegistry registry(runDir());
    registry.loadTaskFiles();
    TaskScheduler scheduler(registry);
    std::atomic<int> claims{0};
    scheduler.setLease(settings(true), [&](const std::string&, const std::string&, int64_t) {
        ++claims;
        scheduler.stopTasks();
        return LeaseClaim::Unavailable;
    });
    scheduler.startSupervisor();
    ASSERT_TRUE(waitUntil([&] { return registry.getInt("tick.status") == kTaskEnded; }, 5s));
    ASSERT_TRUE(waitUntil([&] { return scheduler.liveThreads() == 0; }, 5s));
    EXPECT_EQ(claims.load(), 1);
    EXPECT_EQ(runs(), 0u);
    EXPECT_EQ(countLines(gb("lease unavailable")), 0u);
}

TEST_F(LeaseTest, LeaseOffNeverClaims) {
    writeTickTask();
    TaskRegistry registry(runDir());
    registry.loadTaskFiles();
    ScriptedClaimer claimer;
    TaskScheduler scheduler(registry);
    scheduler.setLease(LeaseSettings{}, claimer.claimer());
    scheduler.startSupervisor();
    ASSERT_TRUE(waitUntil([&] { return runs() >= 2; }, 4s));
    scheduler.stopTasks();
    EXPECT_TRUE(claimer.claims().empty());
    EXPECT_EQ(countLines(gb("lease")), 0u);
}

}  // namespace
}  // namespace kestrum
