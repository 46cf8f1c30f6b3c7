// The token bucket on a clock the test moves: the burst, the refill, the wait it reports for Retry-After, and
// that several threads taking at once never get more than the bucket holds.
#include "util/token_bucket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace kestrum {
namespace {

using namespace std::chrono_literals;
using Clock = TokenBucket::Clock;

TEST(TokenBucketTest, BurstThenRate) {
    const Clock::time_point t0 = Clock::now();
    TokenBucket bucket(2, 3);  // 2 per second, 3 at once
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(bucket.take(t0).allowed) << i;
    TokenBucket::Decision refused = bucket.take(t0);
    EXPECT_FALSE(refused.allowed);
    EXPECT_EQ(refused.wait, 500ms);
    EXPECT_EQ(refused.retryAfterSeconds(), 1);
    EXPECT_FALSE(bucket.take(t0 + 499ms).allowed);
    EXPECT_TRUE(bucket.take(t0 + 500ms).allowed);  // exactly due: no rounding loses it
    EXPECT_FALSE(bucket.take(t0 + 500ms).allowed);
    // Ten quiet seconds fill the bucket to 3, not to 20.
    const Clock::time_point t1 = t0 + 10s;
    int allowed = 0;
    for (int i = 0; i < 10; ++i)
        allowed += bucket.take(t1).allowed;
    EXPECT_EQ(allowed, 3);
    // A clock read on another thread a little earlier changes nothing.
    EXPECT_FALSE(bucket.take(t1 - 1ms).allowed);
}

TEST(TokenBucketTest, RetryAfterRoundsUpToWholeSeconds) {
    const Clock::time_point t0 = Clock::now();
    TokenBucket slow(0.4, 1);  // one token every 2.5 s
    EXPECT_TRUE(slow.take(t0).allowed);
    TokenBucket::Decision refused = slow.take(t0 + 100ms);
    EXPECT_EQ(refused.wait, 2400ms);
    EXPECT_EQ(refused.retryAfterSeconds(), 3);
    EXPECT_EQ(slow.take(t0 + 2499ms).retryAfterSeconds(), 1);  // 1 ms left still says 1
    EXPECT_TRUE(slow.take(t0 + 2500ms).allowed);
    EXPECT_EQ(TokenBucket::Decision{true}.retryAfterSeconds(), 0);
}

TEST(TokenBucketTest, NonsenseSettingsAreRaisedToTheSmallestSensibleOnes) {
    TokenBucket none(0, 0);
    EXPECT_EQ(none.burst(), 1);
    EXPECT_EQ(none.interval(), int64_t{86400} * 1000000000);
    const Clock::time_point t0 = Clock::now();
    EXPECT_TRUE(none.take(t0).allowed);
    EXPECT_EQ(none.take(t0).retryAfterSeconds(), 86400);
    TokenBucket huge(1e12, int64_t{1} << 62);  // no overflow anywhere
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(huge.take(t0).allowed);
}

TEST(TokenBucketTest, ThreadsShareOneBudget) {
    TokenBucket bucket(0.001, 1000);  // practically no refill during the test
    const Clock::time_point t0 = Clock::now();
    std::atomic<int> allowed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i)
                allowed += bucket.take(t0).allowed;
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(allowed.load(), 1000);
}

}  // namespace
}  // namespace kestrum
