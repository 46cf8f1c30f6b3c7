// The door with callers in use, in process on 127.0.0.1: credentials, rights, limits, reload, trusted proxies
// (X-Forwarded-For and the PROXY protocol) and client certificates, driven through real sockets.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "http/callers.h"
#include "http/credentials.h"
#include "http/door_rules.h"
#include "http/http_api_server.h"
#include "log/log_writer.h"
#include "support/http_client.h"
#include "support/kestrum_process.h"
#include "util/event_loops.h"
#include "util/ini.h"

namespace kestrum {
namespace {

using namespace std::chrono_literals;
using testing::HttpClient;
using testing::HttpHeaders;
using testing::RunDir;
using testing::TlsOptions;

const std::string kHost = "127.0.0.1";
const std::string kOldKey = "old-key-of-app1-AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";
const std::string kNewKey = "new-key-of-app1-BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB";
const std::string kFarKey = "key-of-far-CCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCC";
const std::string kSlowKey = "key-of-limited-DDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDD";
const std::string kNoBody =
    "\xEF\xBB\xBF"
    R"({"errcode":403,"errmsg":"no valid credentials"})";

HttpHeaders bearer(const std::string& key) {
    return {{"Authorization", "Bearer " + key}};
}

class DoorCallersTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        runDir_ = new RunDir();
        runDir_->installCertificates();
        log_ = new LogWriter();
        LogWriter::OpenOptions options;
        options.runDir = runDir_->path();
        options.fileName = "door-test.txt";
        log_->open(options);
        bindProcessLog(log_, true);
    }
    static void TearDownTestSuite() {
        unbindProcessLog();
        delete log_;
        delete runDir_;
    }

    void SetUp() override { ASSERT_TRUE(loops_.start()); }
    void TearDown() override {
        server_.releaseServers();
        for (auto& thread : later_)
            thread.join();
        loops_.stop();
    }

    // The callers every test starts from: app1 with a rotated key, far (only from 10.9.9.9), limited (one
    // request a minute and one in flight), cert (known by the test client certificate), cert2 (known by a
    // client certificate from the second CA, the one that verifies clients naming a host).
    std::string callersText() const {
        return "[app1]\nkey_sha256=" + sha256Hex(sha256(kOldKey)) + ", " + sha256Hex(sha256(kNewKey)) +
               "\nallow=mysql, redis.get, websocket\n"
               "[far]\nkey_sha256=" +
               sha256Hex(sha256(kFarKey)) +
               "\nallow=mysql\nfrom=10.9.9.9\n"
               "[limited]\nkey_sha256=" +
               sha256Hex(sha256(kSlowKey)) +
               "\nallow=mysql\nrate=0.016\nburst=2\nmax_in_flight=1\n"
               "[cert]\ncert_sha256=" +
               testing::certificateSha256Hex(certFile("client.crt")) +
               "\nallow=redis.get\n"
               "[cert2]\ncert_sha256=" +
               testing::certificateSha256Hex(certFile("client2.crt")) + "\nallow=redis.get\n";
    }
    std::shared_ptr<const CallerRules> callers(const std::string& text) const {
        CallerRules::LoadResult result = CallerRules::parse(IniFile::parse(text), kHost);
        EXPECT_EQ(result.status, CallerRules::LoadStatus::kLoaded)
            << (result.problems.empty() ? "" : result.problems.front().what);
        return result.rules;
    }

    RouteTable routes() {
        RouteTable table;
        table.heartbeatPath = "/api/this/heart";
        table.mysqlOn = true;
        table.mysqlPath = "/api/mysql";
        table.mysql = [this](RequestContext request, EndpointDone done) {
            std::string answer =
                "mysql caller(" + std::string(request.caller ? request.caller->name : "") + ")";
            if (request.body == "drop")  // the answer's way back is let go unused
                return;
            if (request.body == "slow") {
                std::lock_guard lock(laterMutex_);
                later_.emplace_back([done = std::move(done), answer] {
                    std::this_thread::sleep_for(1500ms);
                    done(answer);
                });
                return;
            }
            done(answer);
        };
        table.redisOn = true;
        table.redisPath = "/api/redis";
        table.redis = [](RequestContext request, EndpointDone done) {
            done("redis " + request.path + " caller(" +
                 std::string(request.caller ? request.caller->name : "") + ")");
        };
        table.door = door_;
        return table;
    }

