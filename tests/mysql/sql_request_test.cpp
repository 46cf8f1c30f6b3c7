// Reading the body of an SQL call: statements, values, batches and their checks, before anything runs.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "json/json_document.h"
#include "mysql/sql_request.h"
#include "util/encoding.h"

namespace kestrum {
namespace {

struct Parsed {
    bool ok = false;
    SqlRequest request;
    std::string error;
};

Parsed parse(const std::string& utf8Body, size_t maxBatch = 100) {
    JsonDocument body;
    body.parse(utf8BytesToGbk(utf8Body));
    Parsed parsed;
    parsed.ok = parseSqlRequest(body, maxBatch, parsed.request, parsed.error);
    parsed.error = gbkToUtf8(parsed.error);
    return parsed;
}

TEST(SqlRequest, PlainStatementIsReadAsAlways) {
    for (const char* body : {R"({"sql":"select 1"})", R"({"sql":5})", "{}", "not json"}) {
        Parsed parsed = parse(body);
        ASSERT_TRUE(parsed.ok) << body << parsed.error;
        ASSERT_EQ(parsed.request.statements.size(), 1u);
        EXPECT_TRUE(parsed.request.plain()) << body;
    }
    EXPECT_EQ(parse(R"({"sql":5})").request.statements[0].text, "5");
    EXPECT_FALSE(parse(R"({"sql":"select 1","types":"exact"})").request.plain());
}

TEST(SqlRequest, ValuesBindByTheirJsonType) {
    Parsed parsed = parse(
        R"j({"sql":"insert into t values (?,?,?,?,?,?,?,?,?,?,?)","params":[)j"
        R"(-9223372036854775808, 9223372036854775807, 9223372036854775808,)"
        R"( 18446744073709551615, 1.5, 18446744073709551616, "中文 😀 'x'; drop", "", null, true, false]})");
    ASSERT_TRUE(parsed.ok) << parsed.error;
    const SqlStatement& statement = parsed.request.statements[0];
    ASSERT_TRUE(statement.prepared);
    ASSERT_EQ(statement.params.size(), 11u);
    using Kind = SqlParam::Kind;
    const auto& p = statement.params;
    EXPECT_EQ(p[0].kind, Kind::kInteger);
    EXPECT_EQ(p[0].integer, INT64_MIN);
    EXPECT_EQ(p[1].kind, Kind::kInteger);
    EXPECT_EQ(p[1].integer, INT64_MAX);
    EXPECT_EQ(p[2].kind, Kind::kUnsigned);
    EXPECT_EQ(static_cast<uint64_t>(p[2].integer), 9223372036854775808ull);
    EXPECT_EQ(p[3].kind, Kind::kUnsigned);
    EXPECT_EQ(static_cast<uint64_t>(p[3].integer), UINT64_MAX);
    EXPECT_EQ(p[4].kind, Kind::kDouble);
    EXPECT_EQ(p[4].number, 1.5);
    EXPECT_EQ(p[5].kind, Kind::kDouble);  // past every integer range
    EXPECT_EQ(p[5].number, 18446744073709551616.0);
    EXPECT_EQ(p[6].kind, Kind::kText);
    EXPECT_EQ(p[6].text, "中文 😀 'x'; drop");
    EXPECT_EQ(p[7].kind, Kind::kText);
    EXPECT_EQ(p[7].text, "");
    EXPECT_EQ(p[8].kind, Kind::kNull);
    EXPECT_EQ(p[9].kind, Kind::kInteger);
    EXPECT_EQ(p[9].integer, 1);
    EXPECT_EQ(p[10].integer, 0);
}

TEST(SqlRequest, RefusedBeforeAnythingRuns) {
    struct Case {
        std::string body;
        std::string error;
    } cases[] = {
        {R"({"sql":"select ?","params":[[1]]})", "params[0]: an array or object is no parameter value"},
        {R"({"sql":"select ?","params":[{"a":1}]})", "params[0]: an array or object is no parameter value"},
        {R"({"sql":"select ?","params":[abc]})", "params[0]: not a JSON value"},
        {R"({"sql":"select ?","params":5})", "params: an array of values is needed"},
        {R"({"sql":"select ?, ?","params":[1]})", "params: 1 values for 2 placeholders"},
        {R"({"sql":"select 1","params":[1]})", "params: 1 values for 0 placeholders"},
        {R"({"sql":"select 1","types":"loose"})", R"(types: only "exact" is known)"},
        {R"({"sql":"select 1","transaction":true})", "transaction: only a batch runs in a transaction"},
        {R"({"batch":[{"sql":"select 1"}],"transaction":"yes"})", "transaction: true or false is needed"},
        {R"({"batch":[]})", "batch: an array of statements is needed"},
        {R"({"batch":{"sql":"select 1"}})", "batch: an array of statements is needed"},
        {R"({"batch":[{"sql":"select 1"}],"sql":"select 2"})",
         "batch: sql and params belong inside its entries"},
        {R"({"batch":[{"sql":"select 1"},"select 2"]})", "batch[1]: an object with sql is needed"},
        {R"({"batch":[{"sql":"select 1"},{"params":[]}]})", "batch[1].sql: a statement text is needed"},
        // The third statement's mistake fails the whole batch before the first one runs.
        {R"j({"batch":[{"sql":"insert into t values (?)","params":[1]},{"sql":"select 1"},)j"
         R"j({"sql":"insert into t values (?)","params":[1,2]}],"transaction":true})j",
         "batch[2].params: 2 values for 1 placeholders"},
        {R"({"batch":[{"sql":"select 1"},{"sql":"select 2"},{"sql":"select 3"},{"sql":"select 4"}]})",
         "batch: 4 statements, more than max_batch(3)"},
        // In a batch a statement without values has no placeholders either.
        {R"({"batch":[{"sql":"select 1"},{"sql":"select ?"}]})",
         "batch[1].params: 0 values for 1 placeholders"},
    };
    for (const Case& c : cases) {
        Parsed parsed = parse(c.body, 3);
        EXPECT_FALSE(parsed.ok) << c.body;
        EXPECT_EQ(parsed.error, c.error) << c.body;
    }
}

TEST(SqlRequest, BatchInOrderWithItsTransactionFlag) {
    Parsed parsed = parse(R"j({"batch":[{"sql":"insert into t values (?)","params":["a"]},)j"
                          R"({"sql":"update t set n = 1"}],"transaction":true,"types":"exact"})");
    ASSERT_TRUE(parsed.ok) << parsed.error;
    const SqlRequest& request = parsed.request;
    EXPECT_TRUE(request.batch);
    EXPECT_TRUE(request.transaction);
    EXPECT_TRUE(request.exactTypes);
    ASSERT_EQ(request.statements.size(), 2u);
    EXPECT_TRUE(request.statements[0].prepared);
    EXPECT_EQ(request.statements[0].params[0].text, "a");
    EXPECT_FALSE(request.statements[1].prepared);  // no params: the text protocol, as a plain statement
    EXPECT_EQ(request.statements[1].text, "update t set n = 1");
    EXPECT_FALSE(parse(R"({"batch":[{"sql":"select 1"}],"transaction":false})").request.transaction);
}

TEST(SqlRequest, PlaceholdersOutsideStringsNamesAndComments) {
    struct Case {
        const char* sql;
        size_t count;
    } cases[] = {
        {"select ?", 1},
        {"select * from t where a = ? and b = ?", 2},
        {"select '?', \"?\", `?`", 0},
        {R"(select 'it''s ?', 'a\'?', "b\"?", `c``?`, ?)", 1},
        {"select ? -- ?\n, ?", 2},
        {"select ? # ?\n", 1},
        {"select 1--?", 1},  // "--" without a blank after it is two minus signs
        {"select ? /* ? */ , ?", 2},
        {"select /*! ? */ 1", 1},  // executable comment: its content runs
        {"select 'unterminated ?", 0},
        {"select ? /* unterminated ?", 1},
        {"", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(countPlaceholders(c.sql), c.count) << c.sql;
}

}  // namespace
}  // namespace kestrum
