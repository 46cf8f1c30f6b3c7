// In-process cost of the SQL endpoint next to the bare client, against a running MariaDB:
//
//   host=$(scripts/start-mariadb.sh /tmp/kestrum-bench-db)
//   MYSQL_BENCH_HOST=$host build/bench/mysql_endpoint_bench
//
// The table kv (1000 rows) is created when missing. MYSQL_BENCH_USER / _PASSWORD / _DATABASE default to the
// demo account of start-mariadb.sh. Without MYSQL_BENCH_HOST every benchmark is skipped.
#include <benchmark/benchmark.h>
#include <mysql.h>

#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <string>

#include "mysql/mysql_module.h"
#include "util/event_loops.h"

namespace {

std::string env(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

struct Target {
    std::string host = env("MYSQL_BENCH_HOST", "");
    std::string user = env("MYSQL_BENCH_USER", "kestrum");
    std::string password = env("MYSQL_BENCH_PASSWORD", "kestrum-demo");
    std::string database = env("MYSQL_BENCH_DATABASE", "kestrum_demo");
};

const Target& target() {
    static Target t;
    return t;
}

constexpr int kPoolSize = 16;

kestrum::EventLoops& sharedLoops() {
    static kestrum::EventLoops loops(2);
    static bool started = loops.start();
    (void)started;
    return loops;
}

kestrum::MysqlPool& sharedPool() {
    static kestrum::MysqlPool pool(sharedLoops());
    static std::once_flag once;
    std::call_once(once, [] {
        const Target& t = target();
        pool.open(kPoolSize, t.host, 3306, t.user, t.password, t.database, "utf8mb4", 10);
        kestrum::runTaskStatement(pool,
                                  "CREATE TABLE IF NOT EXISTS kv (id INT PRIMARY KEY, v VARCHAR(64), n INT)");
        std::string values;
        for (int i = 1; i <= 1000; ++i) {
            values += (i > 1 ? "," : "") + std::string("(") + std::to_string(i) + ",'value-" +
                      std::to_string(i) + "'," + std::to_string(i * 7) + ")";
        }
        kestrum::runTaskStatement(pool, "INSERT IGNORE INTO kv VALUES " + values);
    });
    return pool;
}

void BM_EndpointPointSelect(benchmark::State& state) {
    if (target().host.empty()) {
        state.SkipWithError("MYSQL_BENCH_HOST not set");
        return;
    }
    kestrum::MysqlPool& pool = sharedPool();
    kestrum::RequestContext request;
    int id = static_cast<int>(state.thread_index()) * 61;
    for (auto _ : state) {
        id = id % 1000 + 1;
        request.body = "{\"sql\":\"select * from kv where id=" + std::to_string(id) + "\"}";
        // The endpoint starts on a network thread, as in the server; the caller waits for the envelope.
        std::promise<std::optional<std::string>> answer;
        sharedLoops().post(0, [&] {
            kestrum::handleMysqlRequest(
                pool, nullptr, request,
                [&answer](std::optional<std::string> envelope) { answer.set_value(std::move(envelope)); });
        });
        benchmark::DoNotOptimize(answer.get_future().get());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EndpointPointSelect)->Threads(kPoolSize)->UseRealTime();

void BM_ClientPointSelect(benchmark::State& state) {
    if (target().host.empty()) {
        state.SkipWithError("MYSQL_BENCH_HOST not set");
        return;
    }
    sharedPool();  // table in place
    const Target& t = target();
    // The bare client library, blocking, as a baseline.
    std::unique_ptr<MYSQL, decltype(&mysql_close)> client(mysql_init(nullptr), &mysql_close);
    if (!client || !mysql_real_connect(client.get(), t.host.c_str(), t.user.c_str(), t.password.c_str(),
                                       t.database.c_str(), 3306, nullptr, 0)) {
        state.SkipWithError("connect failed");
        return;
    }
    int id = static_cast<int>(state.thread_index()) * 61;
    std::string value;
    for (auto _ : state) {
        id = id % 1000 + 1;
        const std::string statement = "select * from kv where id=" + std::to_string(id);
        mysql_real_query(client.get(), statement.data(), static_cast<unsigned long>(statement.size()));
        MYSQL_RES* result = mysql_store_result(client.get());
        if (MYSQL_ROW row = result ? mysql_fetch_row(result) : nullptr) {
            const unsigned long* lengths = mysql_fetch_lengths(result);
            value.assign(row[1] ? row[1] : "", row[1] ? lengths[1] : 0);
        }
        if (result)
            mysql_free_result(result);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ClientPointSelect)->Threads(kPoolSize)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
