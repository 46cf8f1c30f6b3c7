// The WebSocket echo of the real binary under a real client library (Python websockets, as Debian ships it):
// its keep-alive pings must be answered, and a close handshake must end cleanly on both listeners.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/kestrum_process.h"

namespace kestrum {
namespace {

using testing::gb;
using testing::KestrumProcess;
using testing::RunDir;

const char* const kPython = "/usr/bin/python3";

// Connects to every URL given at once. Each connection: an echo of text and bytes, an explicit ping, then
// idle past several of the library's keep-alive pings (an unanswered one fails the connection with 1011),
// another echo, and a close with code 1000. One line per URL: "<url> ok <code received> <code of the
// connection>" or "<url> failed <what happened>".
const char* const kClientScript = R"PY(
import asyncio, ssl, sys
import websockets

async def session(url):
    context = None
    if url.startswith("wss:"):
        context = ssl.create_default_context()
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
    try:
        async with websockets.connect(url, ssl=context, ping_interval=0.5, ping_timeout=2,
                                      close_timeout=10, open_timeout=20) as ws:
            await ws.send("hello \u4e2d\u6587")
            assert await asyncio.wait_for(ws.recv(), 10) == "hello \u4e2d\u6587"
            await ws.send(b"\x00\x01\xff")
            assert await asyncio.wait_for(ws.recv(), 10) == b"\x00\x01\xff"
            await asyncio.wait_for(await ws.ping(b"are you there"), 10)
            await asyncio.sleep(3)
            await ws.send("still here")
            assert await asyncio.wait_for(ws.recv(), 10) == "still here"
            await ws.close(code=1000, reason="done")
        received = ws.close_rcvd.code if ws.close_rcvd else None
        return "%s ok %s %s" % (url, received, ws.close_code)
    except Exception as error:
        return "%s failed %r" % (url, error)

async def main(urls):
    for line in await asyncio.gather(*(session(url) for url in urls)):
        print(line, flush=True)

asyncio.run(main(sys.argv[1:]))
)PY";

bool websocketsInstalled() {
    std::string command = std::string(kPython) + " -c 'import websockets' >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

// Runs `command` and returns its standard output (standard error goes along).
std::string capture(const std::string& command) {
    std::string out;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return out;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), pipe)) > 0)
        out.append(buffer, got);
    pclose(pipe);
    return out;
}

TEST(WebSocketClientLibrary, KeepAlivePingsAndCloseHandshakeOnBothListeners) {
    if (!websocketsInstalled())
        GTEST_SKIP() << "python3-websockets is not installed";
    RunDir dir;
    dir.installCertificates();
    const int httpPort = testing::freePort();
    const int httpsPort = testing::freePort();
    // The idle time-out is far above the client's quiet spells.
    dir.write("config.ini",
              "[sys]\nlocal_ip=127.0.0.1\nwhitelist=127.0.0.1\nport_http=" + std::to_string(httpPort) +
                  "\nport_https=" + std::to_string(httpsPort) + "\nidle_timeout=60\n");
    dir.switchModulesOff();
    dir.write("ws_client.py", kClientScript);
    KestrumProcess kestrum;
    ASSERT_TRUE(kestrum.start(dir.path()));
    ASSERT_TRUE(
        kestrum.waitForLog(dir, gb("server/https丨start success：port(") + std::to_string(httpsPort) + ")."))
        << dir.logText();

    const std::string ws = "ws://127.0.0.1:" + std::to_string(httpPort) + "/echo";
    const std::string wss = "wss://127.0.0.1:" + std::to_string(httpsPort) + "/any/path";
    const std::string output =
        capture("timeout 120 " + std::string(kPython) + " " + dir.path() + "/ws_client.py " + ws + " " + wss);
    // Both sides sent 1000: the close came back, so the connection closed cleanly (not 1006 or 1011).
    EXPECT_NE(output.find(ws + " ok 1000 1000\n"), std::string::npos) << output;
    EXPECT_NE(output.find(wss + " ok 1000 1000\n"), std::string::npos) << output;
    EXPECT_EQ(kestrum.stop(), 0);
}

}  // namespace
}  // namespace kestrum
