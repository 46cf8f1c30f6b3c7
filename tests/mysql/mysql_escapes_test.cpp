// Statements as the common client libraries write them (escaped non-ASCII, surrogate pairs, escaped "<", ">"
// and "&"): what MariaDB holds must be the characters meant, and every answer, control characters included,
// must be JSON a strict parser accepts.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

#include "mysql_test_support.h"

namespace kestrum {
namespace {

using testing::postSql;

class MysqlEscapesTest : public ::testing::Test {
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
    }
    // Posts {"sql":"<statement>"} with the statement written exactly as given (escapes included) and reads
    // the answer with a strict JSON parser.
    static nlohmann::json post(const std::string& escapedStatement) {
        std::string envelope = postSql(*pool_, R"({"sql":")" + escapedStatement + R"("})");
        nlohmann::json answer = nlohmann::json::parse(envelope, nullptr, false);
        EXPECT_FALSE(answer.is_discarded()) << "not JSON: " << envelope;
        return answer;
    }

    static MysqlPool* pool_;
};

MysqlPool* MysqlEscapesTest::pool_ = nullptr;

TEST_F(MysqlEscapesTest, EscapedLiteralsReachTheDatabaseAsTheirCharacters) {
    nlohmann::json dropped = post("drop table if exists client_texts");
    ASSERT_EQ(dropped["errcode"], 200) << dropped.dump();
    ASSERT_EQ(post("create table client_texts (id int, v varchar(64)) character set utf8mb4")["errcode"],
              200);
    struct Case {
        const char* name;
        std::string literal;  // inside single quotes in the statement, as the client escaped it
        std::string held;     // hex of the UTF-8 bytes MariaDB holds
        std::string read;     // the value in the answer, UTF-8
    };
    const std::vector<Case> cases = {
        {"python", R"(\u4e2d\u6587)", "E4B8ADE69687", "\xE4\xB8\xAD\xE6\x96\x87"},
        {"php", R"(caf\u00e9 a\/b)", "636166C3A920612F62", "caf\xC3\xA9 a/b"},
        {"go", R"(\u003ctag\u003e \u0026)", "3C7461673E2026", "<tag> &"},
        {"surrogate pair", R"(\ud83d\ude00)", "F09F9880", "\xF0\x9F\x98\x80"},
        {"lone surrogates", R"(\udc00x\uD800)", "EFBFBD78EFBFBD",
         "\xEF\xBF\xBD"
         "x\xEF\xBF\xBD"},
    };
    int id = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ++id;
        nlohmann::json insert =
            post("insert into client_texts values (" + std::to_string(id) + ", '" + c.literal + "')");
        ASSERT_EQ(insert["errcode"], 200) << insert.dump();
        nlohmann::json select =
            post("select hex(v) as h, v from client_texts where id = " + std::to_string(id));
        ASSERT_EQ(select["errcode"], 200) << select.dump();
        EXPECT_EQ(select["data"][0]["h"], c.held);
        EXPECT_EQ(select["data"][0]["v"], c.read);
    }
    // An escaped "<" is a comparison, not text: the statement means what the client wrote.
    nlohmann::json compared =
        post(R"(select count(*) as n from client_texts where id \u003c 3 \u0026\u0026 id \u003e 0)");
    EXPECT_EQ(compared["data"][0]["n"], 2) << compared.dump();
    post("drop table client_texts");
}

TEST_F(MysqlEscapesTest, ControlCharactersInAnswersAreEscaped) {
    std::string envelope = postSql(
        *pool_,
        R"({"sql":"select char(7) as bell, concat('a', char(27), 'b', char(31)) as esc, 'x\ty' as tab"})");
    EXPECT_EQ(
        envelope,
        R"({"errcode":200,"errmsg":"success","data":[{"bell":"\u0007","esc":"a\u001bb\u001f","tab":"x\ty"}]})");
    nlohmann::json answer = nlohmann::json::parse(envelope, nullptr, false);
    ASSERT_FALSE(answer.is_discarded()) << envelope;
    EXPECT_EQ(answer["data"][0]["bell"], "\x07");
    EXPECT_EQ(answer["data"][0]["esc"],
              "a\x1b"
              "b\x1f");
}

