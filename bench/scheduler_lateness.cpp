// Lateness of task callbacks: a task due every second runs for KESTRUM_LATENESS_SECONDS (default 30) seconds;
// each call's start is compared with the start of its due second. Reports p50, p99 and max in milliseconds.
// Run on an idle machine: ./scheduler_lateness
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "scheduler/task_registry.h"
#include "scheduler/task_scheduler.h"

namespace {

double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t index = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

void BM_CallbackLateness(benchmark::State& state) {
    const char* env = std::getenv("KESTRUM_LATENESS_SECONDS");
    const int seconds = env != nullptr ? std::max(2, std::atoi(env)) : 30;
    std::vector<double> lateness;
    for (auto _ : state) {
        std::mutex mutex;
        lateness.clear();
        const auto start = std::chrono::steady_clock::now();
        {
            kestrum::TaskRegistry registry(std::filesystem::temp_directory_path().string());
            registry.registerTask(
                "* * * * * *", "lateness", [&](const std::string&, const std::string&, int64_t) {
                    const auto now = std::chrono::system_clock::now().time_since_epoch();
                    const int64_t micros = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
                    std::lock_guard lock(mutex);
                    lateness.push_back(static_cast<double>(micros % 1000000) / 1000.0);
                    return 0;
                });
            kestrum::TaskScheduler scheduler(registry);
            scheduler.startSupervisor();
            std::this_thread::sleep_for(std::chrono::seconds(seconds));
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.counters["calls"] = static_cast<double>(lateness.size());
    state.counters["p50_ms"] = percentile(lateness, 0.50);
    state.counters["p99_ms"] = percentile(lateness, 0.99);
    state.counters["max_ms"] = lateness.empty() ? 0 : *std::max_element(lateness.begin(), lateness.end());
}
BENCHMARK(BM_CallbackLateness)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
