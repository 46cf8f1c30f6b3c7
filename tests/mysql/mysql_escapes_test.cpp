// Statements as the common client libraries write them (escaped non-ASCII, surrogate pairs, escaped "<", ">"
// and "&"): what MariaDB holds must be the characters meant, and every answer, control characters included,
// must be JSON a strict parser accepts.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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

}  // namespace
}  // namespace kestrum
