// The fault guard: a unit of work that faults or throws on a network, worker or task thread is abandoned and
// logged while the thread and the process go on; a fault anywhere else ends the process with the signal.
#include "app/fault_guard.h"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "log/log_writer.h"
#include "scheduler/task_registry.h"
#include "scheduler/task_scheduler.h"
#include "support/http_client.h"
#include "support/kestrum_process.h"
#include "util/event_loops.h"
#include "util/recovery_point.h"
#include "util/worker_pool.h"

namespace kestrum {
namespace {

using namespace std::chrono_literals;
using testing::gb;
using testing::HttpClient;
using testing::KestrumProcess;
using testing::RunDir;

const std::string kHost = "127.0.0.1";

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// A real fault, which the UndefinedBehaviorSanitizer build must not report (and end the test at) first.
__attribute__((no_sanitize("undefined"))) void segfault() {
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
}

size_t countOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// The guard and a process log in a temporary directory, for the in-process tests.
class GuardedProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        LogWriter::OpenOptions options;
        options.runDir = dir_.path();
        options.fileName = "test.log";
        options.lineTemplate = "[type]|[content]";
        log_.open(options);
        bindProcessLog(&log_, false);
        installFaultGuard();
    }
    void TearDown() override {
        removeFaultGuard();
        unbindProcessLog();
    }
    std::string logText() {
        log_.flush();
        return dir_.read("log/test.log");
    }

    testing::TempDir dir_;
    LogWriter log_;
};

TEST(FaultGuardBinaryTest, NetworkThreadFaultsCloseOnlyTheirConnection) {
#ifndef KESTRUM_FAULT_INJECTION
    GTEST_SKIP() << "kestrum was built without the fault injection hook (scripts/build.sh --fault-hook)";
#endif
    RunDir dir;
    dir.installCertificates();
    const int port = testing::freePort();
    dir.write("config.ini", "[sys]\r\nlocal_ip=127.0.0.1\r\nip_lookup_url=\r\nport_http=" +
                                std::to_string(port) + "\r\nwhitelist=127.0.0.1\r\nnetwork_threads=2\r\n");
    for (const char* module : {"mysql", "redis", "crontab"})
        dir.write(std::string("mod/") + module + "/config.ini", "[sys]\r\non=0\r\n");
    KestrumProcess process;
    // An AddressSanitizer build of the binary hands the faults to the guard, and skips the leak check at
    // exit: each recovered fault leaves what its abandoned frames held (the request being read, asio's
    // handler memory) unfreed, by design. The binary's leaks are checked by the other binary-level tests.
    const char* inherited = std::getenv("ASAN_OPTIONS");
    process.setEnvironment("ASAN_OPTIONS",
                           std::string(inherited != nullptr ? inherited : "") +
                               ":handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0"
                               ":allow_user_segv_handler=1:detect_leaks=0");
    ASSERT_TRUE(process.start(dir.path()));
    ASSERT_TRUE(process.waitForLog(dir, gb("start success：port(") + std::to_string(port) + ")."))
        << process.output() << process.errorOutput() << dir.logText();

    // A kept-alive bystander that must be served throughout.
    HttpClient bystander;
    ASSERT_TRUE(bystander.connect(kHost, port));
    struct Case {
        const char* fault;
        std::string line;
    };
    const Case cases[] = {
        {"segv", gb("sys/fault丨fault：signal(SIGSEGV),thread(network ")},
        {"fpe", gb("sys/fault丨fault：signal(SIGFPE),thread(network ")},
        {"ill", gb("sys/fault丨fault：signal(SIGILL),thread(network ")},
        {"bus", gb("sys/fault丨fault：signal(SIGBUS),thread(network ")},
        {"throw", gb("sys/fault丨exception：what(injected),thread(network ")},
    };
    // Twice round, so that each network thread recovers more than once.
    for (int round = 0; round < 2; ++round) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.fault);
            HttpClient victim;
            ASSERT_TRUE(victim.connect(kHost, port));
            ASSERT_TRUE(victim.sendRequest("GET", "/api/this/heart", {}, {{"X-Kestrum-Fault", c.fault}}));
            EXPECT_TRUE(victim.waitClosed(3s));
            auto reply = bystander.request("GET", "/api/this/heart");
            ASSERT_TRUE(reply) << process.errorOutput();
            EXPECT_EQ(reply->status, 200);
            ASSERT_TRUE(process.waitForLog(dir, c.line));
            // Both threads take new connections again.
            for (int i = 0; i < 4; ++i) {
                auto fresh = testing::get(kHost, port, "/api/this/heart");
                ASSERT_TRUE(fresh);
                EXPECT_EQ(fresh->status, 200);
            }
        }
    }
    const std::string log = dir.logText();
    for (const Case& c : cases)
        EXPECT_EQ(countOf(log, c.line), 2u) << c.fault;
    EXPECT_NE(log.find("unit(connection id("), std::string::npos);
    // Abandoned connections do not hold up the shutdown.
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(process.stop(), 0) << process.errorOutput();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
    EXPECT_NE(dir.logText().find(gb("app/end")), std::string::npos);
}

