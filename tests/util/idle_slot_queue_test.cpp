// IdleSlotQueue: first in, first out, and a take that waits for a post or its time-out.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "util/idle_slot_queue.h"

namespace kestrum {
namespace {

TEST(IdleSlotQueueTest, HandsOutSlotsFirstInFirstOut) {
    IdleSlotQueue queue;
    for (int slot : {3, 1, 2})
        queue.post(slot);
    EXPECT_EQ(queue.take(0), 3);
    EXPECT_EQ(queue.take(0), 1);
    EXPECT_EQ(queue.take(0), 2);
    EXPECT_EQ(queue.take(0), 0);
}

TEST(IdleSlotQueueTest, TakeWaitsForAPostOrGivesZeroAfterItsTimeout) {
    IdleSlotQueue queue;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(queue.take(80), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(75));

    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        queue.post(7);
    });
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(queue.take(5000), 7);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
    poster.join();
}

}  // namespace
}  // namespace kestrum