// Awkward column values: every answer is JSON a strict parser accepts, and holds the exact value (every byte
// of text and binary values, all digits of integers). Bytes that are no UTF-8 become U+FFFD.
TEST_F(MysqlEscapesTest, AwkwardColumnValuesComeBackExactly) {
    using namespace std::string_literals;
    const std::string fffd = "\xEF\xBF\xBD";
    ASSERT_EQ(post("drop table if exists awkward")["errcode"], 200);
    ASSERT_EQ(
        post("create table awkward (id int primary key, u bigint unsigned, s bigint, i int, ui int unsigned, "
             "m mediumint unsigned, ts timestamp null, b1 bit(1), b16 bit(16), bl blob, bin varbinary(8), "
             "t text) character set utf8mb4")["errcode"],
        200);
    ASSERT_EQ(post("insert into awkward values "
                   "(1, 18446744073709551615, -9223372036854775808, -2147483648, 4294967295, 16777215, "
                   "'2024-05-01 10:00:00', b'1', b'0000000101000001', unhex('00FF41'), unhex('C3A900'), "
                   "concat('a', char(0), 'b')), "
                   "(2, 9223372036854775808, 9223372036854775807, 2147483647, 0, 0, null, b'0', b'0', '', "
                   "unhex('00'), concat(char(1), char(31), char(34), char(92), '/', char(127)))")["errcode"],
              200);
    ASSERT_EQ(post("insert into awkward (id) values (3)")["errcode"], 200);

    nlohmann::json answer = post("select u, s, i, ui, m, ts, b1, b16, bl, bin, t from awkward order by id");
    ASSERT_EQ(answer["errcode"], 200) << answer.dump();
    ASSERT_EQ(answer["data"].size(), 3u) << answer.dump();
    const nlohmann::json& first = answer["data"][0];
    EXPECT_EQ(first["u"].get<uint64_t>(), 18446744073709551615ull);
    EXPECT_EQ(first["s"].get<int64_t>(), INT64_MIN);
    EXPECT_EQ(first["i"], -2147483648);
    EXPECT_EQ(first["ui"], 4294967295u);
    EXPECT_EQ(first["m"], 16777215);
    EXPECT_EQ(first["ts"], 2024);  // a TIMESTAMP is still its year
    EXPECT_EQ(first["b1"], "\x01"s);
    EXPECT_EQ(first["b16"], "\x01"s + "A");
    EXPECT_EQ(first["bl"], "\0"s + fffd + "A");
    EXPECT_EQ(first["bin"], "\xC3\xA9\0"s);
    EXPECT_EQ(first["t"], "a\0b"s);
    const nlohmann::json& second = answer["data"][1];
    EXPECT_EQ(second["u"].get<uint64_t>(), 9223372036854775808ull);
    EXPECT_EQ(second["s"], INT64_MAX);
    EXPECT_EQ(second["i"], 2147483647);
    EXPECT_EQ(second["ts"], 0);
    EXPECT_EQ(second["b1"], "\0"s);
    EXPECT_EQ(second["b16"], "\0\0"s);
    EXPECT_EQ(second["bl"], "");
    EXPECT_EQ(second["bin"], "\0"s);
    EXPECT_EQ(second["t"], "\x01\x1f\"\\/\x7f"s);
    // SQL NULL: 0 in integer columns, "" in the others.
    EXPECT_EQ(answer["data"][2],
              nlohmann::json::parse(R"({"u":0,"s":0,"i":0,"ui":0,"m":0,"ts":0,"b1":"","b16":"",)"
                                    R"("bl":"","bin":"","t":""})"));
    // The digits as written, not as a double would round them.
    std::string text = postSql(*pool_, R"({"sql":"select u from awkward where id = 1"})");
    EXPECT_EQ(text, R"({"errcode":200,"errmsg":"success","data":[{"u":18446744073709551615}]})");
    text = postSql(*pool_, R"({"sql":"select t, b16 from awkward where id = 1"})");
    EXPECT_EQ(text, R"({"errcode":200,"errmsg":"success","data":[{"t":"a\u0000b","b16":"\u0001A"}]})");

    // Expressions, as the fault was first seen.
    struct Case {
        const char* sql;
        nlohmann::json value;
    };
    const std::vector<Case> cases = {
        {R"(select concat('a', char(0), 'b') as v)", "a\0b"s},
        {"select unhex('00FF41') as v", "\0"s + fffd + "A"},
        {"select char(0) as v", "\0"s},
        {"select b'1' as v", "\x01"s},
        {"select cast(18446744073709551615 as unsigned) as v", 18446744073709551615ull},
        {"select cast(-1 as unsigned) as v", 18446744073709551615ull},
        {"select -9223372036854775807 - 1 as v", INT64_MIN},
        {"select x'E4B8AD00E69687' as v", "\xE4\xB8\xAD\0\xE6\x96\x87"s},
    };
    for (const Case& c : cases) {
        nlohmann::json one = post(c.sql);
        EXPECT_EQ(one["data"][0]["v"], c.value) << c.sql << ": " << one.dump();
    }
    post("drop table awkward");
}

}  // namespace
}  // namespace kestrum
