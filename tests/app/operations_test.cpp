// The real binary as an operator runs it for months: readiness apart from the heartbeat, the drain on
// SIGTERM, and SIGHUP reloading the TLS files and the task files.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <thread>

#include "support/http_client.h"
#include "support/kestrum_process.h"
#include "support/redis_server.h"

namespace kestrum {
namespace {

using namespace std::chrono_literals;
using testing::gb;
using testing::HttpClient;
using testing::KestrumProcess;
using testing::RunDir;

const std::string kBom = "\xEF\xBB\xBF";

std::string mainConfig(int httpPort, const std::string& more = {}) {
    return "[sys]\nlocal_ip=127.0.0.1\nwhitelist=127.0.0.1\nport_http=" + std::to_string(httpPort) +
           "\nready_path=/ready\n" + more;
}

// Asks for readiness until the answer has `status` (the outcome of a probe is kept for a second).
std::optional<testing::HttpReply> readinessUntil(int port, int status, std::chrono::seconds limit = 20s) {
    std::optional<testing::HttpReply> reply;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        reply = testing::get("127.0.0.1", port, "/ready");
        if (reply && reply->status == status)
            return reply;
        std::this_thread::sleep_for(200ms);
    }
    return reply;
}

class OperationsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir.installCertificates();
        dir.switchModulesOff();
    }
    bool startRedis() {
        if (redis.running())
            return true;
        return redis.start();
    }
    void redisModule(const std::string& dbsum = "0=2\n") {
        dir.write("mod/redis/config.ini",
                  "[sys]\non=1\nport=" + std::to_string(redis.port()) + "\n[dbsum]\n" + dbsum);
    }

    RunDir dir;
    KestrumProcess kestrum;
    testing::RedisServer redis;
    const int port = testing::freePort();
};

