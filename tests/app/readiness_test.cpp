// Readiness probes without a server: one probe at a time shared by the requests that wait for it, the drain,
// and the configuration keys a reload names as needing a restart.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "app/readiness.h"
#include "app/reload.h"
#include "support/kestrum_process.h"
#include "util/worker_pool.h"

namespace kestrum {
namespace {

using namespace std::chrono_literals;

struct Outcome {
    bool ready = false;
    std::string envelope;
};

TEST(ReadinessTest, OneProbeAnswersEveryWaitingRequestAndDrainAnswersAtOnce) {
    WorkerPool workers;
    ASSERT_TRUE(workers.start(2));
    Readiness readiness(workers);
    std::atomic<int> probes{0};
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    readiness.addCheck([&] {
        ++probes;
        released.wait();
        return std::string("mysql: 0 of 5 connections usable");
    });
    readiness.addCheck([] { return std::string(); });
    readiness.addCheck([] { return std::string("http: port 8080 not listening"); });

    std::vector<std::promise<Outcome>> answers(5);
    for (auto& answer : answers) {
        readiness.check([&answer](bool ready, std::string envelope) { answer.set_value({ready, envelope}); });
    }
    release.set_value();
    for (auto& answer : answers) {
        Outcome outcome = answer.get_future().get();
        EXPECT_FALSE(outcome.ready);
        EXPECT_EQ(
            outcome.envelope,
            R"({"errcode":503,"errmsg":"mysql: 0 of 5 connections usable; http: port 8080 not listening"})");
    }
    EXPECT_EQ(probes.load(), 1);

    // Within a second the outcome is given again without a probe, on the calling thread.
    bool answered = false;
    readiness.check([&](bool, std::string) { answered = true; });
    EXPECT_TRUE(answered);
    EXPECT_EQ(probes.load(), 1);

    readiness.beginDrain();
    Outcome drained;
    readiness.check([&](bool ready, std::string envelope) { drained = {ready, envelope}; });
    EXPECT_FALSE(drained.ready);
    EXPECT_EQ(drained.envelope, R"({"errcode":503,"errmsg":"shutting down"})");
    workers.stop();
}

TEST(ReadinessTest, ReadyWhenEveryCheckPasses) {
    WorkerPool workers;
    ASSERT_TRUE(workers.start(1));
    Readiness readiness(workers);
    readiness.addCheck([] { return std::string(); });
    std::promise<Outcome> answer;
    readiness.check([&](bool ready, std::string envelope) { answer.set_value({ready, envelope}); });
    Outcome outcome = answer.get_future().get();
    EXPECT_TRUE(outcome.ready);
    EXPECT_EQ(outcome.envelope, R"({"errcode":200,"errmsg":"ready"})");
    workers.stop();
}

TEST(ConfigSnapshotTest, NamesKeysAddedRemovedAndChangedOnly) {
    testing::TempDir dir;
    dir.write("config.ini", "[sys]\nport_http=8080\nwhitelist=127.0.0.1\nonDebug=0\n");
    dir.write("mod/mysql/config.ini", "[sys]\non=1\nconnectSum=5\n");
    const ConfigSnapshot before = ConfigSnapshot::take(dir.path());
    EXPECT_TRUE(ConfigSnapshot::changedKeys(before, ConfigSnapshot::take(dir.path())).empty());

    // Comments, blanks and the case of names change nothing; values do.
    dir.write("config.ini",
              "; edited\n[SYS]\n PORT_HTTP = 8080\nwhitelist=127.0.0.1,10.0.0.1\nmetrics_path=/m\n");
    dir.write("mod/mysql/config.ini", "[sys]\non=1\n");
    const std::vector<std::string> expected = {
        "config.ini [SYS] metrics_path",
        "config.ini [sys] onDebug",
        "config.ini [SYS] whitelist",
        "mod/mysql/config.ini [sys] connectSum",
    };
    EXPECT_EQ(ConfigSnapshot::changedKeys(before, ConfigSnapshot::take(dir.path())), expected);
}

}  // namespace
}  // namespace kestrum
