// Statements with values, batches and exact column types through the SQL endpoint, on a real server.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mysql/mysql_module.h"
#include "mysql/mysql_pool.h"
#include "mysql_test_support.h"

namespace kestrum {
namespace {

using testing::postSql;
using testing::sqlBody;

const std::string kSuccess = R"({"errcode":200,"errmsg":"success"})";

std::string rows(const std::string& data) {
    return R"({"errcode":200,"errmsg":"success","data":)" + data + "}";
}

// One connection, so that what a statement leaves on it (a transaction, cached statements) is what the next
// one finds.
class MysqlParamsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!testing::mariadbReady())
            return;
        pool_ = new MysqlPool(testing::testLoops());
        testing::openTestPool(*pool_, 1);
    }
    static void TearDownTestSuite() {
        delete pool_;
        pool_ = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(testing::mariadbReady());
        ASSERT_EQ(pool_->slotCount(), 1);
        pool_->setStatementCache(kDefaultStatementCache);
    }
    static std::string post(const std::string& body) { return postSql(*pool_, body); }
    static std::string sql(const std::string& statement) { return postSql(*pool_, sqlBody(statement)); }

    static MysqlPool* pool_;
};

MysqlPool* MysqlParamsTest::pool_ = nullptr;

// Every kind of value goes in through a placeholder and comes back unchanged: nothing of it is SQL text.
TEST_F(MysqlParamsTest, ValuesRoundTripThroughInsertAndSelect) {
    ASSERT_EQ(sql("drop table if exists pv"), kSuccess);
    ASSERT_EQ(sql("create table pv (k int primary key, b bigint, u bigint unsigned, d double, "
                  "s varchar(2000), t tinyint) character set utf8mb4"),
              kSuccess);
    const std::string longText(1500, 'x');  // longer than a first fetch buffer
    struct Case {
        const char* column;
        std::string value;     // JSON as sent
        std::string expected;  // JSON as answered with exact types
    } cases[] = {
        {"b", "-9223372036854775808", "-9223372036854775808"},
        {"b", "9223372036854775807", "9223372036854775807"},
        {"u", "18446744073709551615", "18446744073709551615"},
        {"u", "9223372036854775808", "9223372036854775808"},
        {"d", "0.1", "0.1"},
        {"d", "-1.5e300", "-1.5e+300"},
        {"d", "2.2250738585072014e-308", "2.2250738585072014e-308"},
        {"b", "7.9", "8"},  // a double into an integer column: the server rounds
        {"s", R"("中文 😀 ünïcode")", R"("中文 😀 ünïcode")"},
        {"s", R"("")", R"("")"},
        {"s", R"("it's \"quoted\"; drop table pv; -- ")", R"("it's \"quoted\"; drop table pv; -- ")"},
        {"s", R"("' or '1'='1")", R"("' or '1'='1")"},
        {"s", R"("\u0000nul\\")", R"("\u0000nul\\")"},
        {"s", "\"" + longText + "\"", "\"" + longText + "\""},
        {"s", "null", "null"},
        {"t", "true", "1"},
        {"t", "false", "0"},
        {"s", "42", R"("42")"},
    };
    int key = 0;
    for (const Case& c : cases) {
        ++key;
        const std::string k = std::to_string(key);
        SCOPED_TRACE(c.value);
        EXPECT_EQ(post(R"j({"sql":"insert into pv (k, )j" + std::string(c.column) +
                       R"j() values (?, ?)","params":[)j" + k + "," + c.value + "]}"),
                  rows(R"({"affected":1,"insert_id":0})"));
        EXPECT_EQ(post(R"({"sql":"select )" + std::string(c.column) +
                       R"( as v from pv where k = ?","params":[)" + k + R"(],"types":"exact"})"),
                  rows(R"([{"v":)" + c.expected + "}]"));
    }
    // The table is still there, with one row per case.
    EXPECT_EQ(sql("select count(*) as n from pv"), rows(R"([{"n":)" + std::to_string(key) + "}]"));
}