TEST_F(OperationsTest, ReadinessFollowsTheBackEndDownAndUpWhileTheHeartbeatStaysAlive) {
    ASSERT_TRUE(startRedis()) << redis.error();
    redisModule();
    // A MySQL module that is on but reaches no server is down, not absent.
    dir.write("mod/mysql/config.ini", "[sys]\non=1\nconnectSum=2\nadress=127.0.0.1\nport=" +
                                          std::to_string(testing::freePort()) + "\nconnect_timeout=1\n");
    dir.write("config.ini", mainConfig(port));
    ASSERT_TRUE(kestrum.start(dir.path()));
    ASSERT_TRUE(kestrum.waitForOutput("http: http://127.0.0.1:" + std::to_string(port))) << kestrum.output();

    auto down = readinessUntil(port, 503);
    ASSERT_TRUE(down);
    EXPECT_EQ(down->status, 503);
    EXPECT_EQ(down->reason, "Service Unavailable");
    EXPECT_EQ(down->body, kBom + R"({"errcode":503,"errmsg":"mysql: 0 of 2 connections usable"})");
    EXPECT_FALSE(down->header("Date").empty());
    EXPECT_EQ(kestrum.stop(), 0);

    // Without MySQL: ready, then Redis goes away and comes back on the same port.
    dir.write("mod/mysql/config.ini", "[sys]\non=0\n");
    KestrumProcess second;
    ASSERT_TRUE(second.start(dir.path()));
    ASSERT_TRUE(second.waitForOutput("http: http://127.0.0.1:" + std::to_string(port))) << second.output();
    auto ready = readinessUntil(port, 200);
    ASSERT_TRUE(ready);
    EXPECT_EQ(ready->status, 200);
    EXPECT_EQ(ready->body, kBom + R"({"errcode":200,"errmsg":"ready"})");

    ASSERT_TRUE(redis.killServer());
    down = readinessUntil(port, 503);
    ASSERT_TRUE(down);
    EXPECT_EQ(down->status, 503);
    EXPECT_NE(down->body.find(R"("errmsg":"redis db(0): no usable connection)"), std::string::npos)
        << down->body;
    // Liveness is not readiness: the heartbeat still answers.
    auto heart = testing::get("127.0.0.1", port, "/api/this/heart");
    ASSERT_TRUE(heart);
    EXPECT_EQ(heart->status, 200);

    ASSERT_TRUE(redis.startServer()) << redis.error();
    ready = readinessUntil(port, 200);
    ASSERT_TRUE(ready);
    EXPECT_EQ(ready->status, 200);

    // Whitelisted like the heartbeat: a stranger gets nothing.
    HttpClient stranger;
    stranger.setSourceAddress("127.0.0.2");
    if (stranger.connect("127.0.0.1", port)) {
        EXPECT_FALSE(stranger.request("GET", "/ready", {}, {}, 700ms));
    }
    EXPECT_EQ(second.stop(), 0);
    // The probes write no log line of their own.
    EXPECT_EQ(dir.logText().find("/ready"), std::string::npos);
}

TEST_F(OperationsTest, DrainKeepsServingWithReadinessDownAndAnswersTheRequestInFlight) {
    ASSERT_TRUE(startRedis()) << redis.error();
    redisModule();
    dir.write("config.ini", mainConfig(port, "drain_seconds=2\n"));
    ASSERT_TRUE(kestrum.start(dir.path()));
    ASSERT_TRUE(kestrum.waitForOutput("http: http://127.0.0.1:" + std::to_string(port))) << kestrum.output();
    ASSERT_TRUE(readinessUntil(port, 200));

    // A request in flight when SIGTERM comes: a blocking pop that waits a second for its (absent) list.
    HttpClient inFlight;
    ASSERT_TRUE(inFlight.connect("127.0.0.1", port));
    ASSERT_TRUE(inFlight.sendRequest("POST", "/api/redis/order", R"({"db":0,"order":"BLPOP nothing 1"})"));
    std::this_thread::sleep_for(200ms);
    const auto signalled = std::chrono::steady_clock::now();
    ASSERT_EQ(::kill(kestrum.pid(), SIGTERM), 0);

    auto notReady = readinessUntil(port, 503, 5s);
    ASSERT_TRUE(notReady);
    EXPECT_EQ(notReady->body, kBom + R"({"errcode":503,"errmsg":"shutting down"})");
    // New connections are still served while the drain lasts.
    auto heart = testing::get("127.0.0.1", port, "/api/this/heart");
    ASSERT_TRUE(heart);
    EXPECT_EQ(heart->status, 200);
    auto answer = inFlight.readResponse(5000ms);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
    EXPECT_NE(answer->body.find(R"("errcode":200)"), std::string::npos) << answer->body;

    EXPECT_EQ(kestrum.waitExit(20s), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - signalled, 1900ms);
    const std::string log = dir.logText();
    const size_t drain = log.find("app/end" + gb("丨drain：seconds(2),not ready from now on."));
    EXPECT_NE(drain, std::string::npos) << log;
    EXPECT_LT(drain, log.find("server/http" + gb("丨shut down.")));
}

TEST_F(OperationsTest, SecondSignalCutsTheDrainShort) {
    dir.write("config.ini", mainConfig(port, "drain_seconds=600\n"));
    ASSERT_TRUE(kestrum.start(dir.path()));
    ASSERT_TRUE(kestrum.waitForOutput("http: http://127.0.0.1:" + std::to_string(port))) << kestrum.output();
    ASSERT_EQ(::kill(kestrum.pid(), SIGTERM), 0);
    ASSERT_TRUE(readinessUntil(port, 503, 5s));
    EXPECT_EQ(kestrum.stop(SIGINT, 15s), 0);
    EXPECT_NE(dir.logText().find("app/end" + gb("丨will be free.")), std::string::npos);
}

// A fresh self-signed certificate with its key encrypted with `password`, written over `name`.cer/.key.
void renewCertificate(const RunDir& dir, const std::string& name, const std::string& password,
                      const std::string& serial) {
    const std::string base = dir.path() + "/ssl-cert/" + name;
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -days 2 -subj "
        "/CN=renewed.kestrum.test -set_serial " +
        serial + " -passout pass:" + password + " -keyout '" + base + ".key' -out '" + base +
        ".cer' >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
}

TEST_F(OperationsTest, ReloadSwapsTheCertificateForNewHandshakesOnlyAndKeepsItWhenTheNewKeyIsBroken) {
    const int httpsPort = testing::freePort();
    dir.write("config.ini", "[sys]\nlocal_ip=127.0.0.1\nwhitelist=127.0.0.1\nport_https=" +
                                std::to_string(httpsPort) + "\n");
    ASSERT_TRUE(kestrum.start(dir.path()));
    ASSERT_TRUE(kestrum.waitForOutput("https: https://127.0.0.1:")) << kestrum.output();

    HttpClient before;
    ASSERT_TRUE(before.connectTls("127.0.0.1", httpsPort));
    const std::string oldSerial = before.peerSerial();
    ASSERT_FALSE(oldSerial.empty());
    ASSERT_NE(oldSerial, "424242");
    auto first = before.request("GET", "/api/this/heart");
    ASSERT_TRUE(first);

    renewCertificate(dir, "server", "740391", "424242");
    ASSERT_EQ(::kill(kestrum.pid(), SIGHUP), 0);
    ASSERT_TRUE(kestrum.waitForLog(dir, gb("tls reload：context(default)")));
    HttpClient after;
    ASSERT_TRUE(after.connectTls("127.0.0.1", httpsPort));
    EXPECT_EQ(after.peerSerial(), "424242");
    EXPECT_EQ(after.peerCommonName(), "renewed.kestrum.test");
    EXPECT_TRUE(after.request("GET", "/api/this/heart"));
    // The connection made before the reload keeps its certificate and goes on.
    auto again = before.request("GET", "/api/this/heart");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 200);
    EXPECT_EQ(before.peerSerial(), oldSerial);

    // A key that does not load: the certificate in service stays.
    dir.write("ssl-cert/server.key", "not a key\n");
    ASSERT_EQ(::kill(kestrum.pid(), SIGHUP), 0);
    ASSERT_TRUE(kestrum.waitForLog(dir, gb("tls reload fail：context(default),reason(")));
    HttpClient broken;
    ASSERT_TRUE(broken.connectTls("127.0.0.1", httpsPort));
    EXPECT_EQ(broken.peerSerial(), "424242");
    EXPECT_TRUE(broken.request("GET", "/api/this/heart"));
    // Clients that name a host get the second context, reloaded from its own unchanged files.
    HttpClient named;
    testing::TlsOptions sni;
    sni.serverName = "api.example";
    ASSERT_TRUE(named.connectTls("127.0.0.1", httpsPort, sni));
    EXPECT_NE(named.peerSerial(), "424242");
    EXPECT_EQ(kestrum.stop(), 0);
    const std::string log = dir.logText();
    EXPECT_NE(log.find(gb("server/https丨tls reload fail：context(default),reason(")), std::string::npos);
    EXPECT_NE(log.find(gb("),the old certificate stays.")), std::string::npos);
}

