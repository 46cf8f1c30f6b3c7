// The SQL endpoint in-process: request body in, envelope text out (compared as UTF-8).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "util/worker_pool.h"

#include "mysql/mysql_module.h"
#include "mysql_test_support.h"

namespace kestrum {
namespace {

using testing::postSql;
using testing::sqlBody;

const std::string kSuccess = R"({"errcode":200,"errmsg":"success"})";

class MysqlEndpointTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!testing::mariadbReady())
            return;
        pool_ = new MysqlPool(testing::testLoops());
        testing::openTestPool(*pool_, 2);
    }
    static void TearDownTestSuite() {
        delete pool_;
        pool_ = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(testing::mariadbReady());
        ASSERT_EQ(pool_->slotCount(), 2);
    }
    static std::string post(const std::string& sql) { return postSql(*pool_, sqlBody(sql)); }

    static MysqlPool* pool_;
};

MysqlPool* MysqlEndpointTest::pool_ = nullptr;

TEST_F(MysqlEndpointTest, SelectTypesEachColumnByItsTypeCode) {
    ASSERT_EQ(post("drop table if exists typed"), kSuccess);
    ASSERT_EQ(post("create table typed (n int, i int, b bigint, m mediumint, t tinyint, s smallint, "
                   "d decimal(10,2), db double, f float, ts timestamp null, dt datetime, v varchar(40)) "
                   "character set utf8mb4"),
              kSuccess);
    // The insert goes through the statement path too: Chinese and a 4-byte character must survive the way in.
    ASSERT_EQ(post("insert into typed values (1, -7, 9007199254740993, 8388607, 1, 2, 12.50, 1.25, 0.5, "
                   "'2024-05-01 10:00:00', '2024-05-01 10:00:00', '中文 \"q\" 😀')"),
              kSuccess);
    ASSERT_EQ(post("insert into typed (n) values (2)"), kSuccess);

    EXPECT_EQ(post("select i, b, m, t, s, d, db, f, ts, dt, v from typed order by n"),
              R"({"errcode":200,"errmsg":"success","data":[)"
              R"({"i":-7,"b":9007199254740993,"m":8388607,"t":"1","s":"2","d":"12.50","db":1.25,"f":0.5,)"
              R"("ts":2024,"dt":"2024-05-01 10:00:00","v":"中文 \"q\" 😀"},)"
              R"({"i":0,"b":0,"m":0,"t":"","s":"","d":"","db":0,"f":0,"ts":0,"dt":"","v":""}]})");
}

// Whatever returns a result set answers its rows; a statement that starts with select answers "data" even
// without one; everything else answers success.
TEST_F(MysqlEndpointTest, StatementsThatReturnResultSetsAnswerRows) {
    ASSERT_EQ(post("create table if not exists kv (id int primary key, name varchar(20))"), kSuccess);
    ASSERT_EQ(post("replace into kv values (1, 'a'), (2, 'b')"), kSuccess);
    const std::string both =
        R"({"errcode":200,"errmsg":"success","data":[{"id":1,"name":"a"},{"id":2,"name":"b"}]})";
    const std::string none = R"({"errcode":200,"errmsg":"success","data":{}})";
    auto rows = [](const std::string& data) {
        return R"({"errcode":200,"errmsg":"success","data":)" + data + "}";
    };
    struct Case {
        std::string sql;
        std::string answer;
    } cases[] = {
        {"SELECT id, name FROM kv ORDER BY id", both},
        {"SeLeCt name from kv where id = 2", rows(R"([{"name":"b"}])")},
        {"select id from kv where id < 0", none},
        {"select 1 into @x", none},  // starts with select, no result set: "data" as always
        {" select id, name from kv order by id", both},
        {"\n\tselect id, name from kv order by id", both},
        {"/* a comment */ select id, name from kv order by id", both},
        {"(select id, name from kv) order by id", both},
        {"with t as (select id, name from kv) select * from t order by id", both},
        {"values (7)", rows(R"([{"7":7}])")},
        {"show tables like 'kv'", rows(R"j([{"Tables_in_kestrum_test (kv)":"kv"}])j")},
        {"show tables like 'no_such_table'", none},  // a result set without rows
        {"describe kv name",
         rows(R"j([{"Field":"name","Type":"varchar(20)","Null":"YES","Key":"","Default":"","Extra":""}])j")},
        {"insert into kv values (3, 'c')", kSuccess},
        {"update kv set name = 'cc' where id = 3", kSuccess},
        {"delete from kv where id = 3", kSuccess},
        {"set @y = 1", kSuccess},
        {"do 1", kSuccess},
    };
    for (const Case& c : cases)
        EXPECT_EQ(post(c.sql), c.answer) << c.sql;

    std::string explained = post("explain select id from kv where id = 1");
    EXPECT_EQ(
        explained.rfind(
            R"({"errcode":200,"errmsg":"success","data":[{"id":1,"select_type":"SIMPLE","table":"kv",)", 0),
        0u)
        << explained;
}

