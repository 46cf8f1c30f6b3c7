// The service manager's notifications: the notify socket read from the environment, the watchdog's pings
// from the network loops and watched parts (stopping while one of them is stuck), and the real binary under a
// notify socket of the test's own.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <poll.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "app/watchdog.h"
#include "support/http_client.h"
#include "support/kestrum_process.h"
#include "util/event_loops.h"
#include "util/service_notify.h"

namespace kestrum {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::gb;
using testing::HttpClient;
using testing::KestrumProcess;
using testing::RunDir;

// A notify socket the test owns, bound to a path in a fresh directory (or to an abstract name).
class NotifySocket {
  public:
    explicit NotifySocket(bool abstract = false) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        name_ = abstract
                    ? "@kestrum-notify-test-" + std::to_string(::getpid()) + "-" + std::to_string(++count_)
                    : dir_.path() + "/notify";
        std::memcpy(address.sun_path, name_.data(), name_.size());
        if (abstract)
            address.sun_path[0] = '\0';
        const socklen_t length =
            static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name_.size() + (abstract ? 0 : 1));
        bound_ = ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), length) == 0;
    }
    ~NotifySocket() { ::close(fd_); }
    bool bound() const { return bound_; }
    const std::string& name() const { return name_; }

    // The messages that arrive within `limit`.
    std::vector<std::string> receiveFor(std::chrono::milliseconds limit) {
        std::vector<std::string> messages;
        const auto until = Clock::now() + limit;
        std::string message;
        while (next(message, until))
            messages.push_back(message);
        return messages;
    }
    // Waits for `wanted`; false when it does not come within `limit`. Messages before it are dropped.
    bool waitFor(const std::string& wanted, std::chrono::milliseconds limit) {
        const auto until = Clock::now() + limit;
        std::string message;
        while (next(message, until)) {
            if (message == wanted)
                return true;
        }
        return false;
    }

  private:
    bool next(std::string& message, Clock::time_point until) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        pollfd ready{fd_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) != 1)
            return false;
        char buffer[512];
        const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
        if (got < 0)
            return false;
        message.assign(buffer, static_cast<size_t>(got));
        return true;
    }

    static inline std::atomic<int> count_{0};
    testing::TempDir dir_;
    std::string name_;
    int fd_ = -1;
    bool bound_ = false;
};

size_t countOf(const std::vector<std::string>& messages, const std::string& wanted) {
    size_t count = 0;
    for (const std::string& message : messages)
        count += message == wanted ? 1 : 0;
    return count;
}

TEST(ServiceNotifyTest, FromTheEnvironment) {
    const std::string self = std::to_string(::getpid());
    const struct {
        const char* name;
        std::map<std::string, std::string> environment;
        bool enabled;
        long long watchdogUs;
    } cases[] = {
        {"no manager", {}, false, 0},
        {"empty socket", {{"NOTIFY_SOCKET", ""}}, false, 0},
        {"relative path", {{"NOTIFY_SOCKET", "run/notify"}}, false, 0},
        {"path too long", {{"NOTIFY_SOCKET", "/" + std::string(200, 'a')}}, false, 0},
        {"path", {{"NOTIFY_SOCKET", "/run/notify"}}, true, 0},
        {"abstract", {{"NOTIFY_SOCKET", "@notify"}}, true, 0},
        {"watchdog", {{"NOTIFY_SOCKET", "/n"}, {"WATCHDOG_USEC", "30000000"}}, true, 30000000},
        {"watchdog for us",
         {{"NOTIFY_SOCKET", "/n"}, {"WATCHDOG_USEC", "5"}, {"WATCHDOG_PID", self}},
         true,
         5},
        {"watchdog for another process",
         {{"NOTIFY_SOCKET", "/n"}, {"WATCHDOG_USEC", "5"}, {"WATCHDOG_PID", "1"}},
         true,
         0},
        {"watchdog not a number", {{"NOTIFY_SOCKET", "/n"}, {"WATCHDOG_USEC", "30s"}}, true, 0},
        {"watchdog zero", {{"NOTIFY_SOCKET", "/n"}, {"WATCHDOG_USEC", "0"}}, true, 0},
        {"watchdog without a socket", {{"WATCHDOG_USEC", "5"}}, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ServiceNotify notify = ServiceNotify::fromEnvironment(c.environment);
        EXPECT_EQ(notify.enabled(), c.enabled);
        EXPECT_EQ(notify.watchdogInterval().count(), c.watchdogUs);
    }
    EXPECT_FALSE(ServiceNotify().send("READY=1"));
}

TEST(ServiceNotifyTest, MessagesReachPathAndAbstractSockets) {
    for (bool abstract : {false, true}) {
        SCOPED_TRACE(abstract ? "abstract" : "path");
        NotifySocket socket(abstract);
        ASSERT_TRUE(socket.bound());
        ServiceNotify notify(socket.name(), {});
        ASSERT_TRUE(notify.enabled());
        EXPECT_TRUE(notify.send("READY=1"));
        EXPECT_TRUE(notify.send("STATUS=one\nWATCHDOG=1"));
        EXPECT_EQ(socket.receiveFor(500ms), (std::vector<std::string>{"READY=1", "STATUS=one\nWATCHDOG=1"}));
    }
    // Nobody listens: a failure, not a crash.
    ServiceNotify gone("/nonexistent/notify", {});
    EXPECT_FALSE(gone.send("READY=1"));
}

class WatchdogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(socket_.bound());
        ASSERT_TRUE(loops_.start());
    }
    void TearDown() override { loops_.stop(); }
    // The loop runs nothing else for `duration`: it has stopped turning.
    void block(int loop, std::chrono::milliseconds duration) {
        loops_.post(loop, [duration] { std::this_thread::sleep_for(duration); });
    }
    // Pings over `window`, after the one a round finished before the hold-up may still send.
    size_t pingsWithin(std::chrono::milliseconds window) {
        socket_.receiveFor(kInterval);
        return countOf(socket_.receiveFor(window), "WATCHDOG=1");
    }

    static constexpr std::chrono::milliseconds kInterval{600};  // pings every 300 ms while all is well
    NotifySocket socket_;
    EventLoops loops_{2};
};

