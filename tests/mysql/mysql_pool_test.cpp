// MysqlPool against the private server: slot numbering, the calling contract of runStatement, the busy path,
// the keep-alive and recovery after a server restart.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "mysql/mysql_pool.h"
#include "mysql_test_support.h"

namespace kestrum {
namespace {

using testing::mariadbReady;
using testing::openTestPool;
using testing::sharedMariadb;

PoolTiming shortTiming() {
    PoolTiming timing;
    timing.takeTimeoutMs = 150;
    timing.retryPauseMs = 5;
    timing.attempts = 3;
    timing.heartbeatSpacingMs = 0;
    return timing;
}

// Runs a statement that must succeed and returns the first cell of its first row.
std::string scalar(MysqlPool& pool, const std::string& sql, int* slotOut = nullptr, bool release = true) {
    int slot = 0;
    MYSQL_RES* result = nullptr;
    int errorNumber = 0;
    std::string errorText;
    if (!pool.runStatement(sql, slot, result, errorNumber, errorText) || slot == 0) {
        return "error " + std::to_string(errorNumber) + ": " + errorText;
    }
    std::string value;
    MysqlClient* client = pool.clientForSlot(slot);
    if (result && client->seekRow(result, 0)) {
        MysqlClient::valueByName(result, MysqlClient::fieldInfo(result, 0).name, value);
    }
    if (slotOut)
        *slotOut = slot;
    if (release) {
        pool.endSql(slot, result);
    } else {
        MysqlClient::freeResult(result);
    }
    return value;
}

TEST(MysqlPoolTest, OnlyConnectedClientsGetSlotsNumberedInAttemptOrder) {
    ASSERT_TRUE(mariadbReady());
    testing::RefusingRelay relay({2});
    ASSERT_TRUE(relay.listening());
    const auto& options = sharedMariadb().options();
    MysqlPool pool(shortTiming());
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
    // Slots leave the queue in ascending order; every one of them works and speaks utf8mb4.
    for (int k = 1; k <= 4; ++k) {
        int slot = 0;
        EXPECT_EQ(scalar(pool, "select @@character_set_client", &slot, false), "utf8mb4");
        EXPECT_EQ(slot, k);
    }
    EXPECT_EQ(pool.open(5, relay.address(), 3306, "", "", "", "utf8mb4", 5), 4);  // opens once
}

TEST(MysqlPoolTest, NoConnectionsGiveAnEmptyPoolThatAnswersBusy) {
    MysqlPool pool(shortTiming());
    EXPECT_EQ(pool.open(0, "127.0.0.1", 3306, "", "", "", "utf8mb4"), 0);
    EXPECT_EQ(pool.clientCount(), 0);
    int slot = 9;
    MYSQL_RES* result = nullptr;
    int errorNumber = 0;
    std::string errorText;
    EXPECT_FALSE(pool.runStatement("select 1", slot, result, errorNumber, errorText));
    EXPECT_EQ(slot, 0);
    pool.heartbeat(0);  // nothing to do, must not crash
    pool.endSql(1, nullptr);
    EXPECT_EQ(pool.idleCount(), 0u);
}

TEST(MysqlPoolTest, FailedStatementReportsTheErrorAndReturnsTheSlotAtOnce) {
    ASSERT_TRUE(mariadbReady());
    MysqlPool pool(shortTiming());
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
        int slot = 7;
        MYSQL_RES* result = reinterpret_cast<MYSQL_RES*>(1);
        int errorNumber = 0;
        std::string errorText;
        ASSERT_TRUE(pool.runStatement(c.sql, slot, result, errorNumber, errorText)) << c.sql;
        EXPECT_EQ(slot, 0) << c.sql;
        EXPECT_EQ(result, nullptr) << c.sql;
        EXPECT_EQ(errorNumber, c.errorNumber) << c.sql;
        EXPECT_FALSE(errorText.empty()) << c.sql;
        EXPECT_EQ(pool.idleCount(), 1u) << c.sql;
    }
    EXPECT_EQ(scalar(pool, "select 40 + 2"), "42");
}

TEST(MysqlPoolTest, AllSlotsHeldGivesFalseUnlessOneIsFreedDuringTheWait) {
    ASSERT_TRUE(mariadbReady());
    MysqlPool pool(shortTiming());
    ASSERT_EQ(openTestPool(pool, 1), 1);
    int held = 0;
    MYSQL_RES* heldResult = nullptr;
    int errorNumber = 0;
    std::string errorText;
    ASSERT_TRUE(pool.runStatement("select 1", held, heldResult, errorNumber, errorText));
    ASSERT_EQ(held, 1);

    int slot = 5;
    MYSQL_RES* result = nullptr;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(pool.runStatement("select 2", slot, result, errorNumber, errorText));
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(slot, 0);
    EXPECT_GE(waited, std::chrono::milliseconds(3 * 150));  // every attempt waited its full take time-out

    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        pool.endSql(held, heldResult);
    });
    EXPECT_TRUE(pool.runStatement("select 3", slot, result, errorNumber, errorText));
    EXPECT_EQ(slot, 1);
    releaser.join();
    pool.endSql(slot, result);
    EXPECT_EQ(pool.idleCount(), 1u);
}