// The same through the binary: once the one network thread answers again after a recovered fault, the fault's
// report is in the file, and a SIGKILL at that moment leaves it there.
TEST(FaultGuardBinaryTest, RecoveredFaultIsInTheLogBeforeTheThreadServesAgain) {
#ifndef KESTRUM_FAULT_INJECTION
    GTEST_SKIP() << "kestrum was built without the fault injection hook (scripts/build.sh --fault-hook)";
#endif
    RunDir dir;
    dir.installCertificates();
    const int port = testing::freePort();
    dir.write("config.ini", "[sys]\r\nlocal_ip=127.0.0.1\r\nip_lookup_url=\r\nport_http=" +
                                std::to_string(port) + "\r\nwhitelist=127.0.0.1\r\nnetwork_threads=1\r\n");
    dir.switchModulesOff();
    KestrumProcess process;
    const char* inherited = std::getenv("ASAN_OPTIONS");
    process.setEnvironment("ASAN_OPTIONS",
                           std::string(inherited != nullptr ? inherited : "") +
                               ":handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0"
                               ":allow_user_segv_handler=1:detect_leaks=0");
    ASSERT_TRUE(process.start(dir.path()));
    ASSERT_TRUE(process.waitForLog(dir, gb("start success：port(") + std::to_string(port) + ")."))
        << process.output() << process.errorOutput() << dir.logText();

    HttpClient bystander;
    ASSERT_TRUE(bystander.connect(kHost, port));
    HttpClient victim;
    ASSERT_TRUE(victim.connect(kHost, port));
    ASSERT_TRUE(victim.sendRequest("GET", "/api/this/heart", {}, {{"X-Kestrum-Fault", "segv"}}));
    EXPECT_TRUE(victim.waitClosed(3s));
    auto reply = bystander.request("GET", "/api/this/heart");
    ASSERT_TRUE(reply);
    EXPECT_EQ(process.stop(SIGKILL), 128 + SIGKILL);
    EXPECT_NE(dir.logText().find(gb("sys/fault丨fault：signal(SIGSEGV),thread(network 0)")),
              std::string::npos)
        << dir.logText();
}

TEST_F(GuardedProcess, WorkerJobThatFaultsOrThrowsIsAbandonedAndItsLocksReleased) {
    WorkerPool pool;
    ASSERT_TRUE(pool.start(1));  // one thread: every job after the faults needs the same thread back
    std::mutex shared;
    std::atomic<int> after{0};
    ASSERT_TRUE(pool.submit([&shared] {
        GuardedLock lock(shared);
        logLine("test", "before the fault");
        segfault();
    }));
    ASSERT_TRUE(pool.submit([] { throw std::runtime_error("job failed"); }));
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(pool.submit([&] {
            std::lock_guard lock(shared);  // held by the faulting job when it faulted
            logLine("test", "after");
            after.fetch_add(1);
        }));
    ASSERT_TRUE(waitUntil([&] { return after.load() == 10; }, 5s));
    pool.stop();
    const std::string log = logText();
    EXPECT_NE(log.find(gb("sys/fault|fault：signal(SIGSEGV),thread(worker 0),unit(job id(1)).")),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(gb("sys/fault|exception：what(job failed),thread(worker 0),unit(job id(2)).")),
              std::string::npos);
    EXPECT_EQ(countOf(log, "test|after"), 10u);
}