TEST_F(OperationsTest, ReloadTakesTaskFilesInAndNamesKeysThatNeedARestart) {
    dir.write("mod/crontab/config.ini", "[sys]\non=1\n");
    // Never due within the test: only the registry changes.
    dir.write("mod/crontab/tasks/kept.ini", "[sys]\ntime=0 0 3 1 1 *\n[info]\non=0\n");
    dir.write("mod/crontab/tasks/gone.ini", "[sys]\ntime=0 0 3 1 1 *\n[info]\non=0\n");
    dir.write("config.ini", mainConfig(port));
    ASSERT_TRUE(kestrum.start(dir.path()));
    ASSERT_TRUE(kestrum.waitForOutput("crontab task sum: 2\n")) << kestrum.output();
    ASSERT_TRUE(kestrum.waitForOutput("http: http://127.0.0.1:")) << kestrum.output();

    dir.write("mod/crontab/tasks/added.ini", "[sys]\ntime=0 0 4 1 1 *\n[info]\non=0\n");
    dir.write("mod/crontab/tasks/kept.ini", "[sys]\ntime=0 0 5 1 1 *\n[info]\non=0\n");
    std::remove((dir.path() + "/mod/crontab/tasks/gone.ini").c_str());
    dir.write("config.ini", mainConfig(port, "port_https=1\n"));
    ASSERT_EQ(::kill(kestrum.pid(), SIGHUP), 0);
    ASSERT_TRUE(kestrum.waitForLog(dir, gb("task file removed：name(gone)."))) << dir.logText();
    EXPECT_EQ(kestrum.stop(), 0);

    const std::string log = dir.logText();
    for (const char* line :
         {"app/reload丨reload：SIGHUP.", "app/reload丨restart needed：key(config.ini [sys] port_https).",
          "crontab丨task file added：name(added).", "crontab丨task file changed：name(kept).",
          "crontab丨task file removed：name(gone)."}) {
        EXPECT_NE(log.find(gb(line)), std::string::npos) << line << "\n" << log;
    }
    // One line per change: the registry's own add and delete lines are not written besides.
    EXPECT_EQ(log.find(gb("add task：")), std::string::npos);
    EXPECT_EQ(log.find(gb("del task：")), std::string::npos);
    EXPECT_NE(kestrum.output().find("crontab task sum: 3\n"), std::string::npos) << kestrum.output();
    EXPECT_NE(kestrum.output().rfind("crontab task sum: 2\n"),
              kestrum.output().find("crontab task sum: 2\n"));
}

}  // namespace
}  // namespace kestrum