TEST_F(MysqlEndpointTest, ColumnNamesArePathsExceptForBrackets) {
    struct Case {
        std::string sql;
        std::string data;
    } cases[] = {
        {"select 1 as `a.b`, 'x' as `a.c`", R"([{"a":{"b":1,"c":"x"}}])"},
        {"select 1 as id, 2 as id", R"([{"id":1}])"},  // the first of two equal names wins
        {"select 5 as `名字`", R"([{"名字":5}])"},
        // An index in a name stays text: no array of two billion elements.
        {"select 7 as `x[2000000000]`, 8 as `[3]`", R"([{"x[2000000000]":7,"[3]":8}])"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(post(c.sql), R"({"errcode":200,"errmsg":"success","data":)" + c.data + "}") << c.sql;
    }
}

TEST_F(MysqlEndpointTest, FailuresAnswer401WithNumberAndServerText) {
    struct Case {
        std::string body;
        std::string answer;
    } cases[] = {
        {sqlBody("select * from missing_table"),
         R"({"errcode":401,"errmsg":"1146：Table 'kestrum_test.missing_table' doesn't exist"})"},
        {sqlBody("select * from `表格`"),
         R"({"errcode":401,"errmsg":"1146：Table 'kestrum_test.表格' doesn't exist"})"},
        {sqlBody("select 1; select 2"), ""},
        // The error arrives after the first row was sent: still a failure, not an empty success.
        {sqlBody("select a, (select 1 from dual union all select 2 from dual where t.a > 1) as s "
                 "from (select 1 a union all select 2) t"),
         R"({"errcode":401,"errmsg":"1242：Subquery returns more than 1 row"})"},
        {"", R"({"errcode":401,"errmsg":"1065：Query was empty"})"},
        {"not json at all", R"({"errcode":401,"errmsg":"1065：Query was empty"})"},
        {R"({"query":"select 1"})", R"({"errcode":401,"errmsg":"1065：Query was empty"})"},
    };
    for (const Case& c : cases) {
        std::string answer = postSql(*pool_, c.body);
        if (c.answer.empty()) {
            EXPECT_EQ(
                answer.rfind(R"({"errcode":401,"errmsg":"1064：You have an error in your SQL syntax)", 0), 0u)
                << answer;
        } else {
            EXPECT_EQ(answer, c.answer) << c.body;
        }
    }
    EXPECT_EQ(pool_->idleCount(), 2u);  // every failing statement gave its slot back
}

// A procedure answers the rows of its first result set, like a select; a failure in any later one is the
// statement's failure.
TEST_F(MysqlEndpointTest, ProcedureAnswersItsFirstResultSet) {
    const std::string midRows =
        "select a, (select 1 from dual union all select 2 from dual where t.a > 1) as s "
        "from (select 1 a union all select 2) t";
    struct Procedure {
        std::string name;
        std::string body;
        std::string answer;
    } procedures[] = {
        {"two_results", "select 1 as a; select 2 as b;",
         R"({"errcode":200,"errmsg":"success","data":[{"a":1}]})"},
        {"write_then_read", "do 1; select 3 as c union all select 4;",
         R"({"errcode":200,"errmsg":"success","data":[{"c":3},{"c":4}]})"},
        {"empty_first", "select 1 as a from dual where false; select 2 as b;",
         R"({"errcode":200,"errmsg":"success","data":{}})"},
        {"no_select", "do 1;", kSuccess},
        {"half_fails", "select 1 as a; select * from missing_table;",
         R"({"errcode":401,"errmsg":"1146：Table 'kestrum_test.missing_table' doesn't exist"})"},
        // The later select fails after its first row was sent.
        {"fails_mid_rows", "select 1 as a; " + midRows + ";",
         R"({"errcode":401,"errmsg":"1242：Subquery returns more than 1 row"})"},
        {"first_fails_mid_rows", midRows + "; select 1 as a;",
         R"({"errcode":401,"errmsg":"1242：Subquery returns more than 1 row"})"},
    };
    for (const Procedure& p : procedures) {
        SCOPED_TRACE(p.name);
        ASSERT_EQ(post("drop procedure if exists " + p.name), kSuccess);
        ASSERT_EQ(post("create procedure " + p.name + "() begin " + p.body + " end"), kSuccess);
        // Both slots run the procedure; each must be ready for the next statement afterwards.
        for (int round = 0; round < 2; ++round) {
            EXPECT_EQ(post("call " + p.name + "()"), p.answer);
            EXPECT_EQ(post("select 5 as five"), R"({"errcode":200,"errmsg":"success","data":[{"five":5}]})");
        }
    }
    EXPECT_EQ(pool_->idleCount(), 2u);
}

TEST(MysqlEndpointBusyTest, NoFreeSlotAnswers501AfterTheWaitLimit) {
    ASSERT_TRUE(testing::mariadbReady());
    PoolTiming timing;
    timing.waitLimit = std::chrono::milliseconds(150);
    MysqlPool pool(testing::testLoops(), timing);
    ASSERT_EQ(testing::openTestPool(pool, 1), 1);
    std::promise<MysqlResult> sleeping;  // holds the only slot for 0.6 s
    pool.execute("select sleep(0.6)", [&](MysqlResult result) { sleeping.set_value(std::move(result)); });
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(postSql(pool, sqlBody("select 1")), R"({"errcode":501,"errmsg":"server busy."})");
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(150));
    EXPECT_TRUE(sleeping.get_future().get().done());
    EXPECT_EQ(postSql(pool, sqlBody("select 1 as one")),
              R"({"errcode":200,"errmsg":"success","data":[{"one":1}]})");
}

// Many callers at once, each with literals of its own (Unicode among them): every one gets exactly its own
// rows, whichever slot and thread served it.
TEST(MysqlEndpointConcurrencyTest, EveryCallerGetsItsOwnAnswer) {
    ASSERT_TRUE(testing::mariadbReady());
    MysqlPool pool(testing::testLoops());
    ASSERT_EQ(testing::openTestPool(pool, 3), 3);
    WorkerPool workers;
    ASSERT_TRUE(workers.start(2));
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 12; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                std::string tag = "中文😀-" + std::to_string(t) + "-" + std::to_string(i);
                std::string sql = "select '" + tag + "' as tag, " + std::to_string(t * 1000 + i) + " as n";
                std::string expected = R"({"errcode":200,"errmsg":"success","data":[{"tag":")" + tag +
                                       R"(","n":)" + std::to_string(t * 1000 + i) + "}]}";
                if (postSql(pool, sqlBody(sql), &workers) != expected)
                    ++wrong;
            }
        });
    }
    for (std::thread& caller : callers)
        caller.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(pool.idleCount(), 3u);
}