    void start(bool proxyProtocol = false) {
        HttpSettings settings;
        settings.localAddress = kHost;
        settings.runDir = runDir_->path();
        settings.proxyProtocol = proxyProtocol;
        ASSERT_TRUE(server_.prepareServers(loops_, settings, routes()));
        ASSERT_EQ(server_.startListener(ServerKind::Http, 0), 1);
        ASSERT_EQ(server_.startListener(ServerKind::Https, 0), 1);
        httpPort_ = server_.listenPort(ServerKind::Http);
        httpsPort_ = server_.listenPort(ServerKind::Https);
    }
    void useRules(const std::string& whitelist, const std::string& proxies, bool withCallers = true) {
        door_->replace(
            makeDoorRules(whitelist, proxies, kHost, withCallers ? callers(callersText()) : nullptr));
    }

    static std::string certFile(const std::string& name) { return runDir_->path() + "/ssl-cert/" + name; }
    static std::string logText() {
        log_->flush();
        return testing::readFile(log_->filePath());
    }

    static RunDir* runDir_;
    static LogWriter* log_;
    std::shared_ptr<Door> door_ = std::make_shared<Door>();
    EventLoops loops_{2};
    std::mutex laterMutex_;
    std::vector<std::thread> later_;
    HttpApiServer server_;
    int httpPort_ = 0;
    int httpsPort_ = 0;
};

RunDir* DoorCallersTest::runDir_ = nullptr;
LogWriter* DoorCallersTest::log_ = nullptr;

TEST_F(DoorCallersTest, CredentialsAndRights) {
    useRules(kHost, "");
    start();
    struct Case {
        const char* name;
        HttpHeaders headers;
        const char* path;
        int status;
        std::string body;  // without the byte-order mark
    };
    const Case cases[] = {
        {"no credentials", {}, "/api/mysql", 401, ""},
        {"unknown key", bearer("not-a-known-key"), "/api/mysql", 401, ""},
        {"another scheme", {{"Authorization", "Basic YTpi"}}, "/api/mysql", 401, ""},
        {"old key of a rotation", bearer(kOldKey), "/api/mysql", 200, "mysql caller(app1)"},
        {"new key of a rotation", bearer(kNewKey), "/api/mysql", 200, "mysql caller(app1)"},
        {"right key from a wrong address", bearer(kFarKey), "/api/mysql", 401, ""},
        {"granted redis.get", bearer(kNewKey), "/api/redis/get", 200, "redis /api/redis/get caller(app1)"},
        {"missing right", bearer(kNewKey), "/api/redis/set", 403,
         R"({"errcode":403,"errmsg":"not allowed: redis.set"})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HttpClient client;
        ASSERT_TRUE(client.connect(kHost, httpPort_));
        auto reply = client.request("POST", c.path, "{}", c.headers, 5000ms);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, c.status);
        if (c.status == 401) {
            EXPECT_EQ(reply->header("WWW-Authenticate"), "Bearer realm=\"kestrum\"");
            EXPECT_EQ(reply->body, kNoBody);
        } else {
            EXPECT_EQ(reply->body, "\xEF\xBB\xBF" + c.body);
        }
    }
    // The heartbeat needs no key; unrouted paths still get nothing.
    HttpClient client;
    ASSERT_TRUE(client.connect(kHost, httpPort_));
    auto heart = client.request("GET", "/api/this/heart");
    ASSERT_TRUE(heart);
    EXPECT_EQ(heart->status, 200);
    EXPECT_FALSE(client.request("POST", "/api/nowhere", "{}", bearer(kNewKey), 500ms));

    // Keys never reach the log; the caller's name does.
    const std::string log = logText();
    for (const std::string* key : {&kOldKey, &kNewKey, &kFarKey})
        EXPECT_EQ(log.find(*key), std::string::npos);
    EXPECT_NE(log.find("caller(app1)"), std::string::npos);
}

