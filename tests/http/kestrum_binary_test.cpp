// The HTTP service inside the real kestrum binary: start-up lines, heartbeat over both listeners and a port
// clash (a missing ssl-cert folder ending the process is a start-up test in tests/app).
#include <gtest/gtest.h>

#include "support/http_client.h"
#include "support/kestrum_process.h"

namespace kestrum {
namespace {

using namespace std::chrono_literals;
using testing::gb;
using testing::HttpClient;
using testing::KestrumProcess;
using testing::RunDir;

const std::string kHost = "127.0.0.1";

void writeConfig(const RunDir& dir, int httpPort, int httpsPort, const std::string& whitelist = "127.0.0.1") {
    dir.write("config.ini", "[sys]\r\nonDebug=1\r\nlocal_ip=127.0.0.1\r\nip_lookup_url=\r\nport_http=" +
                                std::to_string(httpPort) + "\r\nport_https=" + std::to_string(httpsPort) +
                                "\r\nwhitelist=" + whitelist + "\r\nidle_timeout=5\r\n");
    dir.switchModulesOff();
}

TEST(KestrumBinaryTest, HeartbeatOverHttpAndHttps) {
    RunDir dir;
    dir.installCertificates();
    int httpPort = testing::freePort();
    int httpsPort = testing::freePort();
    writeConfig(dir, httpPort, httpsPort);
    KestrumProcess process;
    ASSERT_TRUE(process.start(dir.path()));
    ASSERT_TRUE(
        process.waitForLog(dir, gb("server/https丨start success：port(") + std::to_string(httpsPort) + ")."));
    EXPECT_NE(dir.logText().find(gb("server/http丨prepare listen ：ip(127.0.0.1),port(") +
                                 std::to_string(httpPort)),
              std::string::npos);

    auto reply = testing::get(kHost, httpPort, "/api/this/heart?t=1");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(reply->body,
              "\xEF\xBB\xBF"
              "da da da ...");

    HttpClient tls;
    ASSERT_TRUE(tls.connectTls(kHost, httpsPort));
    EXPECT_EQ(tls.peerCommonName(), "kestrum-default");
    for (int i = 0; i < 2; ++i) {
        reply = tls.request("GET", "/api/this/heart");
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->body,
                  "\xEF\xBB\xBF"
                  "da da da ...");
    }
    // Not routed: logged as a request (debug on), not answered.
    HttpClient plain;
    ASSERT_TRUE(plain.connect(kHost, httpPort));
    ASSERT_TRUE(plain.sendRequest("GET", "/api/mysql"));
    EXPECT_FALSE(plain.readResponse(300ms));
    EXPECT_TRUE(process.waitForLog(dir, gb("type(GET),adress(/api/mysql),request line(/api/mysql)")));

    EXPECT_EQ(process.stop(), 0);
    std::string log = dir.logText();
    EXPECT_NE(log.find(gb("server/http丨shut down.")), std::string::npos);
    EXPECT_NE(log.find(gb("server/https丨shut down.")), std::string::npos);
}

TEST(KestrumBinaryTest, PortClashLogsStartFail) {
    RunDir dir;
    dir.installCertificates();
    int httpPort = testing::freePort();
    int httpsPort = testing::freePort();
    writeConfig(dir, httpPort, httpsPort);
    KestrumProcess first;
    ASSERT_TRUE(first.start(dir.path()));
    ASSERT_TRUE(first.waitForLog(dir, gb("server/https丨start success")));

    RunDir other;
    other.installCertificates();
    writeConfig(other, httpPort, testing::freePort());
    KestrumProcess second;
    ASSERT_TRUE(second.start(other.path()));
    EXPECT_TRUE(
        second.waitForLog(other, gb("server/http丨start fail：port(") + std::to_string(httpPort) + ")"));
    EXPECT_TRUE(second.waitForLog(other, gb("server/https丨start success")));
    EXPECT_EQ(second.stop(), 0);
    EXPECT_EQ(first.stop(), 0);
}

}  // namespace
}  // namespace kestrum
