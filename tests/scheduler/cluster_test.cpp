// Several instances of the real binary on one Redis: a task file due every second calls a local HTTP server,
// and the lease makes each moment run once in the group, through the loss of an instance and of Redis. And
// the same instances behind nginx: losing one does not fail the callers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "local_http_server.h"
#include "scheduler/task_scheduler.h"
#include "support/http_client.h"
#include "support/kestrum_process.h"
#include "support/redis_server.h"

namespace kestrum {
namespace {

using namespace std::chrono_literals;
using testing::gb;

// Arrival times of the calls the instances' task makes, counted per second.
class CallCounter {
  public:
    CallCounter()
        : server_([this](const testing::RecordedRequest&) {
              std::lock_guard lock(mutex_);
              arrivals_.push_back(unixTimeMs());
              return testing::LocalHttpServer::response(200, "ok");
          }) {}

    std::string url() const { return server_.url("/tick"); }
    // Calls per second for the whole seconds of [fromMs, toMs).
    std::vector<int> perSecond(int64_t fromMs, int64_t toMs) const {
        const int64_t first = fromMs / 1000 + (fromMs % 1000 ? 1 : 0);
        const int64_t last = toMs / 1000;  // exclusive
        std::vector<int> counts(size_t(std::max<int64_t>(last - first, 0)), 0);
        std::lock_guard lock(mutex_);
        for (int64_t at : arrivals_) {
            const int64_t second = at / 1000;
            if (second >= first && second < last)
                ++counts[size_t(second - first)];
        }
        return counts;
    }
    size_t total() const {
        std::lock_guard lock(mutex_);
        return arrivals_.size();
    }

