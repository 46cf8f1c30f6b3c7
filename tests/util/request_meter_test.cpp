#include "util/request_meter.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace kestrum {
namespace {

TEST(RequestMeter, OutcomeOfAnEnvelope) {
    struct Case {
        const char* envelope;
        MeteredCode code;
    } cases[] = {
        {R"({"errcode":200,"errmsg":"success"})", MeteredCode::Ok200},
        {R"({"errcode":401,"errmsg":"x"})", MeteredCode::Sql401},
        {R"({"errcode":501,"errmsg":"x"})", MeteredCode::NoSlot501},
        {R"({"errcode":100,"errmsg":"x"})", MeteredCode::Failure100},
        {R"({"errcode":-3,"errmsg":"x"})", MeteredCode::Other},
        {R"({"errcode":99999999999999999999999})", MeteredCode::Other},  // out of range
        {R"({"errcode":"200"})", MeteredCode::Other},
        {R"({"errmsg":"x","errcode":200})", MeteredCode::Other},
        {"", MeteredCode::Other},
    };
    for (const Case& c : cases)
        EXPECT_EQ(meteredCodeOfEnvelope(c.envelope), c.code) << c.envelope;
}

TEST(RequestMeter, DurationsLandInTheirBucketBoundsIncluded) {
    RequestMeter meter;
    const struct {
        double seconds;
        size_t bucket;
    } cases[] = {{0.00005, 0}, {0.0001, 0}, {0.00011, 1}, {0.3, 11}, {10, 15}, {10.5, 16}, {1e9, 16}};
    for (const auto& c : cases)
        meter.recordRequest(MeteredEndpoint::Redis, MeteredCode::Ok200, c.seconds);
    RequestMeter::Snapshot s = meter.snapshot();
    const auto& buckets = s.durationBuckets[static_cast<size_t>(MeteredEndpoint::Redis)];
    std::array<uint64_t, kDurationBuckets.size() + 1> expected{};
    for (const auto& c : cases)
        ++expected[c.bucket];
    EXPECT_EQ(buckets, expected);
    EXPECT_EQ(
        s.requests[static_cast<size_t>(MeteredEndpoint::Redis)][static_cast<size_t>(MeteredCode::Ok200)],
        std::size(cases));
    EXPECT_NEAR(s.durationSum[static_cast<size_t>(MeteredEndpoint::Redis)], 1e9 + 20.80026, 1e-3);
}

// Each thread counts in its own shard; the snapshot adds them all up, also while threads keep counting.
TEST(RequestMeter, ShardsOfManyThreadsFoldIntoExactTotals) {
    RequestMeter meter;
    constexpr int kThreads = 4;
    constexpr int kPerThread = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&meter, t] {
            for (int i = 0; i < kPerThread; ++i) {
                meter.recordRequest(t % 2 ? MeteredEndpoint::Mysql : MeteredEndpoint::Heartbeat,
                                    MeteredCode::Ok200, 0.001);
                if (i % 100 == 0)
                    meter.refused(RefusalReason::Whitelist);
            }
        });
    }
    uint64_t previous = 0;
    for (int i = 0; i < 50; ++i) {  // snapshots taken meanwhile never go backwards
        RequestMeter::Snapshot s = meter.snapshot();
        uint64_t now = s.requests[0][0] + s.requests[1][0];
        EXPECT_GE(now, previous);
        previous = now;
    }
    for (auto& thread : threads)
        thread.join();
    RequestMeter::Snapshot s = meter.snapshot();
    const size_t ok = static_cast<size_t>(MeteredCode::Ok200);
    EXPECT_EQ(s.requests[static_cast<size_t>(MeteredEndpoint::Heartbeat)][ok], 2u * kPerThread);
    EXPECT_EQ(s.requests[static_cast<size_t>(MeteredEndpoint::Mysql)][ok], 2u * kPerThread);
    EXPECT_EQ(s.refused[static_cast<size_t>(RefusalReason::Whitelist)], 4u * kPerThread / 100);
    EXPECT_EQ(s.refused[static_cast<size_t>(RefusalReason::Limits)], 0u);
}

TEST(RequestMeter, MetersOnOneThreadKeepTheirOwnCounts) {
    RequestMeter first;
    RequestMeter second;
    for (int i = 0; i < 3; ++i) {
        first.refused(RefusalReason::Limits);
        second.refused(RefusalReason::Limits);
        second.refused(RefusalReason::Limits);
    }
    EXPECT_EQ(first.snapshot().refused[1], 3u);
    EXPECT_EQ(second.snapshot().refused[1], 6u);
}

}  // namespace
}  // namespace kestrum
