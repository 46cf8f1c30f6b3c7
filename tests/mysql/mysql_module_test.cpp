// Module start from a run directory: configuration, log lines, route switch and keep-alive registration.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "log/log_writer.h"
#include "mysql/mysql_accounts.h"
#include "mysql/mysql_module.h"
#include "mysql_test_support.h"
#include "scheduler/registry_state.h"
#include "scheduler/task_registry.h"
#include "util/encoding.h"
#include "util/ini.h"

namespace kestrum {
namespace {

namespace fs = std::filesystem;

class MysqlModuleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrum-mysql-module-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        runDir_ = pattern;
        fs::create_directories(runDir_ + "/mod/mysql");
        LogWriter::OpenOptions options;
        options.runDir = runDir_;
        options.fileName = "run.log";
        options.lineTemplate = "[type]|[content]";
        log_.open(options);
        bindProcessLog(&log_, false);
    }
    void TearDown() override {
        unbindProcessLog();
        log_.close();
        fs::remove_all(runDir_);
    }
    void writeConfig(const std::string& sysLines) {
        std::ofstream(runDir_ + "/mod/mysql/config.ini") << "[sys]\n" << sysLines;
    }
    std::string logText() {
        log_.flush();
        std::ifstream in(log_.filePath(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return gbkToUtf8(text.str());
    }

    std::string runDir_;
    LogWriter log_;
};

TEST_F(MysqlModuleTest, NoConnectionsSwitchTheRouteOffButStillRegisterTheKeepAlive) {
    struct Case {
        std::string config;
        std::string figure;
        std::string apiPath;
    } cases[] = {
        {"connectSum=0\n", "0/0", "/api/mysql"},
        {"connectSum=\napi_url=/db\n", "0/", "/db"},  // empty means no connection
        {"connectSum=-3\napi_url=\n", "0/-3", ""},
    };
    for (const Case& c : cases) {
        writeConfig(c.config);
        MysqlPool pool(testing::testLoops());
        TaskRegistry registry(runDir_);
        MysqlModuleStatus status = startMysqlModule(pool, registry, runDir_);
        EXPECT_FALSE(status.routeOn) << c.config;
        EXPECT_EQ(status.connected, 0);
        EXPECT_EQ(status.configured, 0);
        EXPECT_EQ(status.poolText, c.figure);
        EXPECT_EQ(status.apiPath, c.apiPath);
        EXPECT_EQ(pool.clientCount(), 0);
        EXPECT_TRUE(registry.hasTask("mysqlPoolHeart"));
        EXPECT_EQ(registry.getText("mysqlPoolHeart.crontab"), "1 * * * * * mysqlPoolHeart");
        EXPECT_NE(logText().find("init/mysql|mysql pool connect success：" + c.figure + "\r\n"),
                  std::string::npos)
            << logText();
    }
}

TEST_F(MysqlModuleTest, OpensTheConfiguredConnectionsAndLogsTheStart) {
    ASSERT_TRUE(testing::mariadbReady());
    const auto& server = testing::sharedMariadb();
    writeConfig("connectSum=3\nadress=" + server.host() + "\nport=" + std::to_string(server.port()) +
                "\nuser=" + server.options().user + "\npassword=" + server.options().password +
                "\ndatabase=" + server.options().database + "\n");
    MysqlPool pool(testing::testLoops());
    TaskRegistry registry(runDir_);
    MysqlModuleStatus status = startMysqlModule(pool, registry, runDir_);
    EXPECT_TRUE(status.routeOn);
    EXPECT_EQ(status.connected, 3);
    EXPECT_EQ(status.configured, 3);
    EXPECT_EQ(status.poolText, "3/3");
    EXPECT_EQ(status.apiPath, "/api/mysql");
    EXPECT_EQ(logText(),
              "init/mysql|connect database...\r\n"
              "init/mysql|mysql pool connect success：3/3\r\n"
              "init/mysql|clock task add：name(mysql heart),time(60s).\r\n");
    EXPECT_EQ(pool.slotInfo(1).charset, "utf8mb4");

    // The registered keep-alive refreshes every slot (none was used yet) and writes its debug-only line.
    TaskCallback heart = registry.state()->callbackOf("mysqlPoolHeart");
    ASSERT_TRUE(heart);
    bindProcessLog(&log_, true);
    heart("mysqlPoolHeart", "1700000000000", 0);
    for (int k = 1; k <= 3; ++k)
        EXPECT_GT(pool.slotInfo(k).lastUsed, 0) << "slot " << k;
    EXPECT_NE(logText().find("init/mysql|mysql pool heart.\r\n"), std::string::npos);

    EXPECT_TRUE(runTaskStatement(pool, "create table if not exists task_runs (id int)"));
    EXPECT_TRUE(runTaskStatement(pool, "no such statement"));  // ran, the server refused it
    EXPECT_EQ(pool.idleCount(), 3u);
}

TEST_F(MysqlModuleTest, WrongPasswordOpensNothing) {
    ASSERT_TRUE(testing::mariadbReady());
    const auto& server = testing::sharedMariadb();
    writeConfig("connectSum=2\nadress=" + server.host() + "\nport=" + std::to_string(server.port()) +
                "\nuser=" + server.options().user + "\npassword=wrong\n");
    MysqlPool pool(testing::testLoops());
    TaskRegistry registry(runDir_);
    MysqlModuleStatus status = startMysqlModule(pool, registry, runDir_);
    EXPECT_FALSE(status.routeOn);
    EXPECT_EQ(status.poolText, "0/2");
    EXPECT_EQ(pool.clientCount(), 2);
}

TEST_F(MysqlModuleTest, HugeConnectSumIsClamped) {
    // Nothing listens on this address: every attempt is refused at once.
    writeConfig("connectSum=99999999999999\nadress=127.0.0.254\n");
    MysqlPool pool(testing::testLoops());
    TaskRegistry registry(runDir_);
    MysqlModuleStatus status = startMysqlModule(pool, registry, runDir_);
    EXPECT_EQ(status.configured, kMaxConnectSum);
    EXPECT_EQ(pool.clientCount(), kMaxConnectSum);
    EXPECT_EQ(status.poolText, "0/99999999999999");
}

TEST_F(MysqlModuleTest, ConnectTimeOutBoundsStartUpAgainstAHostThatNeverAnswers) {
    testing::SilentListener silent;
    ASSERT_TRUE(silent.listening());
    writeConfig("connectSum=2\nadress=" + silent.address() + "\nuser=u\npassword=p\nconnect_timeout=1\n");
    MysqlPool pool(testing::testLoops());
    TaskRegistry registry(runDir_);
    auto start = std::chrono::steady_clock::now();
    MysqlModuleStatus status = startMysqlModule(pool, registry, runDir_);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(status.poolText, "0/2");
    EXPECT_FALSE(status.routeOn);
    EXPECT_LT(took, std::chrono::seconds(8));  // about one second per connection, not forever
}

// An account takes the server and session settings of [sys] unless it names its own, but never [sys]'s
// account: its user, password and connection count are its own.
TEST(MysqlPoolSettingsTest, AccountSectionsFallBackOnSysForTheServerOnly) {
    const IniFile config = IniFile::parse(
        "[sys]\nconnectSum=7\nadress=10.0.0.1\nport=3307\nuser=main\npassword=pw\ndatabase=shop\n"
        "connect_timeout=4\nmax_answer=1000\n"
        "[account.reports]\nuser=reader\npassword=rpw\nconnectSum=2\n"
        "[account.archive]\nadress=10.0.0.2\nport=3308\ndatabase=old\nconnect_timeout=9\nmax_answer=50\n");
    const MysqlPoolSettings reports = readMysqlPoolSettings(config, "account.reports");
    EXPECT_EQ(reports.connectSum, "2");
    EXPECT_EQ(reports.configured, 2);
    EXPECT_EQ(reports.user, "reader");
    EXPECT_EQ(reports.password, "rpw");
    EXPECT_EQ(reports.host, "10.0.0.1");
    EXPECT_EQ(reports.port, 3307);
    EXPECT_EQ(reports.database, "shop");
    EXPECT_EQ(reports.connectTimeout, 4);
    EXPECT_EQ(reports.maxAnswer, 1000u);

    const MysqlPoolSettings archive = readMysqlPoolSettings(config, "account.archive");
    EXPECT_EQ(archive.connectSum, "5");
    EXPECT_EQ(archive.user, "");
    EXPECT_EQ(archive.password, "");
    EXPECT_EQ(archive.host, "10.0.0.2");
    EXPECT_EQ(archive.port, 3308);
    EXPECT_EQ(archive.database, "old");
    EXPECT_EQ(archive.connectTimeout, 9);
    EXPECT_EQ(archive.maxAnswer, 50u);

    EXPECT_EQ(mysqlAccountOfSection("account.reports"), "reports");
    EXPECT_EQ(mysqlAccountOfSection("Account.X"), "X");
    for (const char* other : {"sys", "account.", "account", "accounts.x"})
        EXPECT_EQ(mysqlAccountOfSection(other), "") << other;
}

}  // namespace
}  // namespace kestrum