// The report of a recovered fault waits for the log: the lines before the fault and the report are in the
// file before the thread goes on, so a later fault that ends the process cannot take them along.
TEST_F(GuardedProcess, RecoveredFaultLeavesTheLogInTheFile) {
    WorkerPool pool;
    ASSERT_TRUE(pool.start(1));  // the job that reads the file runs right after the recovery
    std::string seen;
    std::atomic<bool> read{false};
    ASSERT_TRUE(pool.submit([] {
        logLine("test", "before the fault");
        segfault();
    }));
    ASSERT_TRUE(pool.submit([&] {
        seen = dir_.read("log/test.log");  // no flush of its own
        read.store(true);
    }));
    ASSERT_TRUE(waitUntil([&] { return read.load(); }, 5s));
    pool.stop();
    EXPECT_NE(seen.find("test|before the fault\r\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find(gb("sys/fault|fault：signal(SIGSEGV),thread(worker 0),unit(job id(1)).\r\n")),
              std::string::npos)
        << seen;
}

TEST_F(GuardedProcess, NetworkThreadFaultAbandonsItsUnitWithTheLoopIntact) {
    // The abandon action of a faulting event queues work on its own loop (as closing a connection cancels
    // its timers): that work must run, and so must everything after it.
    EventLoops loops(1);
    ASSERT_TRUE(loops.start());
    struct Target {
        EventLoops* loops;
        std::atomic<int> queuedByAbandon{0};
    } target{&loops};
    loops.post(0, [&target] {
        WorkUnit unit(
            "connection", 7,
            [](void* raw) {
                auto* target = static_cast<Target*>(raw);
                asio::post(target->loops->context(0), [target] { target->queuedByAbandon.fetch_add(1); });
            },
            &target);
        segfault();
    });
    std::atomic<int> later{0};
    for (int i = 0; i < 10; ++i)
        loops.post(0, [&later] { later.fetch_add(1); });
    EXPECT_TRUE(waitUntil([&] { return target.queuedByAbandon.load() == 1 && later.load() == 10; }, 5s))
        << target.queuedByAbandon.load() << " " << later.load();
    loops.stop();
    EXPECT_NE(
        logText().find(gb("sys/fault|fault：signal(SIGSEGV),thread(network 0),unit(connection id(7)).")),
        std::string::npos)
        << logText();
}

TEST_F(GuardedProcess, TaskRunThatFaultsEndsOnlyThatRun) {
    TaskRegistry registry(dir_.path());
    std::atomic<int> calls{0};
    std::mutex shared;
    ASSERT_TRUE(registry.registerTask(
        "* * * * * *", "shaky",
        [&](const std::string&, const std::string&, int64_t) {
            const int call = calls.fetch_add(1) + 1;
            if (call == 1) {
                GuardedLock lock(shared);
                segfault();
            }
            if (call == 2)
                throw std::runtime_error("task failed");
            return 0;
        },
        3));
    TaskScheduler scheduler(registry);
    ASSERT_GT(scheduler.startSupervisor(), 0);
    ASSERT_TRUE(waitUntil([&] { return registry.getInt("shaky.status") == kTaskEnded; }, 8s));
    EXPECT_EQ(calls.load(), 3);
    EXPECT_EQ(registry.getInt("shaky.call_count"), 3);
    EXPECT_TRUE(shared.try_lock());
    shared.unlock();
    const std::string log = logText();
    EXPECT_NE(log.find(gb("sys/fault|fault：signal(SIGSEGV),thread(task ")), std::string::npos) << log;
    EXPECT_NE(log.find(gb("sys/fault|exception：what(task failed),thread(task ")), std::string::npos);
    EXPECT_NE(log.find("unit(task id("), std::string::npos);
}

using FaultGuardDeathTest = GuardedProcess;

TEST_F(FaultGuardDeathTest, FaultOutsideAUnitOfWorkEndsTheProcessWithTheSignal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The main thread runs no recovery point.
    EXPECT_EXIT(segfault(), ::testing::KilledBySignal(SIGSEGV), "");
    // Nor does a thread of its own.
    EXPECT_EXIT(std::thread(segfault).join(), ::testing::KilledBySignal(SIGSEGV), "");
    // A recovering thread that faults again while it abandons its unit.
    EXPECT_EXIT(
        {
            RecoveryThread recovery("worker", 9);
            runRecoverable([] {
                WorkUnit unit("job", 1, [](void*) { segfault(); });
                segfault();
            });
        },
        ::testing::KilledBySignal(SIGSEGV), "");
}

}  // namespace
}  // namespace kestrum