TEST_F(MysqlParamsTest, WrongValuesAreRefusedBeforeAnythingRuns) {
    ASSERT_EQ(sql("create table if not exists pw (k int primary key)"), kSuccess);
    ASSERT_EQ(sql("delete from pw"), kSuccess);
    struct Case {
        std::string body;
        std::string answer;
    } cases[] = {
        {R"j({"sql":"insert into pw values (?)","params":[]})j",
         R"j({"errcode":401,"errmsg":"params: 0 values for 1 placeholders"})j"},
        {R"j({"sql":"insert into pw values (?)","params":[1,2]})j",
         R"j({"errcode":401,"errmsg":"params: 2 values for 1 placeholders"})j"},
        {R"j({"sql":"insert into pw values (?)","params":[[1]]})j",
         R"j({"errcode":401,"errmsg":"params[0]: an array or object is no parameter value"})j"},
        {R"j({"sql":"insert into pw values (?)","params":{"k":1}})j",
         R"j({"errcode":401,"errmsg":"params: an array of values is needed"})j"},
        {R"j({"batch":[{"sql":"insert into pw values (?)","params":[1]},)j"
         R"j({"sql":"insert into pw values (?)"}]})j",
         R"j({"errcode":401,"errmsg":"batch[1].params: 0 values for 1 placeholders"})j"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(post(c.body), c.answer) << c.body;
    EXPECT_EQ(sql("select count(*) as n from pw"), rows(R"([{"n":0}])"));
    // The server's own error for a statement it cannot prepare.
    const std::string broken = post(R"({"sql":"selec ?","params":[1]})");
    EXPECT_EQ(broken.rfind(R"({"errcode":401,"errmsg":"1064：You have an error in your SQL syntax)", 0), 0u)
        << broken;
}

TEST_F(MysqlParamsTest, BatchAnswersOneEntryPerStatement) {
    ASSERT_EQ(sql("drop table if exists pb"), kSuccess);
    ASSERT_EQ(sql("create table pb (id int auto_increment primary key, name varchar(20))"), kSuccess);
    const uint64_t resets = pool_->sessionResets();
    EXPECT_EQ(post(R"j({"batch":[)j"
                   R"j({"sql":"insert into pb (name) values (?), (?)","params":["a","b"]},)j"
                   R"j({"sql":"update pb set name = concat(name, '!') where id = ?","params":[2]},)j"
                   R"j({"sql":"select id, name from pb order by id"},)j"
                   R"j({"sql":"select id from pb where id > ?","params":[5]}],"transaction":true})j"),
              rows(R"([{"affected":2,"insert_id":1},{"affected":1,"insert_id":0},)"
                   R"([{"id":1,"name":"a"},{"id":2,"name":"b!"}],{}])"));
    EXPECT_EQ(post(R"({"batch":[{"sql":"select id from pb where id > ?","params":[5]}],"types":"exact"})"),
              rows("[[]]"));
    // Plain statements in a transaction of their own leave the session as it was: no reset.
    EXPECT_EQ(pool_->sessionResets(), resets);
    // The statements of a batch share their session; the next caller finds none of it.
    EXPECT_EQ(post(R"({"batch":[{"sql":"set @kept = 5"},{"sql":"select @kept as v"}],"transaction":true})"),
              rows(R"([{"affected":0,"insert_id":0},[{"v":5}]])"));
    EXPECT_EQ(post(R"({"sql":"select @kept as v, @@in_transaction as t","types":"exact"})"),
              rows(R"([{"v":null,"t":0}])"));
}

// The third statement fails: with a transaction nothing of the first two stays, and the connection is
// handed on without an open transaction; without one the first two stay.
TEST_F(MysqlParamsTest, FailingBatchRollsBackOrKeepsWhatRan) {
    ASSERT_EQ(sql("drop table if exists pt"), kSuccess);
    ASSERT_EQ(sql("create table pt (k int primary key) engine=InnoDB"), kSuccess);
    const std::string batch = R"j({"batch":[)j"
                              R"j({"sql":"insert into pt values (?)","params":[1]},)j"
                              R"j({"sql":"insert into pt values (2)"},)j"
                              R"j({"sql":"insert into pt values (?)","params":[1]},)j"
                              R"j({"sql":"insert into pt values (3)"}])j";
    const std::string failure =
        R"({"errcode":401,"errmsg":"batch[2]：1062：Duplicate entry '1' for key 'PRIMARY'","data":{"index":2}})";
    EXPECT_EQ(post(batch + R"(,"transaction":true})"), failure);
    EXPECT_EQ(sql("select count(*) as n, @@in_transaction as t from pt"), rows(R"([{"n":0,"t":0}])"));
    // The next caller on the same connection works in autocommit: its row stays.
    EXPECT_EQ(sql("insert into pt values (9)"), kSuccess);
    EXPECT_EQ(sql("delete from pt where k = 9"), kSuccess);

    EXPECT_EQ(post(batch + "}"), failure);
    EXPECT_EQ(sql("select k from pt order by k"), rows(R"([{"k":1},{"k":2}])"));
}

// The same text is prepared once per connection; the least recently used statement is closed when the
// cache is full, and a session reset empties it.
TEST_F(MysqlParamsTest, StatementCacheEvictsAndEmptiesOnReset) {
    pool_->setStatementCache(2);
    ASSERT_EQ(sql("set @fresh = 1"), kSuccess);  // a new session: nothing cached, nothing closed yet
    auto run = [](const char* text) {
        return post(std::string(R"({"sql":")") + text + R"(","params":[1]})");
    };
    const uint64_t start = pool_->statementsPrepared();
    auto prepared = [start] { return pool_->statementsPrepared() - start; };
    EXPECT_EQ(run("select ? as a"), rows(R"([{"a":1}])"));
    EXPECT_EQ(run("select ? as b"), rows(R"([{"b":1}])"));
    EXPECT_EQ(run("select ? as a"), rows(R"([{"a":1}])"));
    EXPECT_EQ(prepared(), 2u);
    EXPECT_EQ(run("select ? as c"), rows(R"([{"c":1}])"));  // evicts b, the least recently used
    EXPECT_EQ(run("select ? as a"), rows(R"([{"a":1}])"));
    EXPECT_EQ(prepared(), 3u);
    // The evicted statement was closed on the server too.
    EXPECT_EQ(sql("show session status like 'Com_stmt_close'"),
              rows(R"([{"Variable_name":"Com_stmt_close","Value":"1"}])"));
    // That statement reset the session: every statement is prepared afresh.
    EXPECT_EQ(run("select ? as a"), rows(R"([{"a":1}])"));
    EXPECT_EQ(prepared(), 4u);
    EXPECT_EQ(run("select ? as b"), rows(R"([{"b":1}])"));
    EXPECT_EQ(prepared(), 5u);

    // Without a cache each statement is closed after use.
    pool_->setStatementCache(0);
    EXPECT_EQ(run("select ? as a"), rows(R"([{"a":1}])"));
    EXPECT_EQ(run("select ? as a"), rows(R"([{"a":1}])"));
    EXPECT_EQ(prepared(), 7u);
}

// The server drops the connection: the statement that finds out fails, the cached statements go with the old
// connection, and the next statement is prepared afresh on a new one.
TEST_F(MysqlParamsTest, LostConnectionTakesItsStatementsAlong) {
    const std::string body = R"({"sql":"select ? as a, connection_id() as id","params":[1],"types":"exact"})";
    const std::string first = post(body);
    const size_t at = first.find("\"id\":");
    ASSERT_NE(at, std::string::npos) << first;
    const std::string id = first.substr(at + 5, first.find('}', at) - at - 5);
    auto& server = testing::sharedMariadb();
    ASSERT_TRUE(server.execute("KILL CONNECTION " + id, nullptr, server.options().database))
        << server.error();
    const uint64_t before = pool_->statementsPrepared();
    const std::string lost = post(body);
    EXPECT_TRUE(lost.rfind(R"({"errcode":401,"errmsg":"2013：)", 0) == 0 ||
                lost.rfind(R"({"errcode":401,"errmsg":"2006：)", 0) == 0)
        << lost;
    const std::string again = post(body);
    EXPECT_EQ(again.rfind(R"({"errcode":200,"errmsg":"success","data":[{"a":1,"id":)", 0), 0u) << again;
    EXPECT_EQ(again.find("\"id\":" + id + "}"), std::string::npos) << again;  // a new connection
    EXPECT_EQ(pool_->statementsPrepared(), before + 1);
}

// Every column type answered by its real type, the same through the text protocol and the binary one.
TEST_F(MysqlParamsTest, ExactTypesForEveryColumnType) {
    ASSERT_EQ(sql("drop table if exists pe"), kSuccess);
    ASSERT_EQ(
        sql("create table pe (k int primary key, ti tinyint, si smallint, mi mediumint, i int, "
            "bi bigint, ub bigint unsigned, ut tinyint unsigned, de decimal(10,3), f float, "
            "db double, da date, dt datetime, dt6 datetime(6), ts timestamp null, tm time, tm3 time(3), "
            "y year, bt bit(12), ch char(3), vc varchar(10), tx text, bn binary(3), vb varbinary(10), "
            "bl blob, en enum('x','y'), st set('a','b'), js json) character set utf8mb4"),
        kSuccess);
    ASSERT_EQ(sql("insert into pe values (1, -128, -32768, -8388608, -2147483648, -9223372036854775808, "
                  "18446744073709551615, 255, -1234567.125, 1.5, 0.30000000000000004, '2024-05-01', "
                  "'2024-05-01 10:00:00', '2024-05-01 10:00:00.123456', '2024-05-01 10:00:00', "
                  "'-838:59:59', '12:34:56.789', 2024, b'101010101010', 'ab', '中文😀', 'text', "
                  "x'00ff10', x'0001', x'deadbeef', 'y', 'a,b', '{\"k\": [1, 2]}')"),
              kSuccess);
    ASSERT_EQ(sql("insert into pe (k) values (2)"), kSuccess);
    const std::string first =
        R"({"k":1,"ti":-128,"si":-32768,"mi":-8388608,"i":-2147483648,"bi":-9223372036854775808,)"
        R"("ub":18446744073709551615,"ut":255,"de":"-1234567.125","f":1.5,"db":0.30000000000000004,)"
        R"("da":"2024-05-01","dt":"2024-05-01 10:00:00","dt6":"2024-05-01 10:00:00.123456",)"
        R"("ts":"2024-05-01 10:00:00","tm":"-838:59:59","tm3":"12:34:56.789","y":2024,"bt":2730,)"
        R"("ch":"ab","vc":"中文😀","tx":"text","bn":"AP8Q","vb":"AAE=","bl":"3q2+7w==","en":"y",)"
        R"("st":"a,b","js":"{\"k\": [1, 2]}"})";
    const std::string second =
        R"({"k":2,"ti":null,"si":null,"mi":null,"i":null,"bi":null,"ub":null,"ut":null,"de":null,"f":null,)"
        R"("db":null,"da":null,"dt":null,"dt6":null,"ts":null,"tm":null,"tm3":null,"y":null,"bt":null,)"
        R"("ch":null,"vc":null,"tx":null,"bn":null,"vb":null,"bl":null,"en":null,"st":null,"js":null})";
    const std::string expected = rows("[" + first + "," + second + "]");
    EXPECT_EQ(post(R"({"sql":"select * from pe order by k","types":"exact"})"), expected);
    EXPECT_EQ(post(R"({"sql":"select * from pe where k >= ? order by k","params":[0],"types":"exact"})"),
              expected);
    EXPECT_EQ(post(R"({"sql":"select null as n, 1 + 1 as two, 'x' as s","types":"exact"})"),
              rows(R"([{"n":null,"two":2,"s":"x"}])"));
    // No rows: an empty array, whichever protocol.
    EXPECT_EQ(post(R"({"sql":"select * from pe where k < 0","types":"exact"})"), rows("[]"));
    EXPECT_EQ(post(R"({"sql":"select * from pe where k < ?","params":[0],"types":"exact"})"), rows("[]"));
}

// Without "types" a prepared statement answers by the rules of a plain one.
TEST_F(MysqlParamsTest, DefaultRulesWithoutExactTypes) {
    ASSERT_EQ(sql("drop table if exists pd"), kSuccess);
    ASSERT_EQ(sql("create table pd (k int primary key, t tinyint, ts timestamp null, dt datetime, "
                  "d decimal(5,2), f double, v varchar(5))"),
              kSuccess);
    ASSERT_EQ(
        sql("insert into pd values (1, 1, '2024-05-01 10:00:00', '2024-05-01 10:00:00', 1.50, 2.5, 'v'), "
            "(2, null, null, null, null, null, null)"),
        kSuccess);
    const std::string expected =
        rows(R"([{"k":1,"t":"1","ts":2024,"dt":"2024-05-01 10:00:00","d":"1.50","f":2.5,"v":"v"},)"
             R"({"k":2,"t":"","ts":0,"dt":"","d":"","f":0,"v":""}])");
    EXPECT_EQ(sql("select * from pd order by k"), expected);
    EXPECT_EQ(post(R"({"sql":"select * from pd where k > ? order by k","params":[0]})"), expected);
    EXPECT_EQ(post(R"({"sql":"select * from pd where k < ?","params":[0]})"), rows("{}"));
}

TEST_F(MysqlParamsTest, TaskStatementsBindTheirParams) {
    ASSERT_EQ(sql("create table if not exists ptask (k int primary key, v varchar(20))"), kSuccess);
    ASSERT_EQ(sql("delete from ptask"), kSuccess);
    SqlOutcome ran = runTaskSql(*pool_, "insert into ptask values (?, ?)", R"([7, "it's; fine"])");
    EXPECT_EQ(ran.status, SqlOutcome::Status::Done);
    SqlOutcome refused = runTaskSql(*pool_, "insert into ptask values (?, ?)", "[8]");
    EXPECT_EQ(refused.status, SqlOutcome::Status::Failed);
    EXPECT_EQ(refused.errorText, "params: 1 values for 2 placeholders");
    SqlOutcome duplicate = runTaskSql(*pool_, "insert into ptask values (?, ?)", R"([7, "again"])");
    EXPECT_EQ(duplicate.status, SqlOutcome::Status::Failed);
    EXPECT_EQ(duplicate.errorNumber, 1062);
    EXPECT_EQ(sql("select * from ptask"), rows(R"([{"k":7,"v":"it's; fine"}])"));
}

}  // namespace
}  // namespace kestrum
