// What one caller's statement leaves on a pooled connection never reaches the next caller: session settings,
// variables, transactions, locks, temporary tables and the current database are reset. Local files are never
// read for LOAD DATA LOCAL INFILE.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "mysql/mysql_module.h"
#include "mysql/mysql_pool.h"
#include "mysql_test_support.h"
#include "support/kestrum_process.h"

namespace kestrum {
namespace {

using testing::mariadbReady;
using testing::postSql;
using testing::sharedMariadb;
using testing::sqlBody;

constexpr int kSlots = 3;
const std::string kSuccess = R"({"errcode":200,"errmsg":"success"})";

// Runs SQL as root on the server, apart from the pool; returns its output (tab-separated, no headers).
std::string asRoot(const std::string& sql) {
    std::string output;
    if (!sharedMariadb().execute(sql, &output, sharedMariadb().options().database))
        return "error: " + sharedMariadb().error();
    while (!output.empty() && output.back() == '\n')
        output.pop_back();
    return output;
}

class MysqlSessionTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!mariadbReady())
            return;
        asRoot(
            "CREATE TABLE IF NOT EXISTS session_kv (k INT PRIMARY KEY, v VARCHAR(64)) CHARACTER SET utf8mb4;"
            "REPLACE INTO session_kv VALUES (1, 'real');"
            "CREATE DATABASE IF NOT EXISTS kestrum_other;"
            // A lock left behind would hold the other connections for a day otherwise.
            "SET GLOBAL lock_wait_timeout = 10;");
        pool_ = new MysqlPool(testing::testLoops());
        testing::openTestPool(*pool_, kSlots);
    }
    static void TearDownTestSuite() {
        delete pool_;
        pool_ = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(mariadbReady());
        ASSERT_EQ(pool_->slotCount(), kSlots);
    }

    // Runs `statement` on every slot at once (each result holds its slot until all have run).
    static std::vector<MysqlResult> onEverySlot(const std::string& statement) {
        std::vector<MysqlResult> results;
        for (int i = 0; i < kSlots; ++i)
            results.push_back(pool_->run(statement));
        return results;
    }

    static MysqlPool* pool_;
};

MysqlPool* MysqlSessionTest::pool_ = nullptr;

struct SessionCase {
    const char* statement;
    bool throughTask;  // run as a scheduled "sql" task does; otherwise posted to the endpoint
};

// Caller A runs a statement that changes its session on every slot; caller B's ordinary statements then find
// a clean session on every slot: autocommit on and no transaction, its text stored intact, every row, the
// real table, the configured database, no user variable; and no lock remains on the server.
TEST_F(MysqlSessionTest, NoSessionStateCrossesToTheNextCaller) {
    const SessionCase cases[] = {
        {"set autocommit=0", false},
        {"SET autocommit = 0", true},
        {"begin", false},
        {"start transaction", true},
        {"set names latin1", false},
        {"set session character_set_client = latin1", true},
        {"set session sql_select_limit=1", false},
        {"create temporary table session_kv (k int primary key, v varchar(64))", false},
        {"use kestrum_other", false},
        {"use kestrum_other", true},
        {"set @x = 'leaked'", false},
        {"select @x := 'leaked'", false},
        {"select 'leaked' into @x", true},
        {"lock tables session_kv write", false},
        {"select get_lock('session_lock', 0)", false},
        {"do get_lock('session_lock', 0)", true},
        {"xa start 'session_xa'", false},
        {"set session transaction isolation level serializable", false},
        {"set sql_mode = 'ANSI_QUOTES'", false},
    };
    int key = 100;
    for (const SessionCase& c : cases) {
        SCOPED_TRACE(c.statement);
        for (int i = 0; i < kSlots; ++i) {
            if (c.throughTask) {
                EXPECT_TRUE(runTaskStatement(*pool_, c.statement));
            } else {
                std::string answer = postSql(*pool_, sqlBody(c.statement));
                EXPECT_EQ(answer.find(R"({"errcode":200,"errmsg":"success")"), 0u) << answer;
            }
        }

        std::vector<MysqlResult> probes = onEverySlot(
            "select @@autocommit as ac, @@in_transaction as tx, @x is null as nox, database() as db, "
            "hex('中文') as text, @@tx_isolation as iso, @@sql_mode like '%ANSI_QUOTES%' as mode, "
            "(select v from session_kv where k = 1) as real_v, is_used_lock('session_lock') is null as "
            "nolock");
        std::vector<int> slots;
        for (MysqlResult& probe : probes) {
            ASSERT_TRUE(probe.done()) << probe.errorText();
            slots.push_back(probe.slot());
            ASSERT_TRUE(probe.seekRow(0));
            auto value = [&probe](const char* name) {
                std::string text;
                probe.valueByName(name, text);
                return text;
            };
            SCOPED_TRACE("slot " + std::to_string(probe.slot()));
            EXPECT_EQ(value("ac"), "1");
            EXPECT_EQ(value("tx"), "0");
            EXPECT_EQ(value("nox"), "1");
            EXPECT_EQ(value("db"), sharedMariadb().options().database);
            EXPECT_EQ(value("text"), "E4B8ADE69687");
            EXPECT_EQ(value("iso"), "REPEATABLE-READ");
            EXPECT_EQ(value("mode"), "0");
            EXPECT_EQ(value("real_v"), "real");
            EXPECT_EQ(value("nolock"), "1");
        }
        std::sort(slots.begin(), slots.end());
        EXPECT_EQ(slots, (std::vector<int>{1, 2, 3}));
        probes.clear();

        // All rows of a select; inserts that persist, with their text intact.
        for (MysqlResult& rows : onEverySlot("select seq from seq_1_to_3"))
            EXPECT_EQ(rows.rowCount(), 3u);
        std::vector<MysqlResult> inserts;
        for (int i = 0; i < kSlots; ++i)
            inserts.push_back(
                pool_->run("insert into session_kv values (" + std::to_string(key++) + ", '中文')"));
        for (MysqlResult& insert : inserts)
            EXPECT_TRUE(insert.done()) << insert.errorText();
        inserts.clear();
        EXPECT_EQ(asRoot("select count(*), min(hex(v)), max(hex(v)) from session_kv where k >= 100"),
                  std::to_string(kSlots) + "\tE4B8ADE69687\tE4B8ADE69687");
        asRoot("delete from session_kv where k >= 100");
        // Nobody holds a table lock or a named lock, and no XA transaction is left open.
        EXPECT_EQ(asRoot("set session lock_wait_timeout = 2; lock tables session_kv write; unlock tables; "
                         "select is_used_lock('session_lock') is null"),
                  "1");
        EXPECT_EQ(asRoot("xa recover"), "");
    }
}

