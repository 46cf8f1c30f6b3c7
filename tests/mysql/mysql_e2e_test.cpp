// The SQL endpoint through the real kestrum binary over loopback HTTP.
#include <gtest/gtest.h>

#include <string>

#include "mysql_test_support.h"
#include "support/http_client.h"
#include "support/kestrum_process.h"

namespace kestrum {
namespace {

using testing::gb;
using testing::KestrumProcess;
using testing::RunDir;

const std::string kBom = "\xEF\xBB\xBF";

// A run directory with the HTTP listener on a free port and only the MySQL module on.
int prepareRunDir(const RunDir& dir, const std::string& mysqlConfig) {
    int port = testing::freePort();
    dir.installCertificates();
    dir.write("config.ini",
              "[sys]\nport_http=" + std::to_string(port) + "\nlocal_ip=127.0.0.1\nwhitelist=127.0.0.1\n");
    dir.write("mod/mysql/config.ini", "[sys]\n" + mysqlConfig);
    dir.write("mod/redis/config.ini", "[sys]\non=0\n");
    dir.write("mod/crontab/config.ini", "[sys]\non=0\n");
    return port;
}

TEST(MysqlEndToEndTest, PostedStatementsAnswerEnvelopesOverHttp) {
    ASSERT_TRUE(testing::mariadbReady());
    const auto& server = testing::sharedMariadb();
    RunDir dir;
    int port =
        prepareRunDir(dir, "connectSum=2\nadress=" + server.host() + "\nuser=" + server.options().user +
                               "\npassword=" + server.options().password +
                               "\ndatabase=" + server.options().database + "\napi_url=/api/db\n");
    KestrumProcess kestrum;
    ASSERT_TRUE(kestrum.start(dir.path()));
    ASSERT_TRUE(kestrum.waitForLog(dir, gb("start success：port("))) << dir.logText();

    auto reply =
        testing::post("127.0.0.1", port, "/api/db/any", R"({"sql":"SELECT 'été 😀' AS `名`, 2 AS n"})");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(reply->body, kBom + R"({"errcode":200,"errmsg":"success","data":[{"名":"été 😀","n":2}]})");

    reply = testing::post("127.0.0.1", port, "/api/db", R"({"sql":"drop table no_such_table"})");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(reply->body,
              kBom + R"({"errcode":401,"errmsg":"1051：Unknown table 'kestrum_test.no_such_table'"})");

    EXPECT_TRUE(kestrum.waitForLog(dir, gb("mysql丨sql：SELECT 'été 😀' AS `名`, 2 AS n")));
    EXPECT_NE(dir.logText().find(gb("init/mysql丨mysql pool connect success：2/2")), std::string::npos);
    EXPECT_EQ(kestrum.stop(), 0);
}

TEST(MysqlEndToEndTest, NoOpenConnectionMeansNoAnswer) {
    RunDir dir;
    int port = prepareRunDir(dir, "connectSum=0\n");
    KestrumProcess kestrum;
    ASSERT_TRUE(kestrum.start(dir.path()));
    ASSERT_TRUE(kestrum.waitForLog(dir, gb("start success：port("))) << dir.logText();
    EXPECT_FALSE(testing::post("127.0.0.1", port, "/api/mysql", R"({"sql":"select 1"})",
                               testing::HttpClient::Ms(700)));
    EXPECT_TRUE(testing::get("127.0.0.1", port, "/api/this/heart"));  // the server itself answers
    EXPECT_EQ(kestrum.stop(), 0);
}

}  // namespace
}  // namespace kestrum
