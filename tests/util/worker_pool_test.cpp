// The request worker pool: every job runs once, at most `threads` at a time, and stop() runs what is queued.
#include "util/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace kestrum {
namespace {

using namespace std::chrono_literals;

TEST(WorkerPoolTest, EveryJobRunsOnceWithAtMostThreadsAtATime) {
    WorkerPool pool;
    ASSERT_TRUE(pool.start(3));
    EXPECT_FALSE(pool.start(3));
    constexpr int kSubmitters = 4;
    constexpr int kJobsEach = 5000;
    std::vector<std::atomic<int>> runs(kSubmitters * kJobsEach);
    std::atomic<int> running{0};
    std::atomic<int> mostAtOnce{0};
    std::vector<std::thread> submitters;
    for (int s = 0; s < kSubmitters; ++s) {
        submitters.emplace_back([&, s] {
            for (int i = 0; i < kJobsEach; ++i) {
                // Bursts and pauses, so that jobs meet idle threads as well as a queue.
                if (i % 500 == 0)
                    std::this_thread::sleep_for(1ms);
                ASSERT_TRUE(pool.submit([&, index = s * kJobsEach + i] {
                    int now = running.fetch_add(1) + 1;
                    int seen = mostAtOnce.load();
                    while (now > seen && !mostAtOnce.compare_exchange_weak(seen, now)) {
                    }
                    runs[index].fetch_add(1);
                    running.fetch_sub(1);
                }));
            }
        });
    }
    for (auto& thread : submitters)
        thread.join();
    pool.stop();
    for (size_t i = 0; i < runs.size(); ++i)
        ASSERT_EQ(runs[i].load(), 1) << "job " << i;
    EXPECT_LE(mostAtOnce.load(), 3);
}

TEST(WorkerPoolTest, StopRunsQueuedJobsThenRefuses) {
    WorkerPool pool;
    ASSERT_TRUE(pool.start(2));
    std::atomic<int> done{0};
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(pool.submit([&] {
            std::this_thread::sleep_for(5ms);
            done.fetch_add(1);
        }));
    pool.stop();  // the queue is still long here
    EXPECT_EQ(done.load(), 20);
    EXPECT_FALSE(pool.submit([&] { done.fetch_add(1); }));
    EXPECT_EQ(done.load(), 20);
    pool.stop();  // idempotent
}

TEST(WorkerPoolTest, IdlePoolStopsAtOnce) {
    WorkerPool pool;
    ASSERT_TRUE(pool.start(8));
    std::this_thread::sleep_for(20ms);  // every thread asleep
    auto before = std::chrono::steady_clock::now();
    pool.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms);
}

}  // namespace
}  // namespace kestrum
