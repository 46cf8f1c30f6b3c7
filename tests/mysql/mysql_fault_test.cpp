// A statement's completion that faults or throws on the network thread: the pool gets its slot back and the
// next statements run; a fault in the middle of a statement's own event fails that statement, drops the
// connection and the slot serves again on a fresh one. A waiting statement's callback that faults or throws
// when its wait limit passes leaves the wait-limit sweep running for the others.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "mysql/mysql_pool.h"
#include "mysql_test_support.h"
#include "support/fault_injection.h"

namespace kestrum {
namespace {

using namespace std::chrono_literals;
using testing::mariadbReady;
using testing::openTestPool;
using testing::testLoops;

PoolTiming shortWait() {
    PoolTiming timing;
    timing.waitLimit = 3s;
    timing.heartbeatSpacingMs = 0;
    return timing;
}

std::string firstCell(MysqlResult& result) {
    if (!result.done())
        return "error " + std::to_string(result.errorNumber()) + ": " + result.errorText();
    std::string value;
    if (result.seekRow(0))
        result.valueByName(result.fieldInfo(0).name, value);
    return value;
}

TEST(MysqlFaultTest, CompletionThatFaultsOrThrowsGivesTheSlotBack) {
    ASSERT_TRUE(mariadbReady());
    testing::ScopedFaultRecovery recovery;
    MysqlPool pool(testLoops(), shortWait());
    ASSERT_EQ(openTestPool(pool, 1), 1);  // one slot: a lost slot would leave every later statement busy
    for (const char* kind : {"throw", "segv", "throw", "segv"}) {
        SCOPED_TRACE(kind);
        std::promise<void> reached;
        pool.execute("select 1", [&reached, kind](MysqlResult result) {
            EXPECT_TRUE(result.done());
            reached.set_value();
            testing::injectFault(kind);  // the result (and with it the slot) is never released here
        });
        ASSERT_EQ(reached.get_future().wait_for(10s), std::future_status::ready);
        MysqlResult next = pool.run("select 'after'");
        EXPECT_EQ(firstCell(next), "after");
    }
    // Back in the idle queue once the last result is gone, and only once.
    for (int i = 0; i < 50 && pool.idleCount() != 1; ++i)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(pool.idleCount(), 1u);
}

TEST(MysqlFaultTest, ResultKeptElsewhereKeepsItsRowsAndTheSlotComesBackOnce) {
    ASSERT_TRUE(mariadbReady());
    testing::ScopedFaultRecovery recovery;
    MysqlPool pool(testLoops(), shortWait());
    ASSERT_EQ(openTestPool(pool, 1), 1);
    std::promise<MysqlResult> kept;
    pool.execute("select 'kept'", [&kept](MysqlResult result) {
        kept.set_value(std::move(result));  // handed on, alive
        testing::injectFault("segv");
    });
    MysqlResult held = kept.get_future().get();
    EXPECT_EQ(firstCell(held), "kept");  // its rows are its own
    // The slot was back before the callback ran; the recovery and the late release of the kept result do not
    // hand it out twice.
    MysqlResult first = pool.run("select 'one'");
    EXPECT_EQ(firstCell(first), "one");
    held.release();
    first.release();
    MysqlResult second = pool.run("select 'two'");
    EXPECT_EQ(firstCell(second), "two");
    second.release();
    EXPECT_EQ(pool.idleCount(), 1u);
}

TEST(MysqlFaultTest, WaitCallbackThatFaultsOrThrowsLeavesTheSweepRunning) {
    ASSERT_TRUE(mariadbReady());
    testing::ScopedFaultRecovery recovery;
    PoolTiming timing = shortWait();
    timing.waitLimit = 300ms;
    MysqlPool pool(testLoops(), timing);
    ASSERT_EQ(openTestPool(pool, 1), 1);
    for (const char* kind : {"throw", "segv", "throw"}) {
        SCOPED_TRACE(kind);
        std::promise<MysqlResult> sleeping;  // holds the only slot past every wait limit below
        pool.execute("select sleep(1.5)", [&](MysqlResult result) { sleeping.set_value(std::move(result)); });
        std::promise<bool> faulting;
        pool.execute("select 1", [&faulting, kind](MysqlResult result) {
            faulting.set_value(result.busy());
            testing::injectFault(kind);
        });
        std::promise<MysqlResult> after;  // expires with it, or in the next round of the sweep
        pool.execute("select 2", [&after](MysqlResult result) { after.set_value(std::move(result)); });
        auto answered = after.get_future();
        // Busy, well before the sleep ends: not left waiting, nor served once the slot is free.
        ASSERT_EQ(answered.wait_for(10s), std::future_status::ready);
        EXPECT_TRUE(answered.get().busy());
        EXPECT_TRUE(faulting.get_future().get());
        ASSERT_EQ(sleeping.get_future().wait_for(10s), std::future_status::ready);
    }
    MysqlResult last = pool.run("select 'after'");
    EXPECT_EQ(firstCell(last), "after");
}

}  // namespace
}  // namespace kestrum
