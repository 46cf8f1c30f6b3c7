// Parse + write back with JsonDocument, side by side with nlohmann::json doing the same work on the same
// content.
//
// Inputs: a ~1 MiB text of mixed content (objects, arrays, integers, floats, booleans, nulls, escaped and
// non-ASCII strings) and a ~100-byte request body. JsonDocument reads the internal encoding (GB18030) and
// nlohmann UTF-8, each the form its caller holds.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "json/json_document.h"
#include "util/encoding.h"

#if __has_include(<nlohmann/json.hpp>)
#include <nlohmann/json.hpp>
#define KESTRUM_HAVE_NLOHMANN 1
#endif

namespace {

// Deterministic ~1 MiB text; `withChinese` puts a non-ASCII string in every record.
std::string mixedUtf8(bool withChinese) {
    std::string out = "{\"generated\":\"bench\",\"rows\":[";
    unsigned seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) & 0xFFFF;
    };
    char buffer[512];
    for (int i = 0; out.size() < (1u << 20) - 300; ++i) {
        if (i > 0)
            out += ',';
        std::snprintf(buffer, sizeof buffer,
                      "{\"id\":%d,\"score\":%u.%02u,\"name\":\"user_%u\",\"active\":%s,\"note\":null,"
                      "\"tags\":[\"a\",\"bb\",\"c\\/d\"],\"pos\":{\"x\":%d,\"y\":-%u.5e%u},\"text\":\"%s\"}",
                      i, next() % 1000, next() % 100, next(), (next() & 1) ? "true" : "false",
                      static_cast<int>(next() % 2000) - 1000, next() % 100, next() % 5,
                      withChinese ? "\xE4\xB8\xAD\xE6\x96\x87\xE5\x86\x85\xE5\xAE\xB9 line\\n two"
                                  : "plain content line\\n two");
        out += buffer;
    }
    out += "]}";
    return out;
}

// The machine is shared: with --benchmark_repetitions the fastest run is the least disturbed one.
double minimum(const std::vector<double>& values) {
    return *std::min_element(values.begin(), values.end());
}

const std::string kRequestUtf8 =
    R"({"db":2,"key":"session:4f9a1c2e","value":"{\"user\":17,\"role\":\"admin\"}","outtime":3600,"order":""})";

void benchKestrum(benchmark::State& state, const std::string& utf8) {
    const std::string text = kestrum::utf8ToGbk(utf8);
    for (auto _ : state) {
        kestrum::JsonDocument doc;
        doc.parse(text);
        std::string out = doc.toText();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}

#ifdef KESTRUM_HAVE_NLOHMANN
// nlohmann::json keeps members sorted; nlohmann::ordered_json keeps them in insertion order as JsonDocument
// does.
template <typename Json>
void benchNlohmann(benchmark::State& state, const std::string& utf8) {
    for (auto _ : state) {
        Json doc = Json::parse(utf8, nullptr, false);
        std::string out = doc.dump();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(utf8.size()));
}
#endif

const std::string& mixedAscii() {
    static const std::string text = mixedUtf8(false);
    return text;
}
const std::string& mixedChinese() {
    static const std::string text = mixedUtf8(true);
    return text;
}

void BM_Kestrum_Mixed1MiB_Ascii(benchmark::State& s) {
    benchKestrum(s, mixedAscii());
}
void BM_Kestrum_Mixed1MiB_Chinese(benchmark::State& s) {
    benchKestrum(s, mixedChinese());
}
void BM_Kestrum_Request100B(benchmark::State& s) {
    benchKestrum(s, kRequestUtf8);
}
BENCHMARK(BM_Kestrum_Mixed1MiB_Ascii)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", minimum);
BENCHMARK(BM_Kestrum_Mixed1MiB_Chinese)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", minimum);
BENCHMARK(BM_Kestrum_Request100B)->ComputeStatistics("min", minimum);

#ifdef KESTRUM_HAVE_NLOHMANN
using nlohmann::json;
using nlohmann::ordered_json;
void BM_Nlohmann_Mixed1MiB_Ascii(benchmark::State& s) {
    benchNlohmann<json>(s, mixedAscii());
}
void BM_Nlohmann_Mixed1MiB_Chinese(benchmark::State& s) {
    benchNlohmann<json>(s, mixedChinese());
}
void BM_Nlohmann_Request100B(benchmark::State& s) {
    benchNlohmann<json>(s, kRequestUtf8);
}
void BM_NlohmannOrdered_Mixed1MiB_Ascii(benchmark::State& s) {
    benchNlohmann<ordered_json>(s, mixedAscii());
}
void BM_NlohmannOrdered_Mixed1MiB_Chinese(benchmark::State& s) {
    benchNlohmann<ordered_json>(s, mixedChinese());
}
void BM_NlohmannOrdered_Request100B(benchmark::State& s) {
    benchNlohmann<ordered_json>(s, kRequestUtf8);
}
BENCHMARK(BM_Nlohmann_Mixed1MiB_Ascii)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", minimum);
BENCHMARK(BM_Nlohmann_Mixed1MiB_Chinese)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", minimum);
BENCHMARK(BM_Nlohmann_Request100B)->ComputeStatistics("min", minimum);
BENCHMARK(BM_NlohmannOrdered_Mixed1MiB_Ascii)
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", minimum);
BENCHMARK(BM_NlohmannOrdered_Mixed1MiB_Chinese)
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", minimum);
BENCHMARK(BM_NlohmannOrdered_Request100B)->ComputeStatistics("min", minimum);
#endif

}  // namespace

BENCHMARK_MAIN();