TEST_F(WatchdogTest, PingsStopWhileALoopIsStuckAndResumeAfter) {
    Watchdog watchdog(loops_, ServiceNotify(socket_.name(), kInterval));
    ASSERT_TRUE(watchdog.enabled());
    watchdog.ready();
    ASSERT_TRUE(socket_.waitFor("READY=1", 2s));
    EXPECT_GE(countOf(socket_.receiveFor(1500ms), "WATCHDOG=1"), 2u);
    for (int loop : {0, 1}) {  // the loop with the watchdog's timer, and another one
        SCOPED_TRACE(loop);
        block(loop, 3000ms);
        EXPECT_EQ(pingsWithin(1500ms), 0u);
        EXPECT_TRUE(socket_.waitFor("WATCHDOG=1", 5s));  // turning again
    }
    watchdog.stopping();
    watchdog.stopping();
    watchdog.stop();
    const std::vector<std::string> after = socket_.receiveFor(1000ms);
    EXPECT_EQ(countOf(after, "STOPPING=1"), 1u);
    EXPECT_LE(countOf(after, "WATCHDOG=1"), 1u);  // at most one sent before stop()
    EXPECT_EQ(countOf(socket_.receiveFor(1000ms), "WATCHDOG=1"), 0u);
}

// A watched part (the scheduler) that stops counting its turns stops the pings; one with nothing to do is not
// looked at.
TEST_F(WatchdogTest, WatchedPartThatStopsTurningStopsThePings) {
    std::atomic<uint64_t> turns{0};
    std::atomic<bool> turning{true};
    std::atomic<bool> idle{false};
    std::atomic<bool> done{false};
    std::thread part([&] {
        while (!done) {
            if (turning)
                ++turns;
            std::this_thread::sleep_for(20ms);
        }
    });
    {
        Watchdog watchdog(loops_, ServiceNotify(socket_.name(), kInterval));
        watchdog.watch([&]() -> std::optional<uint64_t> {
            if (idle)
                return std::nullopt;
            return turns.load();
        });
        watchdog.ready();
        ASSERT_TRUE(socket_.waitFor("READY=1", 2s));
        EXPECT_TRUE(socket_.waitFor("WATCHDOG=1", 3s));
        turning = false;
        EXPECT_EQ(pingsWithin(1500ms), 0u);
        idle = true;
        EXPECT_TRUE(socket_.waitFor("WATCHDOG=1", 3s));
        idle = false;
        turning = true;
        EXPECT_TRUE(socket_.waitFor("WATCHDOG=1", 3s));
    }
    done = true;
    part.join();
}

TEST_F(WatchdogTest, WithoutAManagerNothingIsSentOrStarted) {
    Watchdog none(loops_, ServiceNotify());
    EXPECT_FALSE(none.enabled());
    none.ready();
    none.stop();
    // A manager that wants no watchdog gets READY=1 and no pings.
    Watchdog readyOnly(loops_, ServiceNotify(socket_.name(), {}));
    readyOnly.ready();
    EXPECT_EQ(socket_.receiveFor(1000ms), std::vector<std::string>{"READY=1"});
}

// The binary under a notify socket: ready once its listener is up, pings while it serves, none while a
// request holds a network thread (the fault injection hook), STOPPING=1 at SIGTERM.
TEST_F(WatchdogTest, BinaryReportsReadyPingsAndStopping) {
    RunDir dir;
    dir.installCertificates();
    dir.switchModulesOff();
    const int port = testing::freePort();
    // One network thread: the request that holds it holds the whole server.
    dir.write("config.ini", "[sys]\r\nlocal_ip=127.0.0.1\r\nip_lookup_url=\r\nport_http=" +
                                std::to_string(port) + "\r\nwhitelist=127.0.0.1\r\nnetwork_threads=1\r\n");
    KestrumProcess process;
    process.setEnvironment("NOTIFY_SOCKET", socket_.name());
    process.setEnvironment("WATCHDOG_USEC", "600000");
    process.setEnvironment("WATCHDOG_PID", "");
    ASSERT_TRUE(process.start(dir.path()));
    ASSERT_TRUE(socket_.waitFor("READY=1", 20s)) << process.errorOutput();
    // READY=1 comes after the listener is up.
    EXPECT_TRUE(testing::get("127.0.0.1", port, "/api/this/heart"));
    EXPECT_TRUE(process.waitForLog(dir, gb("server丨service manager：ready,watchdog(600 ms).")));
    EXPECT_GE(countOf(socket_.receiveFor(1500ms), "WATCHDOG=1"), 2u);
#ifdef KESTRUM_FAULT_INJECTION
    HttpClient holder;
    ASSERT_TRUE(holder.connect("127.0.0.1", port));
    ASSERT_TRUE(holder.sendRequest("GET", "/api/this/heart", {}, {{"X-Kestrum-Fault", "block"}}));
    EXPECT_EQ(pingsWithin(1500ms), 0u);
    EXPECT_TRUE(socket_.waitFor("WATCHDOG=1", 5s));
#endif
    EXPECT_EQ(process.stop(SIGTERM), 0);
    EXPECT_EQ(countOf(socket_.receiveFor(500ms), "STOPPING=1"), 1u);
}

}  // namespace
}  // namespace kestrum