TEST(MysqlPoolTest, KeepAliveRefreshesOnlySlotsIdleForTheThreshold) {
    ASSERT_TRUE(mariadbReady());
    std::atomic<int64_t> clock{1000};
    PoolTiming timing = shortTiming();
    timing.nowSeconds = [&clock] { return clock.load(); };
    MysqlPool pool(timing);
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
    scalar(pool, "select 1", &first, false);  // holds slot 2 (the queue is 2, 1 now)
    EXPECT_EQ(scalar(pool, "select @@character_set_client", &second), "utf8mb4");
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 1);
    pool.endSql(first, nullptr);
}

TEST(MysqlPoolTest, ServerRestartFailsOneStatementPerSlotThenWorksAgain) {
    ASSERT_TRUE(mariadbReady());
    testing::MariadbServer& server = sharedMariadb();
    MysqlPool single(shortTiming());
    ASSERT_EQ(openTestPool(single, 1), 1);
    MysqlPool idle(shortTiming());
    ASSERT_EQ(openTestPool(idle, 3), 3);
    MysqlPool down(shortTiming());
    ASSERT_EQ(openTestPool(down, 1), 1);
    EXPECT_EQ(scalar(single, "select 1"), "1");

    ASSERT_TRUE(server.killServer());
    // While the server is away statements fail (the slot cannot reconnect yet) ...
    for (int attempt = 0; attempt < 2; ++attempt) {
        int slot = 0;
        MYSQL_RES* result = nullptr;
        int errorNumber = 0;
        std::string errorText;
        ASSERT_TRUE(down.runStatement("select 1", slot, result, errorNumber, errorText));
        EXPECT_EQ(slot, 0);
        EXPECT_NE(errorNumber, 0);
    }
    ASSERT_TRUE(server.startServer()) << server.error();
    // ... and the first statement after it is back connects first and succeeds.
    EXPECT_EQ(scalar(down, "select @@character_set_client"), "utf8mb4");

    // The statement that meets the dropped connection reports the loss and is not re-run ...
    int slot = 0;
    MYSQL_RES* result = nullptr;
    int errorNumber = 0;
    std::string errorText;
    ASSERT_TRUE(single.runStatement("select 1", slot, result, errorNumber, errorText));
    EXPECT_EQ(slot, 0);
    EXPECT_TRUE(isLostConnectionError(errorNumber)) << errorNumber << " " << errorText;
    // ... and the slot came back reconnected, with its session settings.
    EXPECT_EQ(scalar(single, "select @@character_set_client"), "utf8mb4");

    // The keep-alive mends idle slots before any statement meets them.
    idle.heartbeat(0);
    for (int k = 1; k <= 3; ++k)
        EXPECT_EQ(scalar(idle, "select 2"), "2") << "statement " << k;
}

TEST(MysqlPoolStressTest, ConcurrentCallersAndKeepAliveNeverShareAConnection) {
    ASSERT_TRUE(mariadbReady());
    MysqlPool pool;  // product timing: callers wait for slots
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
                    int slot = 0;
                    MYSQL_RES* result = nullptr;
                    int errorNumber = 0;
                    std::string errorText;
                    if (!pool.runStatement("select * from nowhere", slot, result, errorNumber, errorText) ||
                        slot != 0 || errorNumber != 1146) {
                        ++wrong;
                    }
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