// A large result is turned into JSON on a worker; the answer is the same as on the network thread.
TEST_F(MysqlEndpointTest, LargeResultAnswersTheSameThroughTheWorkers) {
    const std::string sql = "select seq as n, concat('v', seq) as v from seq_1_to_6000";
    WorkerPool workers;
    ASSERT_TRUE(workers.start(1));
    std::string viaWorkers = postSql(*pool_, sqlBody(sql), &workers);
    EXPECT_EQ(viaWorkers, postSql(*pool_, sqlBody(sql)));
    EXPECT_NE(viaWorkers.find(R"({"n":6000,"v":"v6000"}]})"), std::string::npos) << viaWorkers.substr(0, 200);
}

// max_answer: rows past the bound fail the statement with 401 naming it, on the network thread or through the
// workers; the slot's connection is reopened and serves on; an answer within the bound is whole.
TEST(MysqlEndpointMaxAnswerTest, RowsPastTheBoundFailNamingIt) {
    ASSERT_TRUE(testing::mariadbReady());
    MysqlPool pool(testing::testLoops());
    ASSERT_EQ(testing::openTestPool(pool, 1), 1);
    pool.setMaxAnswer(1024 * 1024);
    WorkerPool workers;
    ASSERT_TRUE(workers.start(1));
    const std::string refused = R"({"errcode":401,"errmsg":"answer too large：max_answer(1048576)."})";
    for (WorkerPool* through : {static_cast<WorkerPool*>(nullptr), &workers}) {
        EXPECT_EQ(postSql(pool, sqlBody("select repeat('a', 100000) as v from seq_1_to_200"), through),
                  refused);
        // Many small rows, and a statement that is not a select: the rows are bounded all the same.
        EXPECT_EQ(postSql(pool, sqlBody("select seq, 'abcdefgh' as v from seq_1_to_100000"), through),
                  refused);
        EXPECT_EQ(postSql(pool, sqlBody("SELECT 1 union all select repeat('b', 2000000)"), through), refused);
        // Counted as written: 300000 NUL bytes are 1.8 MB of \u0000, 100000 of them 600 KB.
        EXPECT_EQ(postSql(pool, sqlBody("select repeat(char(0), 300000) as v"), through), refused);
        std::string escaped = postSql(pool, sqlBody("select repeat(char(0), 100000) as v"), through);
        EXPECT_EQ(escaped.find(R"({"errcode":200,"errmsg":"success","data":[{"v":"\u0000\u0000)"), 0u)
            << escaped.substr(0, 80);
        EXPECT_EQ(escaped.size(),
                  600000u + std::string(R"({"errcode":200,"errmsg":"success","data":[{"v":""}]})").size());
        std::string fits = postSql(pool, sqlBody("select repeat('a', 1000) as v from seq_1_to_900"), through);
        EXPECT_EQ(fits.find(R"({"errcode":200,"errmsg":"success","data":[{"v":"aaaa)"), 0u)
            << fits.substr(0, 80);
        EXPECT_GT(fits.size(), 900u * 1000);
        EXPECT_LT(fits.size(), 1024u * 1024);
    }
    // A procedure's further results are read and dropped as they come: they neither count nor stay.
    ASSERT_EQ(postSql(pool, sqlBody("drop procedure if exists big_second")), kSuccess);
    ASSERT_EQ(postSql(pool, sqlBody("create procedure big_second() begin select 1 as a; "
                                    "select repeat('z', 100000) as z from seq_1_to_50; select 3 as c; end")),
              kSuccess);
    EXPECT_EQ(postSql(pool, sqlBody("call big_second()")),
              R"({"errcode":200,"errmsg":"success","data":[{"a":1}]})");
    MysqlResult task = pool.run("select repeat('a', 100000) from seq_1_to_200");
    EXPECT_TRUE(task.failed());
    EXPECT_EQ(task.errorNumber(), kAnswerTooLarge);
    task.release();
    EXPECT_EQ(postSql(pool, sqlBody("select 1 as n")),
              R"({"errcode":200,"errmsg":"success","data":[{"n":1}]})");
    EXPECT_EQ(pool.connectedCount(), 1);
    EXPECT_EQ(pool.idleCount(), 1u);
}

}  // namespace
}  // namespace kestrum