// A WebSocket upgrade needs the right "websocket"; a refusal is the answer to the upgrade, then the
// connection closes.
TEST_F(DoorCallersTest, WebSocketUpgradeNeedsItsRight) {
    useRules(kHost, "");
    start();
    struct Case {
        const char* name;
        std::string authorization;
        int status;
    };
    const Case cases[] = {
        {"no credentials", "", 401},
        {"caller without the right", "Authorization: Bearer " + kSlowKey + "\r\n", 403},
        {"caller with the right", "Authorization: Bearer " + kNewKey + "\r\n", 101},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HttpClient client;
        ASSERT_TRUE(client.connect(kHost, httpPort_));
        ASSERT_TRUE(
            client.sendRaw("GET /echo HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" +
                           c.authorization + "\r\n"));
        auto reply = client.readResponse(5000ms);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, c.status);
        if (c.status != 101) {
            EXPECT_TRUE(client.waitClosed(5000ms));
        }
    }
}

// A key verified on a kept connection is not verified again, until the rules are replaced: a revoked key is
// refused from the next request on, on the same connection too.
TEST_F(DoorCallersTest, RevokedByReloadOnAKeptConnection) {
    useRules(kHost, "");
    start();
    HttpClient client;
    ASSERT_TRUE(client.connect(kHost, httpPort_));
    for (int i = 0; i < 3; ++i) {
        auto reply = client.request("POST", "/api/mysql", "{}", bearer(kOldKey));
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 200);
    }
    std::string text = callersText();
    const std::string oldHash = sha256Hex(sha256(kOldKey)) + ", ";
    text.erase(text.find(oldHash), oldHash.size());
    door_->replace(makeDoorRules(kHost, "", kHost, callers(text)));
    auto revoked = client.request("POST", "/api/mysql", "{}", bearer(kOldKey));
    ASSERT_TRUE(revoked);
    EXPECT_EQ(revoked->status, 401);
    auto current = client.request("POST", "/api/mysql", "{}", bearer(kNewKey));
    ASSERT_TRUE(current);
    EXPECT_EQ(current->status, 200);
}

TEST_F(DoorCallersTest, RateAndInFlightLimits) {
    useRules(kHost, "");
    start();
    // burst 2 at about one a minute: the third request at once is over the rate.
    HttpClient client;
    ASSERT_TRUE(client.connect(kHost, httpPort_));
    for (int i = 0; i < 2; ++i) {
        auto reply = client.request("POST", "/api/mysql", "{}", bearer(kSlowKey));
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 200) << i;
    }
    auto over = client.request("POST", "/api/mysql", "{}", bearer(kSlowKey));
    ASSERT_TRUE(over);
    EXPECT_EQ(over->status, 429);
    const int retryAfter = std::atoi(over->header("Retry-After").c_str());
    EXPECT_GE(retryAfter, 1);
    EXPECT_LE(retryAfter, 63);
    EXPECT_NE(over->body.find(R"("errcode":429)"), std::string::npos);

    // max_in_flight 1: a request while another is being served is refused (a fresh rate budget first).
    useRules(kHost, "");
    HttpClient slow;
    ASSERT_TRUE(slow.connect(kHost, httpPort_));
    ASSERT_TRUE(slow.sendRequest("POST", "/api/mysql", "slow", bearer(kSlowKey)));
    std::this_thread::sleep_for(300ms);
    HttpClient second;
    ASSERT_TRUE(second.connect(kHost, httpPort_));
    auto busy = second.request("POST", "/api/mysql", "{}", bearer(kSlowKey));
    ASSERT_TRUE(busy);
    EXPECT_EQ(busy->status, 429);
    EXPECT_EQ(busy->header("Retry-After"), "1");
    auto first = slow.readResponse(5000ms);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->status, 200);

    // A request whose answer is let go unused ends with its connection's close, and leaves the count too.
    useRules(kHost, "");
    HttpClient dropped;
    ASSERT_TRUE(dropped.connect(kHost, httpPort_));
    ASSERT_TRUE(dropped.sendRequest("POST", "/api/mysql", "drop", bearer(kSlowKey)));
    EXPECT_TRUE(dropped.waitClosed(3s));
    auto next = second.request("POST", "/api/mysql", "{}", bearer(kSlowKey));
    ASSERT_TRUE(next);
    EXPECT_EQ(next->status, 200);
}

