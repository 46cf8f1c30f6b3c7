// RequestMeter: what the network threads count for the metrics page, at the cost of a few uncontended stores.
//
// Every thread that records gets a shard of its own (found through a thread-local cache, created on its first
// record), so a record is plain relaxed loads and stores on memory no other thread writes: no lock, no shared
// cache line, no allocation. snapshot() folds the shards together at scrape time. Counts of a thread that
// ended stay in its shard (a new thread with the same id takes the shard over and goes on counting).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kestrum {

// The endpoint label of a request.
enum class MeteredEndpoint : uint8_t { Heartbeat, Mysql, Redis, Websocket, None };
inline constexpr size_t kMeteredEndpoints = 5;
const char* meteredEndpointName(MeteredEndpoint endpoint);

// The outcome label of a request: the envelope's errcode, or one of the fixed outcomes below.
enum class MeteredCode : uint8_t {
    Ok200,       // 200: success envelope, heartbeat answer
    Failure100,  // 100: Redis failure
    Sql401,      // 401: SQL error
    NoSlot501,   // 501: no free MySQL connection
    Switch101,   // 101: WebSocket upgrade accepted
    Other,       // an envelope errcode outside the list above
    NoAnswer,    // nothing was sent
};
inline constexpr size_t kMeteredCodes = 7;
const char* meteredCodeName(MeteredCode code);
// The code for an envelope's errcode.
MeteredCode meteredCodeOf(int64_t errcode);
// The errcode at the start of an envelope text ({"errcode":N,...}), or of a response body made of one (after
// its byte-order mark); Other when the text does not start so.
MeteredCode meteredCodeOfEnvelope(std::string_view envelope);

// Why a connection or request was turned away.
enum class RefusalReason : uint8_t { Whitelist, Limits };
inline constexpr size_t kRefusalReasons = 2;
const char* refusalReasonName(RefusalReason reason);

// Upper bounds (seconds) of the request-duration histogram buckets; +Inf follows.
inline constexpr std::array<double, 16> kDurationBuckets = {
    0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};

// Requests counted per caller (the caller label of the requests counter, when callers are in use). A name's
// counters are made when rules naming it are built and kept for the process's life, so a reload goes on
// counting where it was. Recording is one relaxed atomic increment.
class CallerCounts {
  public:
    using Table = std::array<std::array<uint64_t, kMeteredCodes>, kMeteredEndpoints>;
    struct Counters {
        std::array<std::array<std::atomic<uint64_t>, kMeteredCodes>, kMeteredEndpoints> requests{};
        void record(MeteredEndpoint endpoint, MeteredCode code) {
            requests[static_cast<size_t>(endpoint)][static_cast<size_t>(code)].fetch_add(
                1, std::memory_order_relaxed);
        }
    };

    // The counters of `name` (stable for the process's life); takes a lock: not per request.
    Counters* counters(std::string_view name);
    std::vector<std::pair<std::string, Table>> snapshot() const;
    // Callers are in use: the requests counter gets its caller label.
    void setInUse(bool inUse) { inUse_.store(inUse, std::memory_order_relaxed); }
    bool inUse() const { return inUse_.load(std::memory_order_relaxed); }

  private:
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, std::unique_ptr<Counters>>> counters_;
    std::atomic<bool> inUse_{false};
};

class RequestMeter {
  public:
    struct Snapshot {
        std::array<std::array<uint64_t, kMeteredCodes>, kMeteredEndpoints> requests{};
        // Per endpoint: count per bucket (not cumulative), the last one for +Inf; sum of seconds.
        std::array<std::array<uint64_t, kDurationBuckets.size() + 1>, kMeteredEndpoints> durationBuckets{};
        std::array<double, kMeteredEndpoints> durationSum{};
        std::array<uint64_t, kRefusalReasons> refused{};
    };

    RequestMeter();
    ~RequestMeter();
    RequestMeter(const RequestMeter&) = delete;
    RequestMeter& operator=(const RequestMeter&) = delete;

    // One request settled: its endpoint, outcome and seconds from its last byte in to its answer out.
    void recordRequest(MeteredEndpoint endpoint, MeteredCode code, double seconds);
    void refused(RefusalReason reason);

    Snapshot snapshot() const;

    CallerCounts& callers() { return callers_; }
    const CallerCounts& callers() const { return callers_; }

  private:
    CallerCounts callers_;
    struct Shard;
    Shard& shard();

    const uint64_t id_;  // tells this meter's thread-local cache entries from those of an earlier meter
    mutable std::mutex mutex_;
    std::vector<std::pair<std::thread::id, std::unique_ptr<Shard>>> shards_;
};

}  // namespace kestrum
