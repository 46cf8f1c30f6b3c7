// config.ini max_connections: connections beyond the limit are closed at accept without an answer, one log
// line when refusing starts and one with the count when connections are taken again.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <thread>
#include <vector>

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

TEST(ConnectionLimitTest, ConnectionsBeyondTheLimitAreClosedUntilThereIsRoomAgain) {
    RunDir dir;
    dir.installCertificates();
    const int port = testing::freePort();
    dir.write("config.ini", "[sys]\r\nlocal_ip=127.0.0.1\r\nip_lookup_url=\r\nport_http=" +
                                std::to_string(port) + "\r\nwhitelist=127.0.0.1\r\nmax_connections=3\r\n");
    for (const char* module : {"mysql", "redis", "crontab"})
        dir.write(std::string("mod/") + module + "/config.ini", "[sys]\r\non=0\r\n");
    KestrumProcess process;
    ASSERT_TRUE(process.start(dir.path()));
    ASSERT_TRUE(process.waitForLog(dir, gb("start success：port(") + std::to_string(port) + ")."));

    std::vector<std::unique_ptr<HttpClient>> held;
    for (int i = 0; i < 3; ++i) {
        held.push_back(std::make_unique<HttpClient>());
        ASSERT_TRUE(held.back()->connect(kHost, port));
        auto reply = held.back()->request("GET", "/api/this/heart");  // each is open on the server now
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 200);
    }
    for (int i = 0; i < 3; ++i) {
        HttpClient refused;
        ASSERT_TRUE(refused.connect(kHost, port));  // the kernel accepts; kestrum closes at once
        refused.sendRequest("GET", "/api/this/heart");
        EXPECT_TRUE(refused.waitClosed(2s));
    }
    // The connections that were in are served on.
    for (auto& client : held) {
        auto reply = client->request("GET", "/api/this/heart");
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 200);
    }
    held.pop_back();
    std::optional<testing::HttpReply> reply;
    for (int attempt = 0; attempt < 50 && !reply; ++attempt) {
        reply = testing::get(kHost, port, "/api/this/heart", 1s);
        if (!reply)
            std::this_thread::sleep_for(20ms);  // the closed one may take a moment to go
    }
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    // Three refused, and perhaps a retry above that came before the closed one had gone.
    ASSERT_TRUE(process.waitForLog(dir, gb("connection limit left：refused("))) << dir.logText();
    const std::string log = dir.logText();
    const std::string reached =
        gb("server丨connection limit reached：max_connections(3),new connections are closed.");
    EXPECT_NE(log.find(reached), std::string::npos) << log;
    EXPECT_EQ(log.find(reached), log.rfind(reached));  // once per burst
    EXPECT_EQ(process.stop(), 0);
}

}  // namespace
}  // namespace kestrum
