#include "util/request_meter.h"

#include <charconv>

namespace kestrum {
namespace {

std::atomic<uint64_t> g_nextMeterId{1};

// Single writer per shard: a plain load and store, no read-modify-write instruction.
void add(std::atomic<uint64_t>& counter, uint64_t n = 1) {
    counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

size_t bucketOf(double seconds) {
    size_t bucket = 0;
    while (bucket < kDurationBuckets.size() && seconds > kDurationBuckets[bucket])
        ++bucket;
    return bucket;
}

}  // namespace

const char* meteredEndpointName(MeteredEndpoint endpoint) {
    static const char* const names[kMeteredEndpoints] = {"heartbeat", "mysql", "redis", "websocket", "none"};
    return names[static_cast<size_t>(endpoint)];
}

const char* meteredCodeName(MeteredCode code) {
    static const char* const names[kMeteredCodes] = {"200", "100", "401", "501", "101", "other", "none"};
    return names[static_cast<size_t>(code)];
}

MeteredCode meteredCodeOf(int64_t errcode) {
    switch (errcode) {
        case 200:
            return MeteredCode::Ok200;
        case 100:
            return MeteredCode::Failure100;
        case 401:
            return MeteredCode::Sql401;
        case 501:
            return MeteredCode::NoSlot501;
        default:
            return MeteredCode::Other;
    }
}

MeteredCode meteredCodeOfEnvelope(std::string_view envelope) {
    constexpr std::string_view kBom = "\xEF\xBB\xBF";
    if (envelope.starts_with(kBom))
        envelope.remove_prefix(kBom.size());
    constexpr std::string_view kStart = "{\"errcode\":";
    if (!envelope.starts_with(kStart))
        return MeteredCode::Other;
    envelope.remove_prefix(kStart.size());
    int64_t errcode = 0;
    auto [end, error] = std::from_chars(envelope.data(), envelope.data() + envelope.size(), errcode);
    if (error != std::errc() || end == envelope.data())
        return MeteredCode::Other;
    return meteredCodeOf(errcode);
}

const char* refusalReasonName(RefusalReason reason) {
    return reason == RefusalReason::Whitelist ? "whitelist" : "limits";
}

struct alignas(64) RequestMeter::Shard {
    std::array<std::array<std::atomic<uint64_t>, kMeteredCodes>, kMeteredEndpoints> requests{};
    std::array<std::array<std::atomic<uint64_t>, kDurationBuckets.size() + 1>, kMeteredEndpoints> buckets{};
    std::array<std::atomic<double>, kMeteredEndpoints> durationSum{};
    std::array<std::atomic<uint64_t>, kRefusalReasons> refused{};
};

RequestMeter::RequestMeter() : id_(g_nextMeterId.fetch_add(1)) {}

RequestMeter::~RequestMeter() = default;

RequestMeter::Shard& RequestMeter::shard() {
    struct Cache {
        uint64_t meterId = 0;
        Shard* shard = nullptr;
    };
    thread_local Cache cache;
    if (cache.meterId == id_)
        return *cache.shard;
    std::lock_guard lock(mutex_);
    const std::thread::id self = std::this_thread::get_id();
    Shard* found = nullptr;
    for (auto& [thread, shard] : shards_) {
        if (thread == self)
            found = shard.get();
    }
    if (found == nullptr) {
        shards_.emplace_back(self, std::make_unique<Shard>());
        found = shards_.back().second.get();
    }
    cache = {id_, found};
    return *found;
}

void RequestMeter::recordRequest(MeteredEndpoint endpoint, MeteredCode code, double seconds) {
    Shard& s = shard();
    const size_t e = static_cast<size_t>(endpoint);
    add(s.requests[e][static_cast<size_t>(code)]);
    add(s.buckets[e][bucketOf(seconds)]);
    s.durationSum[e].store(s.durationSum[e].load(std::memory_order_relaxed) + seconds,
                           std::memory_order_relaxed);
}

void RequestMeter::refused(RefusalReason reason) {
    add(shard().refused[static_cast<size_t>(reason)]);
}

RequestMeter::Snapshot RequestMeter::snapshot() const {
    Snapshot total;
    std::lock_guard lock(mutex_);
    for (const auto& [thread, shard] : shards_) {
        for (size_t e = 0; e < kMeteredEndpoints; ++e) {
            for (size_t c = 0; c < kMeteredCodes; ++c)
                total.requests[e][c] += shard->requests[e][c].load(std::memory_order_relaxed);
            for (size_t b = 0; b < total.durationBuckets[e].size(); ++b)
                total.durationBuckets[e][b] += shard->buckets[e][b].load(std::memory_order_relaxed);
            total.durationSum[e] += shard->durationSum[e].load(std::memory_order_relaxed);
        }
        for (size_t r = 0; r < kRefusalReasons; ++r)
            total.refused[r] += shard->refused[r].load(std::memory_order_relaxed);
    }
    return total;
}

CallerCounts::Counters* CallerCounts::counters(std::string_view name) {
    std::lock_guard lock(mutex_);
    for (auto& [known, counters] : counters_) {
        if (known == name)
            return counters.get();
    }
    counters_.emplace_back(std::string(name), std::make_unique<Counters>());
    return counters_.back().second.get();
}

std::vector<std::pair<std::string, CallerCounts::Table>> CallerCounts::snapshot() const {
    std::lock_guard lock(mutex_);
    std::vector<std::pair<std::string, Table>> out;
    out.reserve(counters_.size());
    for (const auto& [name, counters] : counters_) {
        Table table{};
        for (size_t e = 0; e < kMeteredEndpoints; ++e) {
            for (size_t c = 0; c < kMeteredCodes; ++c)
                table[e][c] = counters->requests[e][c].load(std::memory_order_relaxed);
        }
        out.emplace_back(name, table);
    }
    return out;
}

}  // namespace kestrum
