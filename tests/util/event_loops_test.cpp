#include "util/event_loops.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

namespace kestrum {
namespace {

TEST(EventLoops, PostedTasksRunInOrderOnTheirOwnLoop) {
    EventLoops loops(2);
    ASSERT_TRUE(loops.start());
    ASSERT_EQ(loops.size(), 2);
    EXPECT_EQ(loops.currentIndex(), -1);  // the test thread is no network thread

    for (int index = 0; index < loops.size(); ++index) {
        std::promise<std::vector<int>> seen;
        auto order = std::make_shared<std::vector<int>>();
        for (int i = 0; i < 100; ++i)
            loops.post(index, [&loops, order, i] { order->push_back(i * 10 + loops.currentIndex()); });
        loops.post(index, [&seen, order] { seen.set_value(*order); });
        std::vector<int> values = seen.get_future().get();
        ASSERT_EQ(values.size(), 100u);
        for (int i = 0; i < 100; ++i)
            EXPECT_EQ(values[i], i * 10 + index);
    }
    loops.stop();
    loops.stop();  // idempotent
    EXPECT_FALSE(loops.running());
}

TEST(EventLoops, StopRunsWhatWasQueuedAndDropsWhatComesLater) {
    std::atomic<int> ran{0};
    {
        EventLoops loops(1);
        ASSERT_TRUE(loops.start());
        for (int i = 0; i < 10; ++i)
            loops.post(0, [&ran] {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                ++ran;
            });
        loops.stop();
        EXPECT_EQ(ran.load(), 10);
        loops.post(0, [&ran] { ++ran; });
    }  // the destructor must not run or hang on the late task
    EXPECT_EQ(ran.load(), 10);
}

TEST(EventLoops, RoundRobinCoversEveryLoop) {
    EventLoops loops(3);
    std::vector<int> hits(3);
    for (int i = 0; i < 9; ++i)
        ++hits[loops.next()];
    EXPECT_EQ(hits, (std::vector<int>{3, 3, 3}));
}

}  // namespace
}  // namespace kestrum
