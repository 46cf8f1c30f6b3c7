#include "util/event_loops.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include "support/fault_injection.h"
#include "util/cpu_count.h"
#include "util/worker_pool.h"

namespace kestrum {
namespace {

// The default thread counts follow the CPUs the process may run on, not the machine's: under
// `taskset -c N` one network thread and 2 x 1 + 2 workers. The test narrows its own thread's mask (the one
// the counts are read from) and puts it back.
TEST(ThreadCounts, DefaultsFollowTheAffinityMask) {
    cpu_set_t all;
    ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
    EXPECT_EQ(usableCpuCount(), CPU_COUNT(&all));
    int first = 0;
    while (!CPU_ISSET(first, &all))
        ++first;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(first, &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    struct Restore {
        cpu_set_t* mask;
        ~Restore() { sched_setaffinity(0, sizeof *mask, mask); }
    } restore{&all};

    EXPECT_EQ(usableCpuCount(), 1);
    EXPECT_EQ(EventLoops().size(), 1);
    EXPECT_EQ(EventLoops(3).size(), 3);  // a configured count is kept
    WorkerPool pool;
    ASSERT_TRUE(pool.start());
    EXPECT_EQ(pool.threadCount(), 4u);
    pool.stop();
}

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

// A fault in a task loses nothing that task had already posted to its own loop (answers for other
// connections are posted that way), and the loop goes on.
TEST(EventLoopsFault, WorkPostedBeforeAFaultStillRuns) {
    testing::ScopedFaultRecovery recovery;
    EventLoops loops(1);
    ASSERT_TRUE(loops.start());
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        std::promise<void> first;
        std::promise<void> second;
        loops.post(0, [&] {
            asio::post(loops.context(0), [&] { first.set_value(); });
            asio::post(loops.context(0), [&] { second.set_value(); });
            testing::injectFault("segv");
        });
        EXPECT_EQ(first.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
        EXPECT_EQ(second.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    }
    std::promise<void> later;
    loops.post(0, [&] { later.set_value(); });
    EXPECT_EQ(later.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    loops.stop();
}

}  // namespace
}  // namespace kestrum