// Behind a trusted proxy the client is the right-most X-Forwarded-For entry that is not a proxy; from
// anyone else the header means nothing.
TEST_F(DoorCallersTest, ForwardedForOnlyFromTrustedProxies) {
    // 127.0.0.1 is the balancer (not itself whitelisted), 127.0.0.2 a whitelisted direct client.
    door_->replace(makeDoorRules("192.0.2.1, 127.0.0.2", "127.0.0.1", kHost, nullptr));
    start();
    struct Case {
        const char* name;
        const char* source;
        HttpHeaders headers;
        bool served;
    };
    const Case cases[] = {
        {"client behind the proxy", "127.0.0.1", {{"X-Forwarded-For", "192.0.2.1"}}, true},
        {"proxy's own request", "127.0.0.1", {}, false},
        {"spoofed entry left of the real client",
         "127.0.0.1",
         {{"X-Forwarded-For", "192.0.2.1, 198.51.100.7"}},
         false},
        {"chain of trusted proxies", "127.0.0.1", {{"X-Forwarded-For", "192.0.2.1, 127.0.0.1"}}, true},
        {"entry with a port", "127.0.0.1", {{"X-Forwarded-For", "192.0.2.1:5000"}}, false},
        {"header from an untrusted peer is ignored",
         "127.0.0.2",
         {{"X-Forwarded-For", "198.51.100.7"}},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HttpClient client;
        client.setSourceAddress(c.source);
        ASSERT_TRUE(client.connect(kHost, httpPort_));
        auto reply = client.request("GET", "/api/this/heart", {}, c.headers, c.served ? 5000ms : 700ms);
        EXPECT_EQ(reply.has_value(), c.served);
    }
}

std::string proxyV2(const std::string& source) {
    std::string header("\r\n\r\n\0\r\nQUIT\n", 12);
    header += '\x21';  // version 2, PROXY
    header += '\x11';  // TCP over IPv4
    header += std::string("\0\x0C", 2);
    unsigned a, b, c, d;
    std::sscanf(source.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d);
    header += {static_cast<char>(a), static_cast<char>(b), static_cast<char>(c), static_cast<char>(d)};
    header += std::string("\x7F\0\0\x01", 4);
    header += std::string("\x13\x88\x00\x50", 4);
    return header;
}

TEST_F(DoorCallersTest, ProxyProtocolFromTrustedProxiesOnly) {
    door_->replace(makeDoorRules("192.0.2.1, 127.0.0.2", "127.0.0.1", kHost, nullptr));
    start(true);
    const std::string request = "GET /api/this/heart HTTP/1.1\r\nHost: x\r\n\r\n";
    struct Case {
        const char* name;
        const char* source;
        std::string bytes;
        bool served;
    };
    const Case cases[] = {
        {"v1 from the proxy", "127.0.0.1", "PROXY TCP4 192.0.2.1 127.0.0.1 5000 80\r\n" + request, true},
        {"v2 from the proxy", "127.0.0.1", proxyV2("192.0.2.1") + request, true},
        {"v1 naming a client outside the whitelist", "127.0.0.1",
         "PROXY TCP4 198.51.100.7 127.0.0.1 5000 80\r\n" + request, false},
        {"no header", "127.0.0.1", request, false},
        {"v1 from an untrusted peer", "127.0.0.2", "PROXY TCP4 192.0.2.1 127.0.0.1 5000 80\r\n" + request,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HttpClient client;
        client.setSourceAddress(c.source);
        // An untrusted peer is closed as it is accepted, sometimes before the connect completes.
        if (!client.connect(kHost, httpPort_)) {
            EXPECT_FALSE(c.served);
            continue;
        }
        client.sendRaw(c.bytes);
        auto reply = client.readResponse(c.served ? 5000ms : 700ms);
        EXPECT_EQ(reply.has_value(), c.served);
        if (reply) {
            EXPECT_EQ(reply->status, 200);
        }
    }
    // A header in pieces, the request right behind it in the same segment as its end.
    HttpClient client;
    ASSERT_TRUE(client.connect(kHost, httpPort_));
    client.sendRaw("PROXY TCP4 192.0.2.1 ");
    std::this_thread::sleep_for(100ms);
    client.sendRaw("127.0.0.1 5000 80\r\n" + request);
    auto reply = client.readResponse(5000ms);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
}

// On HTTPS a verified client certificate names its caller; one from another CA fails the handshake.
TEST_F(DoorCallersTest, ClientCertificates) {
    useRules(kHost, "");
    start();
    struct Case {
        const char* name;
        const char* serverName;  // a host name selects the second context, verified against ca2.crt
        const char* certificate;
        const char* path;
        bool handshake;
        int status;
        const char* caller;
    };
    const Case cases[] = {
        {"certificate from the CA, granted", "", "client", "/api/redis/get", true, 200, "cert"},
        {"certificate of a caller without the right", "", "client", "/api/mysql", true, 403, ""},
        {"no certificate", "", "", "/api/redis/get", true, 401, ""},
        {"certificate from another CA", "", "rogue-client", "/api/redis/get", false, 0, ""},
        {"second CA's certificate on the first context", "", "client2", "/api/redis/get", false, 0, ""},
        {"host named, certificate from the second CA", "localhost", "client2", "/api/redis/get", true, 200,
         "cert2"},
        {"host named, no certificate", "localhost", "", "/api/redis/get", true, 401, ""},
        {"host named, first CA's certificate", "localhost", "client", "/api/redis/get", false, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TlsOptions options;
        options.serverName = c.serverName;
        if (*c.certificate != '\0') {
            options.certificate = certFile(std::string(c.certificate) + ".crt");
            options.privateKey = certFile(std::string(c.certificate) + ".key");
        }
        HttpClient client;
        const bool connected = client.connectTls(kHost, httpsPort_, options, 5000ms);
        std::optional<testing::HttpReply> reply;
        if (connected)
            reply = client.request("POST", c.path, "{}", {}, 5000ms);
        if (!c.handshake) {
            EXPECT_FALSE(reply);
            continue;
        }
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, c.status);
        if (c.status == 200) {
            EXPECT_EQ(reply->body, "\xEF\xBB\xBFredis /api/redis/get caller(" + std::string(c.caller) + ")");
            EXPECT_EQ(client.peerCommonName(), *c.serverName ? "kestrum-sni" : "kestrum-default");
        }
    }
}

// HTTPS through a TCP balancer that speaks the PROXY protocol: the header comes before the TLS handshake, the
// client's certificate still names its caller end to end, and the whitelist judges the carried address (a
// client outside it is closed before the handshake).
TEST_F(DoorCallersTest, ClientCertificatesThroughProxyProtocol) {
    useRules("192.0.2.1", "127.0.0.1");
    start(true);
    struct Case {
        const char* name;
        std::string preface;
        const char* certificate;
        bool served;
        int status;
    };
    const Case cases[] = {
        {"v1, certificate of a caller", "PROXY TCP4 192.0.2.1 127.0.0.1 5000 443\r\n", "client", true, 200},
        {"v2, certificate of a caller", proxyV2("192.0.2.1"), "client", true, 200},
        {"v1, no certificate", "PROXY TCP4 192.0.2.1 127.0.0.1 5000 443\r\n", "", true, 401},
        {"client outside the whitelist", "PROXY TCP4 198.51.100.7 127.0.0.1 5000 443\r\n", "client", false,
         0},
        {"no header", "", "client", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TlsOptions options;
        if (*c.certificate != '\0') {
            options.certificate = certFile(std::string(c.certificate) + ".crt");
            options.privateKey = certFile(std::string(c.certificate) + ".key");
        }
        HttpClient client;
        client.setTlsPreface(c.preface);
        std::optional<testing::HttpReply> reply;
        const auto begun = std::chrono::steady_clock::now();
        const bool connected = client.connectTls(kHost, httpsPort_, options, 5000ms);
        if (!c.served) {
            EXPECT_FALSE(connected);
            EXPECT_LT(std::chrono::steady_clock::now() - begun, 3000ms);  // closed, not left to time out
        }
        if (connected)
            reply = client.request("POST", "/api/redis/get", "{}", {}, c.served ? 5000ms : 700ms);
        EXPECT_EQ(reply.has_value(), c.served);
        if (reply) {
            EXPECT_EQ(reply->status, c.status);
            if (c.status == 200) {
                EXPECT_EQ(reply->body, "\xEF\xBB\xBFredis /api/redis/get caller(cert)");
            }
        }
    }
}

}  // namespace
}  // namespace kestrum
