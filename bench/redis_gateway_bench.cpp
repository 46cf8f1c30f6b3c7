// The Redis gateway in process: handleRedisRequest for /get and /set, single-threaded and from several
// threads, against a private redis-server the benchmark starts on loopback (port from
// KESTRUM_BENCH_REDIS_PORT when set). Shows what one request costs above Redis itself: JSON, conversions,
// the hand-over to the network thread that owns the connection and back.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include <hiredis/hiredis.h>

#include <future>

#include "redis/redis_endpoint.h"
#include "redis/redis_gateway.h"
#include "util/event_loops.h"

namespace {

using namespace kestrum;

// A redis-server child for the whole run.
class BenchRedis {
  public:
    BenchRedis() {
        if (const char* env = std::getenv("KESTRUM_BENCH_REDIS_PORT")) {
            port_ = std::atoi(env);
            return;
        }
        char pattern[] = "/tmp/kestrum-redis-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            return;
        dir_ = pattern;
        port_ = 20000 + int(getpid() % 20000);
        std::string port = std::to_string(port_);
        pid_ = fork();
        if (pid_ == 0) {
            execlp("redis-server", "redis-server", "--port", port.c_str(), "--bind", "127.0.0.1", "--save",
                   "", "--appendonly", "no", "--dir", dir_.c_str(), "--daemonize", "no", "--logfile",
                   (dir_ + "/redis.log").c_str(), nullptr);
            _exit(127);
        }
        for (int attempt = 0; attempt < 100; ++attempt) {
            redisContext* probe = redisConnect("127.0.0.1", port_);
            const bool up = probe != nullptr && probe->err == 0;
            redisFree(probe);
            if (up)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~BenchRedis() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (!dir_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(dir_, ec);
        }
    }
    int port() const { return port_; }

  private:
    std::string dir_;
    pid_t pid_ = -1;
    int port_ = 0;
};

RedisGateway& gateway() {
    static BenchRedis redis;
    static EventLoops* loops = [] {
        auto* created = new EventLoops(2);
        created->start();
        return created;
    }();
    static RedisGateway* instance = [] {
        auto* gateway = new RedisGateway();
        gateway->openSets(*loops, "127.0.0.1", redis.port(), "", {"0"}, {"8"}, true);
        std::string error;
        gateway->setValue(0, "bench:key", "hello", 0, error);
        return gateway;
    }();
    return *instance;
}

void runRequest(benchmark::State& state, const char* path, const char* body) {
    RedisGateway& g = gateway();
    RequestContext request;
    request.path = path;
    request.body = body;
    for (auto _ : state) {
        std::promise<std::optional<std::string>> answer;
        handleRedisRequest(g, request, [&answer](std::optional<std::string> envelope) {
            answer.set_value(std::move(envelope));
        });
        auto reply = answer.get_future().get();
        if (!reply || reply->find("\"errcode\":200") == std::string::npos) {
            state.SkipWithError("request failed");
            break;
        }
        benchmark::DoNotOptimize(reply);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_EndpointGet(benchmark::State& state) {
    runRequest(state, "/api/redis/get", R"({"db":0,"key":"bench:key"})");
}
void BM_EndpointSet(benchmark::State& state) {
    runRequest(state, "/api/redis/set", R"({"db":0,"key":"bench:set","value":"hello"})");
}
void BM_EndpointSetWithExpiry(benchmark::State& state) {
    runRequest(state, "/api/redis/set", R"({"db":0,"key":"bench:ttl","value":"hello","outtime":60000})");
}

BENCHMARK(BM_EndpointGet)->UseRealTime()->Threads(1)->Threads(8);
BENCHMARK(BM_EndpointSet)->UseRealTime()->Threads(1)->Threads(8);
BENCHMARK(BM_EndpointSetWithExpiry)->UseRealTime()->Threads(1)->Threads(8);

}  // namespace

BENCHMARK_MAIN();
