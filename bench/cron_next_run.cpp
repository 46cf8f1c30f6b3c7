// Time per nextRunTimes call for the pool's heartbeat expression and for expressions that exhaust the search.
#include <benchmark/benchmark.h>

#include "scheduler/cron.h"

namespace {

std::tm at(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return tm;
}

void runNext(benchmark::State& state, const char* expression, std::tm now, int count) {
    std::vector<std::string> moments;
    kestrum::CronFields fields;
    for (auto _ : state) {
        benchmark::DoNotOptimize(kestrum::nextRunTimes(expression, count, moments, fields, now));
        benchmark::DoNotOptimize(moments.data());
    }
}

// What a task thread computes every one and a half seconds.
void BM_Heartbeat(benchmark::State& state) {
    runNext(state, "1 * * * * * mysqlPoolHeart", at(2024, 3, 5, 10, 15, 30), 3);
}
BENCHMARK(BM_Heartbeat);

// Late in the day: the hours before now are pruned, the last minutes roll into the next day.
void BM_HeartbeatBeforeMidnight(benchmark::State& state) {
    runNext(state, "1 * * * * * mysqlPoolHeart", at(2024, 12, 31, 23, 58, 30), 3);
}
BENCHMARK(BM_HeartbeatBeforeMidnight);

// 29 February from the year after a leap year: three fruitless years, one moment, a fourth fruitless year.
void BM_FourFruitlessYears(benchmark::State& state) {
    runNext(state, "0 0 0 29 2 * t", at(2025, 3, 1, 0, 0, 0), 3);
}
BENCHMARK(BM_FourFruitlessYears);

// Never fires, with every list at its widest: four whole fruitless years of dates.
void BM_NeverFiresWideLists(benchmark::State& state) {
    runNext(state, "* * * * * 0 t", at(2024, 3, 5, 10, 15, 30), 3);
}
BENCHMARK(BM_NeverFiresWideLists);

}  // namespace

BENCHMARK_MAIN();
