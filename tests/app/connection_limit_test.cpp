// config.ini max_connections: connections beyond the limit are closed at accept without an answer, one log
// line when refusing starts and one with the count when connections are taken again. Connections from
// outside the whitelist are closed before that and never take a share of the limit, the memory or the log.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <future>
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

void writeRunDir(const RunDir& dir, int port, int maxConnections) {
    dir.installCertificates();
    dir.write("config.ini",
              "[sys]\r\nlocal_ip=127.0.0.1\r\nip_lookup_url=\r\nport_http=" + std::to_string(port) +
                  "\r\nwhitelist=127.0.0.1\r\nmax_connections=" + std::to_string(maxConnections) + "\r\n");
    for (const char* module : {"mysql", "redis", "crontab"})
        dir.write(std::string("mod/") + module + "/config.ini", "[sys]\r\non=0\r\n");
}

// Resident memory of a process in KiB (0 when unknown).
long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return 0;
}

TEST(ConnectionLimitTest, ConnectionsBeyondTheLimitAreClosedUntilThereIsRoomAgain) {
    RunDir dir;
    const int port = testing::freePort();
    writeRunDir(dir, port, 3);
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

// Callers from 127.0.0.2 (the whitelist holds 127.0.0.1) sending 15 MiB bodies, then holding silent,
// trickling and cycling connections past max_connections: the server's memory stays where it was, the
// whitelisted caller is served at once all along, and the log sums the strangers up instead of writing a line
// for each.
TEST(ConnectionLimitTest, StrangersTakeNeitherConnectionsNorMemoryNorLogLines) {
    RunDir dir;
    const int port = testing::freePort();
    writeRunDir(dir, port, 50);
    KestrumProcess process;
    ASSERT_TRUE(process.start(dir.path()));
    ASSERT_TRUE(process.waitForLog(dir, gb("start success：port(") + std::to_string(port) + ")."));
    auto served = [&] {
        auto reply = testing::get(kHost, port, "/api/this/heart", 2s);
        return reply && reply->status == 200;
    };
    ASSERT_TRUE(served());
    auto stranger = [&] {
        auto client = std::make_unique<HttpClient>();
        client->setSourceAddress("127.0.0.2");
        client->connect(kHost, port);  // may already fail: the server resets a stranger at once
        return client;
    };
    int strangers = 0;

    // The largest resident size while the bodies are on their way (a server that took them in would hold
    // hundreds of MiB, if only until each request is complete).
    const long rssBefore = residentKiB(process.pid());
    ASSERT_GT(rssBefore, 0);
    std::atomic<bool> sending{true};
    std::atomic<long> rssPeak{rssBefore};
    std::thread sampler([&] {
        while (sending) {
            rssPeak = std::max(rssPeak.load(), residentKiB(process.pid()));
            std::this_thread::sleep_for(5ms);
        }
    });
    const std::string body(15 << 20, 'x');
    const std::string head =
        "POST /api/mysql HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    std::vector<std::future<void>> senders;
    for (int i = 0; i < 40; ++i, ++strangers) {
        senders.push_back(std::async(std::launch::async, [&] {
            auto client = stranger();
            if (client->sendRaw(head))
                client->sendRaw(body);
        }));
    }
    EXPECT_TRUE(served());
    for (auto& sender : senders)
        sender.get();
    sending = false;
    sampler.join();
    EXPECT_LT(rssPeak - rssBefore, 32 * 1024) << "before " << rssBefore << " KiB, peak " << rssPeak << " KiB";

    std::vector<std::unique_ptr<HttpClient>> held;
    for (int i = 0; i < 60; ++i, ++strangers)
        held.push_back(stranger());
    for (int i = 0; i < 10; ++i, ++strangers) {
        held.push_back(stranger());
        held.back()->sendRaw("GET /api/this/heart HTTP/1.1\r\nHo");  // the start of a trickle
    }
    EXPECT_TRUE(served());
    for (int i = 0; i < 300; ++i, ++strangers)
        stranger();  // connect and go, over and over
    EXPECT_TRUE(served());
    held.clear();

    EXPECT_EQ(process.stop(), 0);
    const std::string log = dir.logText();
    // Nothing counted against max_connections, no line per stranger: the first one's line at once, the
    // rest summed up within the minute (and at the latest when the server stops).
    EXPECT_EQ(log.find(gb("connection limit reached")), std::string::npos) << log;
    const std::string marker = gb("server丨not in whitelist：closed(");
    int lines = 0;
    long counted = 0;
    for (size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1)) {
        ++lines;
        counted += std::stol(log.substr(at + marker.size()));
    }
    EXPECT_GE(lines, 1);
    EXPECT_LE(lines, 3) << log;
    // Every stranger that was still there when its turn came is counted (one that left first may not be).
    EXPECT_GE(counted, 100);
    EXPECT_LE(counted, strangers);
    int mentions = 0;
    for (size_t at = log.find("127.0.0.2"); at != std::string::npos; at = log.find("127.0.0.2", at + 1))
        ++mentions;
    EXPECT_EQ(mentions, lines) << log;
}

}  // namespace
}  // namespace kestrum