// Ordinary statements pay nothing: the connection is reset only after one that may have changed its session.
TEST_F(MysqlSessionTest, OnlyStatementsThatTouchTheSessionReset) {
    struct Case {
        const char* statement;
        bool resets;
    };
    const Case cases[] = {
        {"select k, v from session_kv where k = 1", false},
        {"  SELECT count(*) FROM session_kv", false},
        {"update session_kv set v = 'real' where k = 1", false},
        {"insert into session_kv values (1, 'real') on duplicate key update v = 'real'", false},
        {"delete from session_kv where k = 99", false},
        {"select no_such_column from session_kv", false},  // a plain statement that failed
        {"select @@autocommit", true},                     // names a variable: judged by its text
        {"select release_lock('none')", false},
        {"set @y = 1", true},
        {"show tables", true},
        {"/* comment */ select 1", true},
        {"selectx", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.statement);
        const uint64_t before = pool_->sessionResets();
        MysqlResult result = pool_->run(c.statement);
        EXPECT_FALSE(result.busy());
        EXPECT_EQ(pool_->sessionResets() - before, c.resets ? 1u : 0u);
    }
}

// Without a configured database a session that chose one is replaced by a new connection: the next caller
// again has no database.
TEST(MysqlSessionNoDatabaseTest, UseIsUndoneByANewConnection) {
    ASSERT_TRUE(mariadbReady());
    const auto& options = sharedMariadb().options();
    MysqlPool pool(testing::testLoops());
    ASSERT_EQ(pool.open(2, sharedMariadb().host(), sharedMariadb().port(), options.user, options.password, "",
                        "utf8mb4", 10),
              2);
    for (int i = 0; i < 2; ++i)
        EXPECT_TRUE(pool.run("use kestrum_other").done());
    std::vector<MysqlResult> probes;
    for (int i = 0; i < 2; ++i)
        probes.push_back(pool.run("select database() is null as none, @@character_set_client as cs"));
    for (MysqlResult& probe : probes) {
        std::string none;
        std::string charset;
        ASSERT_TRUE(probe.seekRow(0));
        probe.valueByName("none", none);
        probe.valueByName("cs", charset);
        EXPECT_EQ(none, "1");
        EXPECT_EQ(charset, "utf8mb4");
    }
    probes.clear();
    EXPECT_EQ(pool.connectedCount(), 2);
}

// LOAD DATA LOCAL INFILE fails with the server's error and the file is never opened.
TEST_F(MysqlSessionTest, LoadDataLocalInfileReadsNoFile) {
    testing::TempDir dir;
    dir.write("secret.ini", "[sys]\npassword=do-not-read\n");
    const std::string path = dir.path() + "/secret.ini";
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, path.c_str(), IN_OPEN | IN_ACCESS), 0);

    for (const std::string& statement : {"load data local infile '" + path + "' into table session_kv",
                                         "LOAD DATA LOW_PRIORITY LOCAL INFILE '" + path +
                                             "' REPLACE INTO TABLE session_kv LINES TERMINATED BY '\\n'",
                                         "load xml local infile '" + path + "' into table session_kv"}) {
        std::string answer = postSql(*pool_, sqlBody(statement));
        EXPECT_EQ(answer.find(R"({"errcode":401,"errmsg":")"), 0u) << answer;
        EXPECT_TRUE(runTaskStatement(*pool_, statement));
    }
    char events[4096];
    EXPECT_LT(read(watch, events, sizeof events), 1) << "the file was opened";
    close(watch);
    EXPECT_EQ(asRoot("select count(*) from session_kv"), "1");
    // The connections serve on.
    EXPECT_EQ(postSql(*pool_, sqlBody("select v from session_kv")),
              R"({"errcode":200,"errmsg":"success","data":[{"v":"real"}]})");
}

}  // namespace
}  // namespace kestrum
