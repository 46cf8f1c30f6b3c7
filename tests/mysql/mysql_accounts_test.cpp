// Callers bound to MySQL accounts of their own, through the real binary: the server's grants decide what a
// caller's statements may do, a caller whose account pool has no connection never falls back on the main
// pool, and an account named only by a reload has no pool until a restart.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "http/credentials.h"
#include "mysql_test_support.h"
#include "support/http_client.h"
#include "support/kestrum_process.h"

namespace kestrum {
namespace {

using namespace std::chrono_literals;
using testing::gb;
using testing::KestrumProcess;
using testing::RunDir;

const std::string kBom = "\xEF\xBB\xBF";
const std::string kHost = "127.0.0.1";
const std::string kReportsKey = "reports-key-CCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCC";
const std::string kWriterKey = "writer-key-DDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDD";
const std::string kLostKey = "lost-key-EEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEE";
const std::string kLateKey = "late-key-FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF";

std::string callerSection(const std::string& name, const std::string& key, const std::string& account) {
    return "[" + name + "]\nkey_sha256=" + sha256Hex(sha256(key)) + "\nallow=mysql\n" +
           (account.empty() ? "" : "mysql_account=" + account + "\n");
}

// The body of the answer to a request body, byte-order mark removed; "<no answer>" when none came.
std::string postBodyAs(int port, const std::string& key, const std::string& body) {
    testing::HttpClient client;
    if (!client.connect(kHost, port))
        return "<no connection>";
    auto reply = client.request("POST", "/api/mysql", body, {{"Authorization", "Bearer " + key}}, 20000ms);
    if (!reply)
        return "<no answer>";
    std::string answer = reply->body;
    if (answer.compare(0, kBom.size(), kBom) == 0)
        answer.erase(0, kBom.size());
    return answer;
}

std::string postAs(int port, const std::string& key, const std::string& sql) {
    return postBodyAs(port, key, R"({"sql":")" + sql + R"("})");
}

TEST(MysqlAccountsTest, CallersRunOnTheirOwnAccountsPool) {
    ASSERT_TRUE(testing::mariadbReady());
    auto& server = testing::sharedMariadb();
    ASSERT_TRUE(
        server.execute("CREATE TABLE IF NOT EXISTS account_notes (n INT);"
                       "CREATE USER IF NOT EXISTS 'kestrum_reader'@'%' IDENTIFIED BY 'reader-pw';"
                       "GRANT SELECT ON " +
                           server.options().database + ".* TO 'kestrum_reader'@'%';",
                       nullptr, server.options().database))
        << server.error();

    RunDir dir;
    dir.installCertificates();
    const int port = testing::freePort();
    dir.write("config.ini",
              "[sys]\nport_http=" + std::to_string(port) +
                  "\nlocal_ip=127.0.0.1\nip_lookup_url=\nwhitelist=127.0.0.1\nready_path=/ready\n");
    dir.switchModulesOff();
    const std::string mysqlConfig =
        "[sys]\nconnectSum=1\nadress=" + server.host() + "\nport=" + std::to_string(server.port()) +
        "\nuser=" + server.options().user + "\npassword=" + server.options().password +
        "\ndatabase=" + server.options().database +
        "\n[account.reporting]\nuser=kestrum_reader\npassword=reader-pw\nconnectSum=2\n"
        // The server refuses this one: its pool opens with no connection.
        "[account.broken]\nuser=kestrum_reader\npassword=not-the-password\nconnectSum=1\n";
    dir.write("mod/mysql/config.ini", mysqlConfig);
    const std::string callers = callerSection("reports", kReportsKey, "reporting") +
                                callerSection("writer", kWriterKey, "") +
                                callerSection("lost", kLostKey, "broken");
    dir.write("callers.ini", callers);

    KestrumProcess process;
    ASSERT_TRUE(process.start(dir.path()));
    ASSERT_TRUE(process.waitForLog(dir, gb("server/http丨start success：port("), 30s)) << dir.logText();
    const std::string startLog = dir.logText();
    EXPECT_NE(
        startLog.find(gb("init/mysql丨mysql account pool connect success：account(reporting),pool(2/2).")),
        std::string::npos)
        << startLog;
    EXPECT_NE(startLog.find(gb("init/mysql丨mysql account pool connect success：account(broken),pool(0/1).")),
              std::string::npos);

    // The read-only account: reading works, writing is refused by the server's own grants.
    EXPECT_EQ(postAs(port, kReportsKey, "SELECT SUBSTRING_INDEX(CURRENT_USER(), '@', 1) AS u"),
              R"({"errcode":200,"errmsg":"success","data":[{"u":"kestrum_reader"}]})");
    const std::string refused = postAs(port, kReportsKey, "INSERT INTO account_notes VALUES (1)");
    EXPECT_EQ(
        refused.rfind(R"({"errcode":401,"errmsg":"1142：INSERT command denied to user 'kestrum_reader'@)", 0),
        0u)
        << refused;
    // A batch runs on the caller's account too: its grants refuse the write, and the batch fails there.
    const std::string batch = postBodyAs(
        port, kReportsKey,
        R"j({"batch":[{"sql":"select count(*) as n from account_notes where n = ?","params":[-1]},)j"
        R"j({"sql":"insert into account_notes values (?)","params":[3]}],"transaction":true})j");
    EXPECT_EQ(
        batch.rfind(
            R"({"errcode":401,"errmsg":"batch[1]：1142：INSERT command denied to user 'kestrum_reader'@)", 0),
        0u)
        << batch;
    // A caller without an account uses the main pool, which may write.
    EXPECT_EQ(postAs(port, kWriterKey, "INSERT INTO account_notes VALUES (2)"),
              R"({"errcode":200,"errmsg":"success"})");
    EXPECT_EQ(postAs(port, kWriterKey, "SELECT SUBSTRING_INDEX(CURRENT_USER(), '@', 1) AS u"),
              R"({"errcode":200,"errmsg":"success","data":[{"u":")" + server.options().user + R"("}]})");
    // An account pool with no connection answers as such a pool does, and never lends the main pool.
    EXPECT_EQ(postAs(port, kLostKey, "SELECT 1 AS n"), R"({"errcode":501,"errmsg":"server busy."})");

    // Readiness counts every pool.
    {
        testing::HttpClient client;
        ASSERT_TRUE(client.connect(kHost, port));
        auto ready = client.request("GET", "/ready", {}, {}, 20000ms);
        ASSERT_TRUE(ready);
        EXPECT_NE(ready->body.find("mysql account(broken): 0 of 1 connections usable"), std::string::npos)
            << ready->body;
        EXPECT_EQ(ready->body.find("reporting"), std::string::npos) << ready->body;
    }

    // A reload may name an account that got no pool at start-up: that caller's statements fail until a
    // restart, and the reload says so once.
    dir.write("mod/mysql/config.ini",
              mysqlConfig + "[account.later]\nuser=kestrum_reader\npassword=reader-pw\n");
    dir.write("callers.ini", callers + callerSection("late", kLateKey, "later"));
    ASSERT_EQ(::kill(process.pid(), SIGHUP), 0);
    ASSERT_TRUE(process.waitForLog(dir, gb("app/reload丨reload success：")));
    EXPECT_NE(
        dir.logText().find(gb("app/reload丨mysql account without pool：callers(late(later)),their mysql "
                              "requests fail until a restart.")),
        std::string::npos);
    EXPECT_EQ(postAs(port, kLateKey, "SELECT 1 AS n"),
              R"({"errcode":501,"errmsg":"mysql account later has no pool: a restart opens it."})");
    EXPECT_EQ(postAs(port, kReportsKey, "SELECT 1 AS n"),
              R"({"errcode":200,"errmsg":"success","data":[{"n":1}]})");
    EXPECT_EQ(process.stop(), 0);
}

}  // namespace
}  // namespace kestrum
