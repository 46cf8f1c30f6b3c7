// A reply handler that faults or throws on the network thread: the connection's context is given up, the
// commands pipelined behind it are answered (errcode 100 at the endpoint), and the set serves again on a
// fresh connection.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "redis/redis_gateway.h"
#include "redis_test_support.h"
#include "support/fault_injection.h"

namespace kestrum {
namespace {

using namespace std::chrono_literals;
using testing::sharedRedis;
using testing::TestLoops;

TEST(RedisFaultTest, HandlerThatFaultsOrThrowsLeavesTheSetServing) {
    const int port = sharedRedis().port();
    testing::ScopedFaultRecovery recovery;
    TestLoops loops(1);
    RedisGateway gateway;
    gateway.openSets(*loops, "127.0.0.1", port, "", {"0"}, {"1"}, true);  // one shared connection
    ASSERT_EQ(gateway.databases()[0].connected, 1);
    std::string error;
    ASSERT_TRUE(gateway.setValue(0, "fault:key", "v", 0, error)) << error;

    for (const char* kind : {"throw", "segv"}) {
        SCOPED_TRACE(kind);
        // The faulting command and several behind it are sent in one go on the network thread, so the ones
        // behind are in flight on the same connection when the handler faults.
        constexpr int kBehind = 5;
        auto answers = std::make_shared<std::vector<std::promise<RedisOutcome>>>(kBehind);
        std::promise<void> faulted;
        loops->post(0, [&gateway, &faulted, answers, kind] {
            gateway.getValue(0, "fault:key", [&faulted, kind](RedisOutcome) {
                faulted.set_value();
                testing::injectFault(kind);
            });
            for (int i = 0; i < kBehind; ++i) {
                gateway.getValue(0, "fault:key", [answers, i](RedisOutcome outcome) {
                    (*answers)[static_cast<size_t>(i)].set_value(std::move(outcome));
                });
            }
        });
        ASSERT_EQ(faulted.get_future().wait_for(10s), std::future_status::ready);
        for (int i = 0; i < kBehind; ++i) {
            auto answer = (*answers)[static_cast<size_t>(i)].get_future();
            ASSERT_EQ(answer.wait_for(10s), std::future_status::ready) << "command " << i << " unanswered";
            RedisOutcome outcome = answer.get();
            // Either it was read before the fault, or it failed with the connection: never another's reply.
            if (outcome.ok) {
                EXPECT_EQ(outcome.text, "v");
            }
        }
        std::string value;
        EXPECT_TRUE(gateway.getValue(0, "fault:key", value, error)) << error;
        EXPECT_EQ(value, "v");
    }
    gateway.close();
}

}  // namespace
}  // namespace kestrum
