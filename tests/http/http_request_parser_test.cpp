// The request parser on its own: a table of client streams, each fed whole, cut in two at every byte and
// byte by byte; every way of feeding must give the same requests and the same end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/http_request_parser.h"

namespace kestrum {
namespace {

using Status = HttpRequestParser::Status;

// One request in a line: "METHOD URL | path | flags | name=value;... | body".
std::string describe(const HttpRequest& request) {
    std::string text = request.method + " " + request.url + " | " + request.path + " |";
    if (request.keepAlive)
        text += " keep-alive";
    if (request.http10)
        text += " 1.0";
    if (request.upgrade)
        text += " upgrade";
    text += " |";
    for (const auto& [name, value] : request.headers)
        text += " " + name + "=" + value + ";";
    return text + " | " + request.body;
}

struct Outcome {
    std::vector<std::string> events;  // requests and interim answers, in order
    Status end = Status::kNeedMore;
    UpgradeKind upgradeKind = UpgradeKind::kOther;
    std::string rest;  // after an upgrade: the bytes that follow it
};

// Feeds `input` in pieces ending at `cuts` (ascending, the last one input.size()) the way a connection does:
// bytes the parser did not take are kept and offered again, ahead of the next piece.
Outcome run(const std::string& input, const std::vector<size_t>& cuts, size_t maxBody,
            size_t maxHeaderBytes) {
    HttpRequestParser parser(maxBody, maxHeaderBytes);
    Outcome outcome;
    std::string pending;
    size_t from = 0;
    for (size_t cut : cuts) {
        pending.append(input, from, cut - from);
        from = cut;
        for (;;) {
            HttpRequestParser::Result result = parser.feed(pending.data(), pending.size());
            EXPECT_LE(result.used, pending.size());
            pending.erase(0, result.used);
            if (parser.takeContinue())
                outcome.events.push_back("100 Continue");
            if (result.status == Status::kRequest) {
                outcome.events.push_back(describe(parser.takeRequest()));
                continue;
            }
            if (result.status == Status::kNeedMore) {
                EXPECT_TRUE(pending.empty());
                break;
            }
            outcome.end = result.status;
            if (result.status == Status::kUpgrade) {
                outcome.events.push_back(describe(parser.takeRequest()));
                outcome.upgradeKind = parser.upgradeKind();
                outcome.rest = pending + input.substr(from);
            }
            // The stream is over: nothing more is taken.
            EXPECT_EQ(parser.feed(input.data(), input.size()).used, 0u);
            EXPECT_EQ(parser.feed(input.data(), input.size()).status, result.status);
            return outcome;
        }
    }
    return outcome;
}

void expectSame(const Outcome& actual, const Outcome& expected) {
    EXPECT_EQ(actual.events, expected.events);
    EXPECT_EQ(actual.end, expected.end);
    EXPECT_EQ(actual.upgradeKind, expected.upgradeKind);
    EXPECT_EQ(actual.rest, expected.rest);
}

struct Case {
    const char* name;
    std::string input;
    std::vector<std::string> events{};
    Status end = Status::kNeedMore;
    UpgradeKind upgradeKind = UpgradeKind::kOther;
    std::string rest{};
    size_t maxBody = 64;
    size_t maxHeaderBytes = kMaxHeaderBytes;
};

const std::vector<Case>& cases() {
    static const std::vector<Case> table = {
        {.name = "get with query",
         .input = "GET /api/this/heart?x=1#top HTTP/1.1\r\nHost: a\r\n\r\n",
         .events = {"GET /api/this/heart?x=1#top | /api/this/heart | keep-alive | Host=a; | "}},
        {.name = "absolute url",
         .input = "GET http://h:81/p/q?z HTTP/1.1\r\nHost: h\r\n\r\n",
         .events = {"GET http://h:81/p/q?z | /p/q | keep-alive | Host=h; | "}},
        {.name = "post with content length",
         .input = "POST /api/mysql HTTP/1.1\r\nContent-Length: 11\r\n\r\n{\"a\":\"b c\"}",
         .events = {"POST /api/mysql | /api/mysql | keep-alive | Content-Length=11; | {\"a\":\"b c\"}"}},
        {.name = "chunked body with extension and trailer",
         .input = "POST /u HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                  "4;x=y\r\nWiki\r\n5\r\npedia\r\n0\r\nTrailer-Field: t\r\n\r\n",
         .events = {"POST /u | /u | keep-alive | Transfer-Encoding=chunked; Trailer-Field=t; | Wikipedia"}},
        {.name = "pipelined, the last one closes",
         .input = "GET /a HTTP/1.1\r\n\r\n"
                  "POST /b HTTP/1.1\r\nContent-Length: 3\r\n\r\nxyz"
                  "GET /c HTTP/1.1\r\nConnection: close\r\n\r\n",
         .events = {"GET /a | /a | keep-alive | | ", "POST /b | /b | keep-alive | Content-Length=3; | xyz",
                    "GET /c | /c | | Connection=close; | "}},
        {.name = "http 1.0, plain and kept alive",
         .input = "GET /x HTTP/1.0\r\n\r\nGET /y HTTP/1.0\r\nConnection: keep-alive\r\n\r\n",
         .events = {"GET /x | /x | 1.0 | | ", "GET /y | /y | keep-alive 1.0 | Connection=keep-alive; | "}},
        {.name = "odd header case, folded value, empty value",
         .input = "GET / HTTP/1.1\r\ncOnTeNt-LeNgTh: 2\r\nX-Folded: one\r\n two\r\nX-Empty:\r\n\r\nok",
         .events = {"GET / | / | keep-alive | cOnTeNt-LeNgTh=2; X-Folded=one two; X-Empty=; | ok"}},
        {.name = "expect 100-continue",
         .input = "PUT /p HTTP/1.1\r\nExpect: 100-Continue\r\nContent-Length: 1\r\n\r\nz",
         .events = {"100 Continue", "PUT /p | /p | keep-alive | Expect=100-Continue; Content-Length=1; | z"}},
        {.name = "expect on http 1.0 gets no interim answer",
         .input = "PUT /p HTTP/1.0\r\nExpect: 100-continue\r\nContent-Length: 1\r\n\r\nz",
         .events = {"PUT /p | /p | 1.0 | Expect=100-continue; Content-Length=1; | z"}},
        {.name = "websocket upgrade, frame bytes follow",
         .input = "GET /ws HTTP/1.1\r\nUpgrade: WebSocket\r\nConnection: Upgrade\r\n\r\n\x81\x05hello",
         .events = {"GET /ws | /ws | keep-alive upgrade | Upgrade=WebSocket; Connection=Upgrade; | "},
         .end = Status::kUpgrade,
         .upgradeKind = UpgradeKind::kWebSocket,
         .rest = "\x81\x05hello"},
        {.name = "other upgrade",
         .input = "GET / HTTP/1.1\r\nUpgrade: h2c\r\nConnection: upgrade\r\n\r\n",
         .events = {"GET / | / | keep-alive upgrade | Upgrade=h2c; Connection=upgrade; | "},
         .end = Status::kUpgrade},
        {.name = "connect tunnel",
         .input = "CONNECT example.com:443 HTTP/1.1\r\nHost: example.com\r\n\r\nTLS...",
         .events = {"CONNECT example.com:443 |  | keep-alive upgrade | Host=example.com; | "},
         .end = Status::kUpgrade,
         .upgradeKind = UpgradeKind::kHttpTunnel,
         .rest = "TLS..."},
        {.name = "unfinished headers wait for more", .input = "GET /slow HTTP/1.1\r\nHost: a\r\n"},
        {.name = "malformed request line", .input = "GET /a HTTTP/1.1\r\n\r\n", .end = Status::kMalformed},
        {.name = "garbage after a good request",
         .input = "GET /a HTTP/1.1\r\n\r\n\x01\x02 / HTTP/1.1\r\n\r\n",
         .events = {"GET /a | /a | keep-alive | | "},
         .end = Status::kMalformed},
        {.name = "bad chunk size",
         .input = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
         .end = Status::kMalformed},
        {.name = "two content lengths",
         .input = "POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab",
         .end = Status::kMalformed},
        // Header bytes are the URL, names and values: 2 + 4 + 3 = 9 here.
        {.name = "headers at the limit",
         .input = "GET /a HTTP/1.1\r\nHost: abc\r\n\r\n",
         .events = {"GET /a | /a | keep-alive | Host=abc; | "},
         .maxHeaderBytes = 9},
        {.name = "headers one byte over",
         .input = "GET /a HTTP/1.1\r\nHost: abcd\r\n\r\n",
         .end = Status::kTooLarge,
         .maxHeaderBytes = 9},
        // The limit is crossed at the "d", before the byte that is not allowed in a value.
        {.name = "headers over the limit, then a bad byte",
         .input = "GET /a HTTP/1.1\r\nHost: abcd\x01\r\n\r\n",
         .end = Status::kTooLarge,
         .maxHeaderBytes = 9},
        {.name = "url over the header limit",
         .input = "GET /0123456789 HTTP/1.1\r\n\r\n",
         .end = Status::kTooLarge,
         .maxHeaderBytes = 9},
        {.name = "declared body at the limit",
         .input = "POST / HTTP/1.1\r\nContent-Length: 4\r\n\r\nabcd",
         .events = {"POST / | / | keep-alive | Content-Length=4; | abcd"},
         .maxBody = 4},
        // Refused at the headers: no body byte needs to arrive.
        {.name = "declared body over the limit",
         .input = "POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\n",
         .end = Status::kTooLarge,
         .maxBody = 4},
        {.name = "chunked body over the limit",
         .input = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n",
         .end = Status::kTooLarge,
         .maxBody = 4},
        {.name = "interim answer, then the body is too large",
         .input = "POST / HTTP/1.1\r\nExpect: 100-continue\r\nTransfer-Encoding: "
                  "chunked\r\n\r\n9\r\n123456789\r\n",
         .events = {"100 Continue"},
         .end = Status::kTooLarge,
         .maxBody = 4},
    };
    return table;
}

TEST(HttpRequestParserTest, TableFedWhole) {
    for (const Case& test : cases()) {
        SCOPED_TRACE(test.name);
        Outcome expected{test.events, test.end, test.upgradeKind, test.rest};
        expectSame(run(test.input, {test.input.size()}, test.maxBody, test.maxHeaderBytes), expected);
    }
}

TEST(HttpRequestParserTest, EverySplitGivesTheSameOutcome) {
    for (const Case& test : cases()) {
        SCOPED_TRACE(test.name);
        const size_t size = test.input.size();
        Outcome whole = run(test.input, {size}, test.maxBody, test.maxHeaderBytes);
        for (size_t cut = 1; cut < size; ++cut) {
            SCOPED_TRACE(cut);
            expectSame(run(test.input, {cut, size}, test.maxBody, test.maxHeaderBytes), whole);
        }
        std::vector<size_t> everyByte;
        for (size_t cut = 1; cut <= size; ++cut)
            everyByte.push_back(cut);
        SCOPED_TRACE("byte by byte");
        expectSame(run(test.input, everyByte, test.maxBody, test.maxHeaderBytes), whole);
    }
}

// A long-lived keep-alive stream: the parser's state from one request never leaks into the next.
TEST(HttpRequestParserTest, StateDoesNotCarryOverBetweenRequests) {
    HttpRequestParser parser(64);
    std::string stream =
        "POST /1 HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 2\r\nA: 1\r\n\r\nxy"
        "GET /2 HTTP/1.1\r\nB: 2\r\n\r\n";
    HttpRequestParser::Result first = parser.feed(stream.data(), stream.size());
    ASSERT_EQ(first.status, Status::kRequest);
    EXPECT_TRUE(parser.takeContinue());
    EXPECT_FALSE(parser.takeContinue());
    HttpRequest one = parser.takeRequest();
    EXPECT_EQ(*one.header("a"), "1");
    HttpRequestParser::Result second = parser.feed(stream.data() + first.used, stream.size() - first.used);
    ASSERT_EQ(second.status, Status::kRequest);
    EXPECT_EQ(first.used + second.used, stream.size());
    EXPECT_FALSE(parser.takeContinue());
    EXPECT_EQ(describe(parser.takeRequest()), "GET /2 | /2 | keep-alive | B=2; | ");
    // Taken means gone: the parser holds no copy.
    EXPECT_EQ(describe(parser.takeRequest()), "  |  | | | ");
    EXPECT_EQ(parser.feed(stream.data(), 0).status, Status::kNeedMore);
}

}  // namespace
}  // namespace kestrum
