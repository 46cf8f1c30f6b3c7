// callers.ini in the real binary: a SIGHUP puts a changed file in force at once, a broken one is refused
// whole and the old rules stay; keys reach neither the log nor the metrics page.
#include <gtest/gtest.h>

#include <csignal>

#include "http/credentials.h"
#include "support/http_client.h"
#include "support/kestrum_process.h"

namespace kestrum {
namespace {

using namespace std::chrono_literals;
using testing::gb;
using testing::KestrumProcess;
using testing::RunDir;

const std::string kHost = "127.0.0.1";
const std::string kFirstKey = "first-key-of-ops-AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";
const std::string kSecondKey = "second-key-of-ops-BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB";

int metricsStatus(int port, const std::string& key) {
    testing::HttpClient client;
    if (!client.connect(kHost, port))
        return 0;
    testing::HttpHeaders headers;
    if (!key.empty())
        headers.emplace_back("Authorization", "Bearer " + key);
    auto reply = client.request("GET", "/metrics", {}, headers, 5000ms);
    return reply ? reply->status : 0;
}

TEST(CallersReloadTest, SighupSwapsRulesAndKeepsThemWhenTheFileIsBroken) {
    RunDir dir;
    dir.installCertificates();
    const int port = testing::freePort();
    auto writeConfig = [&](const std::string& whitelist) {
        dir.write("config.ini",
                  "[sys]\nonDebug=1\nlocal_ip=127.0.0.1\nip_lookup_url=\nwhitelist=" + whitelist +
                      "\nmetrics_path=/metrics\nport_http=" + std::to_string(port) + "\n");
    };
    writeConfig("127.0.0.1");
    dir.switchModulesOff();
    dir.write("callers.ini", "[ops]\nkey_sha256=" + sha256Hex(sha256(kFirstKey)) + "\nallow=metrics\n");
    KestrumProcess process;
    ASSERT_TRUE(process.start(dir.path()));
    ASSERT_TRUE(process.waitForLog(dir, gb("server/http丨start success：port(")));

    EXPECT_EQ(metricsStatus(port, kFirstKey), 200);
    EXPECT_EQ(metricsStatus(port, ""), 401);
    EXPECT_EQ(metricsStatus(port, kSecondKey), 401);

    // Rotated: the first key is revoked, the second one takes over.
    // The whitelist is reloaded too, and not named as a key that needs a restart.
    writeConfig("127.0.0.1, 10.0.0.0/8");
    dir.write("callers.ini", "[ops]\nkey_sha256=" + sha256Hex(sha256(kSecondKey)) + "\nallow=metrics\n");
    ASSERT_EQ(::kill(process.pid(), SIGHUP), 0);
    ASSERT_TRUE(process.waitForLog(dir, gb("app/reload丨reload success：")));
    EXPECT_EQ(metricsStatus(port, kFirstKey), 401);
    EXPECT_EQ(metricsStatus(port, kSecondKey), 200);

    // A file with a problem is refused whole: one line names file, section and key; the rules stay.
    dir.write("callers.ini", "[ops]\nkey_sha256=" + sha256Hex(sha256(kFirstKey)) + "\nallow=metrix\n");
    ASSERT_EQ(::kill(process.pid(), SIGHUP), 0);
    ASSERT_TRUE(process.waitForLog(dir, gb("app/reload丨reload refused：callers.ini: [ops] allow=metrix: ")));
    EXPECT_EQ(metricsStatus(port, kSecondKey), 200);
    EXPECT_EQ(metricsStatus(port, kFirstKey), 401);

    // Keys are never written anywhere; the caller's name is.
    testing::HttpClient client;
    ASSERT_TRUE(client.connect(kHost, port));
    auto page = client.request("GET", "/metrics", {}, {{"Authorization", "Bearer " + kSecondKey}}, 5000ms);
    ASSERT_TRUE(page);
    EXPECT_EQ(process.stop(), 0);
    const std::string log = dir.logText();
    for (const std::string* key : {&kFirstKey, &kSecondKey}) {
        EXPECT_EQ(log.find(*key), std::string::npos);
        EXPECT_EQ(page->body.find(*key), std::string::npos);
    }
    EXPECT_NE(log.find("caller(ops)"), std::string::npos);
    EXPECT_EQ(log.find("key(config.ini [sys] whitelist)"), std::string::npos);
    EXPECT_NE(log.find("reload" + gb("：") + "SIGHUP."), std::string::npos);
    // With callers in use the requests counter has a caller label; the four refusals named nobody.
    EXPECT_NE(page->body.find(R"(kestrum_requests_total{endpoint="none",errcode="other",caller=""} 4)"),
              std::string::npos)
        << page->body;
}

// Clients that name a host are asked for a certificate (verified against ca2.crt) once a caller is known by
// one: a reload that adds such a caller makes the new handshakes ask, without a restart.
TEST(CallersReloadTest, SighupMakesHostNamingClientsShowTheCertificateOfANewCaller) {
    RunDir dir;
    dir.installCertificates();
    const int port = testing::freePort();
    dir.write("config.ini",
              "[sys]\nonDebug=1\nlocal_ip=127.0.0.1\nip_lookup_url=\nwhitelist=127.0.0.1\n"
              "metrics_path=/metrics\nport_https=" +
                  std::to_string(port) + "\n");
    dir.switchModulesOff();
    const std::string ops = "[ops]\nkey_sha256=" + sha256Hex(sha256(kFirstKey)) + "\nallow=metrics\n";
    dir.write("callers.ini", ops);
    KestrumProcess process;
    ASSERT_TRUE(process.start(dir.path()));
    ASSERT_TRUE(process.waitForLog(dir, gb("server/https丨start success：port(")));

    testing::TlsOptions named;
    named.serverName = "localhost";
    named.certificate = dir.path() + "/ssl-cert/client2.crt";
    named.privateKey = dir.path() + "/ssl-cert/client2.key";
    auto metricsOverTls = [&] {
        testing::HttpClient client;
        if (!client.connectTls(kHost, port, named, 5000ms))
            return 0;
        auto reply = client.request("GET", "/metrics", {}, {}, 5000ms);
        return reply ? reply->status : 0;
    };
    EXPECT_EQ(metricsOverTls(), 401);  // not asked, so not shown

    dir.write("callers.ini", ops + "[monitor]\ncert_sha256=" +
                                 testing::certificateSha256Hex(named.certificate) + "\nallow=metrics\n");
    ASSERT_EQ(::kill(process.pid(), SIGHUP), 0);
    ASSERT_TRUE(process.waitForLog(dir, gb("server/https丨tls reload：context(sni)")));
    EXPECT_EQ(metricsOverTls(), 200);
    EXPECT_EQ(process.stop(), 0);
    EXPECT_NE(dir.logText().find("caller(monitor)"), std::string::npos);
}

}  // namespace
}  // namespace kestrum
