// Byte-level pieces of the HTTP service: reason phrases, whitelist loading, WebSocket framing and accept key,
// response serialisation, the answer envelope and the TLS stream's outcomes.
#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <functional>

#include "http/api_envelope.h"
#include "http/door_rules.h"
#include "http/http_api_server.h"
#include "http/http_server.h"
#include "http/tls_stream.h"
#include "http/websocket_codec.h"
#include "json/json_document.h"
#include "util/sync_map.h"

namespace kestrum {
namespace {

TEST(ReasonPhraseTest, TableAndUnknownCodes) {
    const std::pair<int, const char*> cases[] = {
        {100, "Continue"},
        {101, "Switching Protocols"},
        {200, "OK"},
        {302, "Move temporarily"},
        {306, "Switch Proxy"},
        {413, "Request Entity Too Large"},
        {425, "Unordered Collection"},
        {449, "Retry With"},
        {511, "Network Authentication Required"},
        {600, "Unparseable Response Headers"},
        {418, "***"},
        {0, "***"},
        {-1, "***"},
        {99, "***"},
        {601, "***"},
        {227, "***"},
    };
    for (const auto& [code, phrase] : cases) {
        SCOPED_TRACE(code);
        EXPECT_EQ(reasonPhrase(code), phrase);
    }
    int known = 0;
    for (int code = 0; code < 1000; ++code)
        known += reasonPhrase(code) != "***";
    EXPECT_EQ(known, 64);
}

// The whitelist and the trusted proxies as the door reads them: addresses, ranges and "localhost" in any mix
// of separators; an entry that is none of them admits nobody.
TEST(DoorRulesTest, AddressListsWithRangesAndLocalhost) {
    // "，" in the internal encoding is A3 AC.
    std::shared_ptr<const DoorRules> rules = makeDoorRules(
        "10.0.0.1,10.1.0.0/16\xA3\xAC"
        "10.0.0.3 localhost,,example.com",
        "192.0.2.0/30", "192.168.1.9", nullptr);
    for (const char* address : {"10.0.0.1", "10.1.255.7", "10.0.0.3", "192.168.1.9"}) {
        SCOPED_TRACE(address);
        EXPECT_TRUE(rules->whitelist.contains(std::string_view(address)));
    }
    for (const char* address : {"10.0.0.2", "10.2.0.1", "", "localhost", "example.com", "192.0.2.1"}) {
        SCOPED_TRACE(address);
        EXPECT_FALSE(rules->whitelist.contains(std::string_view(address)));
    }
    EXPECT_TRUE(rules->trustedProxies.contains(std::string_view("192.0.2.3")));
    EXPECT_FALSE(rules->trustedProxies.contains(std::string_view("192.0.2.4")));
    EXPECT_FALSE(rules->callersInUse());
    // An empty value admits nobody.
    EXPECT_TRUE(makeDoorRules("", "", "127.0.0.1", nullptr)->whitelist.empty());
}

// A reader sees a replacement at its next look, and keeps what it had until then.
TEST(DoorRulesTest, ViewFollowsReplacement) {
    Door door(makeDoorRules("10.0.0.1", "", "127.0.0.1", nullptr));
    DoorView view;
    const DoorRules* first = &view.rules(door);
    EXPECT_TRUE(first->whitelist.contains(std::string_view("10.0.0.1")));
    EXPECT_EQ(&view.rules(door), first);
    door.replace(makeDoorRules("10.0.0.2", "", "127.0.0.1", nullptr));
    const DoorRules& second = view.rules(door);
    EXPECT_FALSE(second.whitelist.contains(std::string_view("10.0.0.1")));
    EXPECT_TRUE(second.whitelist.contains(std::string_view("10.0.0.2")));
    door.replace(nullptr);
    EXPECT_TRUE(view.rules(door).whitelist.empty());
}

TEST(WebSocketCodecTest, AcceptKeyOfTheRfcExample) {
    EXPECT_EQ(webSocketAcceptKey("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    EXPECT_EQ(base64Encode(""), "");
    EXPECT_EQ(base64Encode("f"), "Zg==");
    EXPECT_EQ(base64Encode("foobar"), "Zm9vYmFy");
}

TEST(WebSocketCodecTest, RoundTripAtEveryLengthClassAndEverySplit) {
    for (size_t length : {size_t{0}, size_t{5}, size_t{125}, size_t{126}, size_t{65535}, size_t{65536}}) {
        for (bool masked : {false, true}) {
            SCOPED_TRACE(std::to_string(length) + (masked ? " masked" : ""));
            std::string payload(length, '\0');
            for (size_t i = 0; i < length; ++i)
                payload[i] = static_cast<char>(i * 7);
            std::string wire = encodeWsFrame(false, 5, 2, payload, masked, 0xA1B2C3D4);
            wire += "tail";
            WsFrame frame;
            size_t consumed = 0;
            ASSERT_EQ(parseWsFrame(wire, 1 << 20, frame, consumed), WsParseResult::kFrame);
            EXPECT_EQ(consumed, wire.size() - 4);
            EXPECT_FALSE(frame.fin);
            EXPECT_EQ(frame.rsv, 5);
            EXPECT_EQ(frame.opcode, 2);
            EXPECT_EQ(frame.masked, masked);
            EXPECT_EQ(frame.payload, payload);
            if (length <= 126) {
                // Any cut before the end of the frame asks for more and consumes nothing.
                for (size_t cut = 0; cut < consumed; ++cut) {
                    ASSERT_EQ(parseWsFrame(std::string_view(wire).substr(0, cut), 1 << 20, frame, consumed),
                              WsParseResult::kNeedMore)
                        << cut;
                    ASSERT_EQ(consumed, 0u);
                }
            }
        }
    }
}

TEST(WebSocketCodecTest, OversizedFrameIsRefusedFromItsHeaderAlone) {
    WsFrame frame;
    size_t consumed = 0;
    std::string header = encodeWsFrame(true, 0, 1, std::string(70000, 'x')).substr(0, 10);
    EXPECT_EQ(parseWsFrame(header, 65536, frame, consumed), WsParseResult::kTooLarge);
    // A 64-bit length far beyond memory.
    std::string huge = "\x82\x7F\x7F\xFF\xFF\xFF\xFF\xFF\xFF\xFF";
    EXPECT_EQ(parseWsFrame(huge, 16 << 20, frame, consumed), WsParseResult::kTooLarge);
}

// The serialised answer with its Date line taken out; the line itself must be the current IMF-fixdate.
std::string withoutDate(const std::string& bytes) {
    const size_t at = bytes.find("\r\nDate: ");
    if (at == std::string::npos)
        return "no Date line: " + bytes;
    const size_t end = bytes.find("\r\n", at + 2);
    const std::string value = bytes.substr(at + 8, end - at - 8);
    EXPECT_EQ(value.size(), 29u) << value;
    EXPECT_TRUE(value.ends_with(" GMT")) << value;
    return bytes.substr(0, at) + bytes.substr(end);
}

TEST(ResponseTest, SerialisedWithDateLengthAndConnectionHeader) {
    HttpResponse response;
    response.body = "abc";
    EXPECT_EQ(withoutDate(serializeResponse(response, {})),
              "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc");
    response.status = 418;
    response.headers = {{"X-A", "1"}};
    EXPECT_EQ(withoutDate(serializeResponse(response, "close")),
              "HTTP/1.1 418 ***\r\nX-A: 1\r\nContent-Length: 3\r\nConnection: close\r\n\r\nabc");
    HttpResponse upgrade;
    upgrade.status = 101;
    upgrade.withContentLength = false;
    EXPECT_EQ(withoutDate(serializeResponse(upgrade, {})), "HTTP/1.1 101 Switching Protocols\r\n\r\n");
}

TEST(ResponseTest, DateIsImfFixdateAndFollowsTheSecond) {
    const std::pair<std::time_t, const char*> cases[] = {
        {784111777, "Sun, 06 Nov 1994 08:49:37 GMT"},  // the example of RFC 9110
        {0, "Thu, 01 Jan 1970 00:00:00 GMT"},
        {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},
        {4102444799, "Thu, 31 Dec 2099 23:59:59 GMT"},
    };
    for (const auto& [second, text] : cases)
        EXPECT_EQ(httpDate(second), text);
    EXPECT_EQ(httpDate(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(httpDate(784111778), "Sun, 06 Nov 1994 08:49:38 GMT");
}

TEST(EnvelopeTest, MembersInOrderAndBodyEncoding) {
    EXPECT_EQ(buildEnvelope(), R"({"errcode":200,"errmsg":"success"})");
    EXPECT_EQ(buildEnvelope(501, "server busy."), R"({"errcode":501,"errmsg":"server busy."})");

    JsonDocument data;
    ASSERT_TRUE(data.parse(R"([{"id":1}])"));
    EXPECT_EQ(buildEnvelope(std::nullopt, std::nullopt, &data),
              R"({"errcode":200,"errmsg":"success","data":[{"id":1}]})");

    // "中文" in the internal encoding (D6 D0 CE C4) travels as UTF-8 after the byte-order mark.
    std::string body = envelopeBody(buildEnvelope(100, "\xD6\xD0\xCE\xC4"));
    EXPECT_EQ(body,
              "\xEF\xBB\xBF"
              R"({"errcode":100,"errmsg":")"
              "\xE4\xB8\xAD\xE6\x96\x87"
              R"("})");
    EXPECT_EQ(envelopeBody(""), "\xEF\xBB\xBF");
}

// An error some other code left in the thread's OpenSSL queue never decides a call's outcome: a session
// whose peer has sent nothing yet waits, whichever call asks.
TEST(TlsStreamTest, StaleQueuedErrorDoesNotFailAWaitingCall) {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    ASSERT_NE(context, nullptr);
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    {
        TlsStream stream(context, fds[0]);
        ASSERT_TRUE(stream.valid());
        char buffer[16];
        size_t bytes = 0;
        const struct {
            const char* call;
            std::function<TlsStatus()> run;
        } calls[] = {
            {"handshake", [&] { return stream.handshake(); }},
            {"read", [&] { return stream.read(buffer, sizeof buffer, bytes); }},
            {"write", [&] { return stream.write("x", 1, bytes); }},
        };
        for (const auto& call : calls) {
            SCOPED_TRACE(call.call);
            ERR_raise(ERR_LIB_USER, 1);  // left behind by someone else
            EXPECT_EQ(call.run(), TlsStatus::kWantRead);
        }
    }
    ERR_clear_error();
    ::close(fds[0]);
    ::close(fds[1]);
    SSL_CTX_free(context);
}

}  // namespace
}  // namespace kestrum