  private:
    mutable std::mutex mutex_;
    std::vector<int64_t> arrivals_;
    testing::LocalHttpServer server_;
};

// Watches the counter for `duration` (after `settle`) and returns the calls of each whole second.
std::vector<int> watch(const CallCounter& counter, std::chrono::milliseconds settle,
                       std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(settle);
    const int64_t from = unixTimeMs();
    std::this_thread::sleep_for(duration);
    const int64_t to = unixTimeMs();
    std::this_thread::sleep_for(300ms);  // calls of the last second are on their way
    return counter.perSecond(from, to);
}

std::string show(const std::vector<int>& counts) {
    std::string text;
    for (int count : counts)
        text += std::to_string(count) + " ";
    return text;
}

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

struct Node {
    testing::RunDir dir;
    testing::KestrumProcess process;
    int port = 0;
};

// `count` instances on the same configuration but their ports and names. With `redisPort` 0 the Redis and
// scheduler modules are off (the instances only serve).
std::vector<std::unique_ptr<Node>> startNodes(int count, int redisPort, const std::string& taskUrl,
                                              const std::string& cronExtra = {}) {
    std::vector<std::unique_ptr<Node>> nodes;
    for (int i = 0; i < count; ++i) {
        auto node = std::make_unique<Node>();
        node->port = testing::freePort();
        node->dir.installCertificates();
        node->dir.write("config.ini", "[sys]\nlocal_ip=127.0.0.1\nwhitelist=127.0.0.1\nport_http=" +
                                          std::to_string(node->port) + "\ninstance_name=node-" +
                                          std::to_string(i) + "\n");
        node->dir.switchModulesOff();
        if (redisPort != 0) {
            node->dir.write("mod/redis/config.ini",
                            "[sys]\nport=" + std::to_string(redisPort) + "\n[dbsum]\n0=1\n5=2\n");
            node->dir.write("mod/crontab/config.ini", "[sys]\non=1\nlease_db=5\n" + cronExtra);
            node->dir.write("mod/crontab/tasks/tick.ini",
                            "[sys]\ntime=* * * * * *\n[info]\ntype=http\nmethod=get\nurl=" + taskUrl + "\n");
        }
        if (!node->process.start(node->dir.path()))
            return {};
        nodes.push_back(std::move(node));
    }
    for (auto& node : nodes) {
        if (!node->process.waitForOutput("http: http://127.0.0.1:" + std::to_string(node->port)))
            return {};
    }
    return nodes;
}

TEST(Cluster, EachMomentRunsOnceThroughTheLossOfAnInstanceAndOfRedis) {
    testing::RedisServer redis;
    ASSERT_TRUE(redis.start()) << redis.error();
    CallCounter counter;
    auto nodes = startNodes(3, redis.port(), counter.url());
    ASSERT_EQ(nodes.size(), 3u);

    // Three instances, one call per moment.
    std::vector<int> counts = watch(counter, 700ms, 3000ms);
    EXPECT_EQ(std::count(counts.begin(), counts.end(), 1), int(counts.size())) << show(counts);

    // Who ran which moment is in Redis: the claim's value is the instance's name.
    std::string owner = testing::redisInline(
        "127.0.0.1", redis.port(),
        "EVAL \"redis.call('select', 5) return redis.call('get', KEYS[1])\" 1 kestrum:lease:tick:" +
            std::to_string(unixTimeMs() / 1000 - 1));
    EXPECT_NE(owner.find("node-"), std::string::npos) << owner;

    // One instance killed: the others go on, still once per moment (the moment it may have claimed just
    // before dying is lost, never doubled).
    EXPECT_EQ(nodes[0]->process.stop(SIGKILL), 128 + SIGKILL);
    counts = watch(counter, 300ms, 2500ms);
    EXPECT_EQ(std::count(counts.begin(), counts.end(), 2) + std::count(counts.begin(), counts.end(), 3), 0)
        << show(counts);
    EXPECT_GE(std::count(counts.begin(), counts.end(), 1), int(counts.size()) - 1) << show(counts);

    // Redis gone: no instance runs the task, and each says so once.
    ASSERT_TRUE(redis.killServer());
    counts = watch(counter, 700ms, 2000ms);
    EXPECT_EQ(std::count(counts.begin(), counts.end(), 0), int(counts.size())) << show(counts);
    const std::string outage =
        gb("crontab丨lease unavailable：db(5),due moments are skipped until claims work again.");
    for (size_t i = 1; i < nodes.size(); ++i)
        EXPECT_EQ(occurrences(nodes[i]->dir.logText(), outage), 1u) << nodes[i]->dir.logText();

    // Back again: the moments run once each, and each instance says claims work again.
    ASSERT_TRUE(redis.startServer()) << redis.error();
    const std::string back = gb("crontab丨lease available：db(5).");
    for (size_t i = 1; i < nodes.size(); ++i)
        EXPECT_TRUE(nodes[i]->process.waitForLog(nodes[i]->dir, back, 5s));
    counts = watch(counter, 200ms, 2000ms);
    EXPECT_EQ(std::count(counts.begin(), counts.end(), 1), int(counts.size())) << show(counts);
    for (size_t i = 1; i < nodes.size(); ++i)
        EXPECT_EQ(nodes[i]->process.stop(SIGTERM), 0);
}

TEST(Cluster, RedisDownWithFallbackRunsOnEveryInstance) {
    testing::RedisServer redis;
    ASSERT_TRUE(redis.start()) << redis.error();
    CallCounter counter;
    auto nodes = startNodes(3, redis.port(), counter.url(), "lease_fallback=run\n");
    ASSERT_EQ(nodes.size(), 3u);
    ASSERT_TRUE(redis.killServer());

    std::vector<int> counts = watch(counter, 700ms, 2500ms);
    EXPECT_EQ(std::count(counts.begin(), counts.end(), 3), int(counts.size())) << show(counts);
    const std::string outage =
        gb("crontab丨lease unavailable：db(5),due moments run on every instance until claims work again.");
    for (auto& node : nodes) {
        EXPECT_EQ(node->process.stop(SIGTERM), 0);
        EXPECT_EQ(occurrences(node->dir.logText(), outage), 1u) << node->dir.logText();
    }
}

// nginx in the foreground (one process, no daemon) with its files in a directory of its own.
class Nginx {
  public:
    ~Nginx() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    bool start(const testing::TempDir& dir, const std::string& config) {
        dir.write("nginx.conf", config);
        pid_ = ::fork();
        if (pid_ == 0) {
            const int out = ::open((dir.path() + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, 1);
            ::dup2(out, 2);
            const std::string conf = dir.path() + "/nginx.conf";
            const std::string errors = dir.path() + "/error.log";
            ::execl(kNginx, "nginx", "-p", dir.path().c_str(), "-c", conf.c_str(), "-e", errors.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        return pid_ > 0;
    }
    static constexpr const char* kNginx = "/usr/sbin/nginx";

  private:
    pid_t pid_ = -1;
};

TEST(Cluster, BehindNginxLosingAnInstanceFailsNoCaller) {
    if (::access(Nginx::kNginx, X_OK) != 0)
        GTEST_SKIP() << "nginx is not installed";
    auto nodes = startNodes(3, 0, {});
    ASSERT_EQ(nodes.size(), 3u);

    testing::TempDir dir;
    const int port = testing::freePort();
    std::string upstream;
    for (auto& node : nodes)
        upstream += "    server 127.0.0.1:" + std::to_string(node->port) + " max_fails=1 fail_timeout=10s;\n";
    const std::string& d = dir.path();
    Nginx nginx;
    ASSERT_TRUE(nginx.start(
        dir, "daemon off;\nmaster_process off;\nworker_processes 1;\npid " + d + "/nginx.pid;\nerror_log " +
                 d + "/error.log;\nevents { worker_connections 256; }\n" +
                 "http {\n  access_log off;\n  client_body_temp_path " + d + "/body;\n  proxy_temp_path " +
                 d + "/proxy;\n  fastcgi_temp_path " + d + "/fcgi;\n  uwsgi_temp_path " + d +
                 "/uwsgi;\n  scgi_temp_path " + d + "/scgi;\n  upstream kestrum {\n" + upstream +
                 "    keepalive 16;\n  }\n  server {\n    listen 127.0.0.1:" + std::to_string(port) +
                 ";\n    keepalive_requests 100000;\n    location / {\n      proxy_pass http://kestrum;\n"
                 "      proxy_http_version 1.1;\n      proxy_set_header Connection \"\";\n"
                 "      proxy_connect_timeout 1s;\n      proxy_read_timeout 5s;\n"
                 "      proxy_next_upstream error timeout http_502 http_503;\n    }\n  }\n}\n"));

    // Callers on keep-alive connections ask for the heartbeat without pause.
    constexpr int kCallers = 2;
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::atomic<int> failed{0};
    std::vector<std::thread> callers;
    std::mutex failureMutex;
    std::string failures;
    std::string lastReply;
    auto heartbeatUp = [&] {
        testing::HttpClient client;
        if (!client.connect("127.0.0.1", port))
            return false;
        auto reply = client.request("GET", "/api/this/heart");
        lastReply = reply ? std::to_string(reply->status) + " " + reply->body : "no reply";
        return reply && reply->status == 200 && reply->body.ends_with("da da da ...");
    };
    for (int attempt = 0; attempt < 50 && !heartbeatUp(); ++attempt)
        std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(heartbeatUp()) << lastReply << testing::readFile(dir.path() + "/error.log")
                               << testing::readFile(dir.path() + "/stderr.txt");
    for (int i = 0; i < kCallers; ++i) {
        callers.emplace_back([&] {
            testing::HttpClient client;
            while (!stop.load()) {
                if (!client.connected() && !client.connect("127.0.0.1", port)) {
                    ++failed;
                    continue;
                }
                auto reply = client.request("GET", "/api/this/heart");
                if (reply && reply->status == 200 && reply->body.ends_with("da da da ...")) {
                    ++answered;
                    if (reply->header("Connection") == "close")
                        client.close();
                } else {
                    ++failed;
                    std::lock_guard lock(failureMutex);
                    failures +=
                        (reply ? std::to_string(reply->status) + " " + reply->body : "no reply") + "\n";
                    client.close();
                }
            }
        });
    }
    std::this_thread::sleep_for(700ms);
    const int before = answered.load();
    EXPECT_EQ(nodes[1]->process.stop(SIGKILL), 128 + SIGKILL);
    std::this_thread::sleep_for(1200ms);
    stop.store(true);
    for (std::thread& caller : callers)
        caller.join();
    EXPECT_GT(before, 50);
    std::printf("heartbeats through nginx: %d answered, %d failed\n", answered.load(), failed.load());
    EXPECT_GT(answered.load() - before, 50);
    // At most the requests in flight on the lost instance (nginx retries an idempotent GET on the next one).
    EXPECT_LE(failed.load(), kCallers) << failures << testing::readFile(dir.path() + "/error.log");
    for (size_t i : {size_t(0), size_t(2)})
        EXPECT_EQ(nodes[i]->process.stop(SIGTERM), 0);
}

}  // namespace
}  // namespace kestrum
