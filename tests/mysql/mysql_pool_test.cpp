// MysqlPool against the private server: slot numbering, the result contract of run, the busy path,
// the keep-alive and recovery after a server restart.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "mysql/mysql_pool.h"
#include "mysql_test_support.h"

namespace kestrum {
namespace {

using testing::mariadbReady;
using testing::openTestPool;
using testing::sharedMariadb;

using testing::testLoops;

PoolTiming shortTiming() {
    PoolTiming timing;
    timing.waitLimit = std::chrono::milliseconds(450);
    timing.heartbeatSpacingMs = 0;
    return timing;
}

// Runs a statement that must succeed and returns the first cell of its first row.
std::string scalar(MysqlPool& pool, const std::string& sql, int* slotOut = nullptr) {
    MysqlResult result = pool.run(sql);
    if (!result.done())
        return "error " + std::to_string(result.errorNumber()) + ": " + result.errorText();
    std::string value;
    if (result.seekRow(0))
        result.valueByName(result.fieldInfo(0).name, value);
    if (slotOut)
        *slotOut = result.slot();
    return value;
}

TEST(MysqlPoolTest, OnlyConnectedClientsGetSlotsNumberedInAttemptOrder) {
    ASSERT_TRUE(mariadbReady());
    testing::RefusingRelay relay({2});
    ASSERT_TRUE(relay.listening());
    const auto& options = sharedMariadb().options();
    MysqlPool pool(testLoops(), shortTiming());
    EXPECT_EQ(
        pool.open(5, relay.address(), 3306, options.user, options.password, options.database, "utf8mb4", 5),
        4);
    EXPECT_EQ(pool.clientCount(), 5);
    EXPECT_EQ(pool.slotCount(), 4);
    const int expectedClient[] = {0, 2, 3, 4};
    for (int k = 1; k <= 4; ++k) {
        PoolSlotInfo info = pool.slotInfo(k);
        EXPECT_EQ(info.clientIndex, expectedClient[k - 1]) << "slot " << k;
        EXPECT_EQ(info.lastUsed, 0);
        EXPECT_EQ(info.charset, "utf8mb4");
    }
    // Slots leave the queue in ascending order (and go back at its end); every one of them works and speaks
    // utf8mb4.
    for (int k = 1; k <= 4; ++k) {
        int slot = 0;
        EXPECT_EQ(scalar(pool, "select @@character_set_client", &slot), "utf8mb4");
        EXPECT_EQ(slot, k);
    }
    EXPECT_EQ(pool.open(5, relay.address(), 3306, "", "", "", "utf8mb4", 5), 4);  // opens once
}

TEST(MysqlPoolTest, NoConnectionsGiveAnEmptyPoolThatAnswersBusy) {
    MysqlPool pool(testLoops(), shortTiming());
    EXPECT_EQ(pool.open(0, "127.0.0.1", 3306, "", "", "", "utf8mb4"), 0);
    EXPECT_EQ(pool.clientCount(), 0);
    MysqlResult result = pool.run("select 1");
    EXPECT_TRUE(result.busy());
    EXPECT_EQ(result.slot(), 0);
    pool.heartbeat(0);  // nothing to do, must not crash
    EXPECT_EQ(pool.idleCount(), 0u);
}

TEST(MysqlPoolTest, FailedStatementReportsTheErrorAndReturnsTheSlotAtOnce) {
    ASSERT_TRUE(mariadbReady());
    MysqlPool pool(testLoops(), shortTiming());
    ASSERT_EQ(openTestPool(pool, 1), 1);
    struct Case {
        const char* sql;
        int errorNumber;
    } cases[] = {
        {"select * from no_such_table", 1146},
        {"select 1; select 2", 1064},  // multi-statements are not enabled
        {"", 1065},                    // empty statement
    };
    for (const Case& c : cases) {
        MysqlResult result = pool.run(c.sql);
        ASSERT_TRUE(result.failed()) << c.sql;
        EXPECT_EQ(result.slot(), 0) << c.sql;
        EXPECT_FALSE(result.hasRows()) << c.sql;
        EXPECT_EQ(result.errorNumber(), c.errorNumber) << c.sql;
        EXPECT_FALSE(result.errorText().empty()) << c.sql;
        EXPECT_EQ(pool.idleCount(), 1u) << c.sql;
    }
    EXPECT_EQ(scalar(pool, "select 40 + 2"), "42");
}

TEST(MysqlPoolTest, AllSlotsBusyGivesBusyAfterTheLimitUnlessOneIsFreedDuringTheWait) {
    ASSERT_TRUE(mariadbReady());
    PoolTiming timing = shortTiming();
    timing.waitLimit = std::chrono::milliseconds(600);
    MysqlPool pool(testLoops(), timing);
    ASSERT_EQ(openTestPool(pool, 1), 1);

    // A result holds rows, never its slot: the slot is back before the caller sees them.
    MysqlResult kept = pool.run("select 'kept'");
    ASSERT_TRUE(kept.done());
    EXPECT_EQ(kept.slot(), 1);
    EXPECT_EQ(pool.idleCount(), 1u);
    EXPECT_EQ(scalar(pool, "select 'next'"), "next");
    std::string value;
    ASSERT_TRUE(kept.seekRow(0) && kept.valueByName("kept", value));
    EXPECT_EQ(value, "kept");

    // The only slot sleeps 0.9 s: a statement that waits 0.6 s for it is answered busy, one that comes after
    // gets it when the sleep ends.
    std::promise<MysqlResult> sleeping;
    pool.execute("select sleep(0.9)", [&](MysqlResult result) { sleeping.set_value(std::move(result)); });
    auto start = std::chrono::steady_clock::now();
    MysqlResult result = pool.run("select 2");
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(result.busy());
    EXPECT_EQ(result.slot(), 0);
    EXPECT_GE(waited, std::chrono::milliseconds(600));  // the whole wait limit

    result = pool.run("select 3");
    EXPECT_TRUE(result.done());
    EXPECT_EQ(result.slot(), 1);
    EXPECT_TRUE(sleeping.get_future().get().done());
    EXPECT_EQ(pool.idleCount(), 1u);
}

// A statement that outlives statement_timeout fails as a lost connection naming the time-out, whether the
// server went silent (a relay that drops every byte) or is merely slow; the slot then serves again on a
// fresh connection with its session settings. The endpoint answers it with errcode 401.
TEST(MysqlPoolTest, StatementTimeoutEndsSilentAndSlowStatementsAndReopensTheSlot) {
    ASSERT_TRUE(mariadbReady());
    testing::RefusingRelay relay;
    ASSERT_TRUE(relay.listening());
    const auto& options = sharedMariadb().options();
    PoolTiming timing = shortTiming();
    timing.waitLimit = std::chrono::seconds(20);  // longer than a reconnect to the silent server
    MysqlPool pool(testLoops(), timing);
    ASSERT_EQ(
        pool.open(1, relay.address(), 3306, options.user, options.password, options.database, "utf8mb4", 2),
        1);
    pool.setStatementTimeout(std::chrono::seconds(1));
    EXPECT_EQ(scalar(pool, "select 1"), "1");  // in time

    const std::string named = "no answer within statement_timeout (1 s)";
    struct Case {
        const char* name;
        bool silent;
        bool endpoint;
        const char* sql;
    } cases[] = {
        {"silent server", true, false, "select 2"},
        {"slow statement", false, false, "select sleep(20)"},
        {"slow statement through the endpoint", false, true, "select sleep(20)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        relay.silence(c.silent);
        const auto begin = std::chrono::steady_clock::now();
        if (c.endpoint) {
            const std::string answer = testing::postSql(pool, testing::sqlBody(c.sql));
            EXPECT_EQ(answer.find(R"({"errcode":401,"errmsg":"2013：)" + named), 0u) << answer;
        } else {
            MysqlResult result = pool.run(c.sql);
            ASSERT_TRUE(result.failed());
            EXPECT_EQ(result.errorNumber(), 2013);  // CR_SERVER_LOST
            EXPECT_NE(result.errorText().find(named), std::string::npos) << result.errorText();
        }
        const auto took = std::chrono::steady_clock::now() - begin;
        EXPECT_GE(took, std::chrono::milliseconds(900));
        EXPECT_LT(took, std::chrono::seconds(8));
        relay.silence(false);
        EXPECT_EQ(scalar(pool, "select @@character_set_client"), "utf8mb4");
    }
}

// A statement that sleeps holds its own slot only: the other slots, on either network thread, keep serving.
TEST(MysqlPoolTest, ASleepingStatementDelaysNoOtherSlot) {
    ASSERT_TRUE(mariadbReady());
    MysqlPool pool(testLoops(), shortTiming());
    ASSERT_EQ(openTestPool(pool, 3), 3);
    std::promise<MysqlResult> sleeping;
    pool.execute("select sleep(2)",
                 [&sleeping](MysqlResult result) { sleeping.set_value(std::move(result)); });
    auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(scalar(pool, "select " + std::to_string(i)), std::to_string(i));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(1500));
    MysqlResult slept = sleeping.get_future().get();
    EXPECT_TRUE(slept.done());
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(1900));
}

TEST(MysqlPoolTest, BlockingCallsAreRefusedOnANetworkThread) {
    ASSERT_TRUE(mariadbReady());
    MysqlPool pool(testLoops(), shortTiming());
    ASSERT_EQ(openTestPool(pool, 1), 1);
#ifdef NDEBUG
    std::promise<bool> refused;
    testLoops().post(0, [&] { refused.set_value(pool.run("select 1").busy()); });
    EXPECT_TRUE(refused.get_future().get());
#endif
    EXPECT_EQ(scalar(pool, "select 5"), "5");
}

TEST(MysqlPoolTest, CloseAnswersWaitingAndRunningStatements) {
    ASSERT_TRUE(mariadbReady());
    PoolTiming timing = shortTiming();
    timing.waitLimit = std::chrono::seconds(30);
    MysqlPool pool(testLoops(), timing);
    ASSERT_EQ(openTestPool(pool, 1), 1);
    std::promise<MysqlResult> running;
    std::promise<MysqlResult> waiting;
    pool.execute("select sleep(20)", [&](MysqlResult result) { running.set_value(std::move(result)); });
    pool.execute("select 1", [&](MysqlResult result) { waiting.set_value(std::move(result)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto begin = std::chrono::steady_clock::now();
    pool.close();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(4));
    EXPECT_TRUE(waiting.get_future().get().busy());
    EXPECT_TRUE(running.get_future().get().failed());
    EXPECT_TRUE(pool.run("select 1").busy());
    EXPECT_EQ(pool.connectedCount(), 0);  // the statement's lost connection was not opened again
}

TEST(MysqlPoolTest, KeepAliveRefreshesOnlySlotsIdleForTheThreshold) {
    ASSERT_TRUE(mariadbReady());
    std::atomic<int64_t> clock{1000};
    PoolTiming timing = shortTiming();
    timing.nowSeconds = [&clock] { return clock.load(); };
    MysqlPool pool(testLoops(), timing);
    ASSERT_EQ(openTestPool(pool, 2), 2);

    pool.heartbeat(60);  // lastUsed starts at 0: the first keep-alive reaches every slot
    EXPECT_EQ(pool.slotInfo(1).lastUsed, 1000);
    EXPECT_EQ(pool.slotInfo(2).lastUsed, 1000);

    clock = 1030;
    int slot = 0;
    scalar(pool, "SET NAMES latin1", &slot);  // slot 1 is used (and left with another character set)
    ASSERT_EQ(slot, 1);
    EXPECT_EQ(pool.slotInfo(1).lastUsed, 1030);

    clock = 1060;
    pool.heartbeat(60);
    EXPECT_EQ(pool.slotInfo(1).lastUsed, 1030);  // used 30 s ago
    EXPECT_EQ(pool.slotInfo(2).lastUsed, 1060);  // idle for exactly the threshold

    clock = 1090;
    pool.heartbeat(60);
    EXPECT_EQ(pool.slotInfo(1).lastUsed, 1090);
    EXPECT_EQ(pool.slotInfo(2).lastUsed, 1060);

    // The keep-alive statement is SET NAMES with the pool's character set: slot 1 speaks utf8mb4 again.
    int first = 0;
    int second = 0;
    scalar(pool, "select 1", &first);  // slot 2 (the queue is 2, 1 now; then 1, 2)
    EXPECT_EQ(scalar(pool, "select @@character_set_client", &second), "utf8mb4");
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 1);
}

TEST(MysqlPoolTest, ServerRestartFailsOneStatementPerSlotThenWorksAgain) {
    ASSERT_TRUE(mariadbReady());
    testing::MariadbServer& server = sharedMariadb();
    MysqlPool single(testLoops(), shortTiming());
    ASSERT_EQ(openTestPool(single, 1), 1);
    MysqlPool idle(testLoops(), shortTiming());
    ASSERT_EQ(openTestPool(idle, 3), 3);
    MysqlPool down(testLoops(), shortTiming());
    ASSERT_EQ(openTestPool(down, 1), 1);
    EXPECT_EQ(scalar(single, "select 1"), "1");

    ASSERT_TRUE(server.killServer());
    // While the server is away statements fail (the slot cannot reconnect yet) ...
    for (int attempt = 0; attempt < 2; ++attempt) {
        MysqlResult result = down.run("select 1");
        ASSERT_TRUE(result.failed());
        EXPECT_NE(result.errorNumber(), 0);
    }
    ASSERT_TRUE(server.startServer()) << server.error();
    // ... and the first statement after it is back connects first and succeeds.
    EXPECT_EQ(scalar(down, "select @@character_set_client"), "utf8mb4");

    // The statement that meets the dropped connection reports the loss and is not re-run ...
    MysqlResult result = single.run("select 1");
    ASSERT_TRUE(result.failed());
    EXPECT_TRUE(isLostConnectionError(result.errorNumber()))
        << result.errorNumber() << " " << result.errorText();
    // ... and the slot came back reconnected, with its session settings.
    EXPECT_EQ(scalar(single, "select @@character_set_client"), "utf8mb4");

    // The keep-alive mends idle slots before any statement meets them.
    idle.heartbeat(0);
    for (int k = 1; k <= 3; ++k)
        EXPECT_EQ(scalar(idle, "select 2"), "2") << "statement " << k;
}

TEST(MysqlPoolStressTest, ConcurrentCallersAndKeepAliveNeverShareAConnection) {
    ASSERT_TRUE(mariadbReady());
    MysqlPool pool(testLoops());  // product timing: callers wait for slots
    ASSERT_EQ(openTestPool(pool, 3), 3);
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::thread keepAlive([&] {
        while (!done)
            pool.heartbeat(0);  // keep-alive on every slot, held or idle
    });
    std::vector<std::thread> callers;
    for (int t = 0; t < 8; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                if (i % 10 == 9) {
                    MysqlResult result = pool.run("select * from nowhere");
                    if (!result.failed() || result.errorNumber() != 1146)
                        ++wrong;
                    continue;
                }
                std::string expected = std::to_string(t * 1000 + i);
                if (scalar(pool, "select " + expected) != expected)
                    ++wrong;
            }
        });
    }
    for (std::thread& caller : callers)
        caller.join();
    done = true;
    keepAlive.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(pool.idleCount(), 3u);
}

}  // namespace
}  // namespace kestrum
