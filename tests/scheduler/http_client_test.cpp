// The outgoing client against a local server on loopback, and its text helpers.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "local_http_server.h"
#include "scheduler/http_client.h"
#include "support/kestrum_process.h"

namespace kestrum {
namespace {

using testing::LocalHttpServer;
using testing::RecordedRequest;
using namespace std::chrono_literals;

TEST(UrlParts, Table) {
    struct Case {
        std::string url;
        std::string host;
        int port;
        std::string object;
    };
    const Case cases[] = {
        {"http://Example.COM/a/B?x=1", "example.com", 80, "/a/B?x=1"},
        {"example.com/path", "example.com", 80, "/path"},
        {"https://example.com", "example.com", 443, "/"},
        {"HTTPS://example.com:8443/x", "example.com", 8443, "/x"},
        {"http://127.0.0.1:8080", "127.0.0.1", 8080, "/"},
        {"localhost:81/q?a=b/c", "localhost", 81, "/q?a=b/c"},
        // A host that also occurs inside the scheme is found after it.
        {"http://t/x", "t", 80, "/x"},
        {"http://http/y", "http", 80, "/y"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(urlHost(c.url), c.host);
        EXPECT_EQ(urlPort(c.url), c.port);
        EXPECT_EQ(urlObject(c.url), c.object);
    }
}

TEST(TextBetween, Table) {
    EXPECT_EQ(textBetween("a[1]b[2]", "[", "]"), "1");
    EXPECT_EQ(textBetween("a[1]b[2]", "[", "]", 3), "2");
    EXPECT_EQ(textBetween("a[1", "[", "]"), "");
    EXPECT_EQ(textBetween("a1]", "[", "]"), "");
    EXPECT_EQ(textBetween("<B>x</b>", "<b>", "</B>"), "");
    EXPECT_EQ(textBetween("<B>x</b>", "<b>", "</B>", 0, true), "x");
    EXPECT_EQ(textBetween("abc", "a", "c", 10), "");
}

TEST(MergeCookies, Table) {
    EXPECT_EQ(mergeCookies("a=1; b=2", "b=3; c=deleted"), "b=3; a=1");
    EXPECT_EQ(mergeCookies("", "a=1; b=2"), "a=1; b=2");
    EXPECT_EQ(mergeCookies("a=1; b=2", ""), "a=1; b=2");
    EXPECT_EQ(mergeCookies("a=1", "a=deleted"), "");
    EXPECT_EQ(mergeCookies("x = 1 ;", "y=2; y=2"), "y=2; x=1");
}

// Echoes the request as the response body, so a test sees what went over the wire.
std::string echo(const RecordedRequest& request) {
    return LocalHttpServer::response(200, request.body);
}

TEST(HttpRequest, GetSendsTheDefaultHeaders) {
    LocalHttpServer server(echo);
    HttpRequestOptions options;
    options.url = server.url("/path?q=1");
    EXPECT_EQ(httpRequest(options), "");
    ASSERT_EQ(server.requests().size(), 1u);
    const RecordedRequest request = server.requests()[0];
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.target, "/path?q=1");
    EXPECT_EQ(request.header("Accept"), "*/*");
    EXPECT_EQ(request.header("Referer"), options.url);
    EXPECT_EQ(request.header("Accept-Language"), "zh-cn");
    EXPECT_EQ(request.header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(request.header("User-Agent"), kDefaultUserAgent);
    EXPECT_EQ(request.count("Accept"), 1);
    EXPECT_EQ(request.count("Cookie"), 0);
    EXPECT_EQ(options.requestHeaders, "Accept: */*\r\nReferer: " + options.url +
                                          "\r\nAccept-Language: zh-cn\r\nContent-Type: "
                                          "application/x-www-form-urlencoded");
    EXPECT_EQ(options.responseHeaders.rfind("HTTP/1.1 200", 0), 0u);
    EXPECT_TRUE(options.responseHeaders.ends_with("\r\n\r\n"));
}

TEST(HttpRequest, CallerHeadersWin) {
    LocalHttpServer server(echo);
    HttpRequestOptions options;
    options.url = server.url("/");
    options.requestHeaders = "User-Agent: probe/1.0\r\nAccept: text/plain\r\nX-Extra: 1";
    httpRequest(options);
    ASSERT_EQ(server.requests().size(), 1u);
    const RecordedRequest request = server.requests()[0];
    EXPECT_EQ(request.header("User-Agent"), "probe/1.0");
    EXPECT_EQ(request.header("Accept"), "text/plain");
    EXPECT_EQ(request.count("Accept"), 1);
    EXPECT_EQ(request.header("X-Extra"), "1");
    EXPECT_EQ(request.header("Accept-Language"), "zh-cn");
}

TEST(HttpRequest, UrlWithoutSchemeGoesOverHttp) {
    LocalHttpServer server([](const RecordedRequest&) { return LocalHttpServer::response(200, "plain"); });
    HttpRequestOptions options;
    options.url = "127.0.0.1:" + std::to_string(server.port()) + "/x";
    EXPECT_EQ(httpRequest(options), "plain");
}

TEST(HttpRequest, PostBodies) {
    LocalHttpServer server(echo);
    HttpRequestOptions both;
    both.url = server.url("/");
    both.method = kHttpPost;
    both.bodyBytes = std::string("\xEF\xBB\xBFk=\xE4\xB8\xAD", 8);
    both.bodyText = "text";
    EXPECT_EQ(httpRequest(both), both.bodyBytes);

    HttpRequestOptions textOnly;
    textOnly.url = server.url("/");
    textOnly.method = kHttpPost;
    textOnly.bodyText = "a=1&b=2";
    EXPECT_EQ(httpRequest(textOnly), "a=1&b=2");
    EXPECT_EQ(textOnly.bodyBytes, "a=1&b=2");

    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.requests()[0].method, "POST");
    EXPECT_EQ(server.requests()[1].header("Content-Type"), "application/x-www-form-urlencoded");
}

TEST(HttpRequest, HeadAndUnknownMethods) {
    LocalHttpServer server([](const RecordedRequest& r) {
        return r.method == "HEAD"
                   ? std::string("HTTP/1.1 200 X\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
                   : LocalHttpServer::response(200, "got");
    });
    HttpRequestOptions head;
    head.url = server.url("/");
    head.method = kHttpHead;
    EXPECT_EQ(httpRequest(head), "");
    HttpRequestOptions other;
    other.url = server.url("/");
    other.method = 7;
    EXPECT_EQ(httpRequest(other), "got");
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.requests()[0].method, "HEAD");
    EXPECT_EQ(server.requests()[1].method, "GET");
}

TEST(HttpRequest, CookiesReturnedAndMerged) {
    LocalHttpServer server([](const RecordedRequest& r) {
        if (r.target == "/two") {
            return LocalHttpServer::response(200, "", "Set-Cookie: a=1; Path=/\r\nset-cookie: b=2\r\n");
        }
        return LocalHttpServer::response(200, "",
                                         "Set-Cookie: b=3; Path=/\r\nSet-Cookie: c=deleted; Path=/\r\n");
    });
    HttpRequestOptions plain;
    plain.url = server.url("/two");
    httpRequest(plain);
    EXPECT_EQ(plain.returnedCookies, "a=1; b=2");
    EXPECT_NE(plain.responseHeaders.find("Set-Cookie: b=2"), std::string::npos);  // spelling unified

    HttpRequestOptions withCookies;
    withCookies.url = server.url("/merge");
    withCookies.cookies = "a=1; b=2";
    httpRequest(withCookies);
    EXPECT_EQ(withCookies.returnedCookies, "b=3; a=1");
    EXPECT_EQ(withCookies.cookies, "b=3; a=1");
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.requests()[1].header("Cookie"), "a=1; b=2");
}

TEST(HttpRequest, RedirectsFollowedUnlessSwitchedOff) {
    LocalHttpServer server([](const RecordedRequest& r) {
        if (r.target == "/old")
            return LocalHttpServer::response(302, "moved", "Location: /new\r\n");
        return LocalHttpServer::response(200, "arrived");
    });
    HttpRequestOptions follow;
    follow.url = server.url("/old");
    EXPECT_EQ(httpRequest(follow), "arrived");
    EXPECT_EQ(follow.responseHeaders.rfind("HTTP/1.1 200", 0), 0u);  // headers of the final answer

    HttpRequestOptions stay;
    stay.url = server.url("/old");
    stay.noRedirect = true;
    EXPECT_EQ(httpRequest(stay), "moved");  // the status is not examined
}

TEST(HttpRequest, UnreachableHostFailsFast) {
    int port = testing::freePort();
    HttpRequestOptions options;
    options.url = "http://127.0.0.1:" + std::to_string(port) + "/";
    options.returnedCookies = "stale=1";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(httpRequest(options), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(options.responseHeaders, std::string(5000, ' '));
    EXPECT_EQ(options.returnedCookies, "");
}

TEST(HttpRequest, AbortStopsAStalledTransfer) {
    std::atomic<bool> release{false};
    LocalHttpServer server([&](const RecordedRequest&) {
        while (!release.load())
            std::this_thread::sleep_for(10ms);
        return LocalHttpServer::response(200, "late");
    });
    std::atomic<bool> abort{false};
    std::thread stopper([&] {
        std::this_thread::sleep_for(200ms);
        abort.store(true);
    });
    HttpRequestOptions options;
    options.url = server.url("/");
    options.abort = &abort;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(httpRequest(options), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    stopper.join();
    release.store(true);
}

TEST(HttpRequest, LineBreakInUrlIsRefused) {
    LocalHttpServer server(echo);
    HttpRequestOptions options;
    options.url = server.url("/\r\nX-Injected: 1");
    EXPECT_EQ(httpRequest(options), "");
    EXPECT_TRUE(server.requests().empty());
}

TEST(LookupPublicAddress, FollowsTheFrame) {
    LocalHttpServer server([](const RecordedRequest& r) {
        if (r.target == "/") {
            return LocalHttpServer::response(200,
                                             "<html><iframe src=\"/ic\" rel=\"nofollow\"></iframe></html>");
        }
        // GBK page: "您的IP是：[203.0.113.7] 来自：某地</center>"
        return LocalHttpServer::response(200,
                                         "<center>\xC4\xFA\xB5\xC4IP\xCA\xC7\xA3\xBA[203.0.113.7] "
                                         "\xC0\xB4\xD7\xD4\xA3\xBA\xC4\xB3\xB5\xD8</center>");
    });
    PublicAddress address = lookupPublicAddress(server.url("/"));
    EXPECT_EQ(address.ip, "203.0.113.7");
    EXPECT_EQ(address.location, "\xC4\xB3\xB5\xD8");

    PublicAddress none = lookupPublicAddress("");
    EXPECT_EQ(none.ip, "");
    EXPECT_EQ(none.location, "");
    EXPECT_EQ(server.requests().size(), 2u);  // the empty address fetched nothing
}

}  // namespace
}  // namespace kestrum
