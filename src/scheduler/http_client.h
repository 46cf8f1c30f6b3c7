// OutgoingHttpClient: how kestrum itself calls other web servers (task files of type "http", the start-up's
// public-address lookup).
//
// One blocking operation, httpRequest, built on libcurl with one easy handle per call and no state shared
// between calls: safe from any thread. It always sends the default headers Accept, Referer, Accept-Language
// and Content-Type (unless the caller gave them), follows redirects unless told not to, and returns the body
// of whatever answer came, error pages included. Time-outs: 60 s to connect, and a transfer that receives no
// data for 30 s is given up; a caller's abort flag stops a running transfer within about a second. Texts are
// bytes as they go on the wire (URLs are expected in ASCII or UTF-8).
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <string_view>

namespace kestrum {

enum HttpMethod : int { kHttpGet = 0, kHttpPost = 1, kHttpHead = 2 };

constexpr std::string_view kDefaultUserAgent = "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";

// The response body is capped: a larger answer is given up (empty result), so no peer can exhaust memory.
constexpr size_t kMaxResponseBytes = 64 * 1024 * 1024;

struct HttpRequestOptions {
    std::string url;        // "http://" is assumed when no scheme is given
    int method = kHttpGet;  // any other value means GET
    std::string bodyText;   // body for POST and HEAD when bodyBytes is empty
    std::optional<std::string>
        cookies;                  // in/out; present: no automatic cookies, merged cookies come back here
    std::string returnedCookies;  // out: cookies the server set, "a=1; b=2"
    std::string requestHeaders;   // in/out: extra lines separated by CR LF; defaults are appended
    std::string responseHeaders;  // out: raw header block of the final answer, lines ending in CR LF
    bool noRedirect = false;
    std::string bodyBytes;                     // in/out: body for POST and HEAD
    std::string proxy;                         // host:port; empty: direct
    const std::atomic<bool>* abort = nullptr;  // when it turns true, a running transfer stops (empty result)
    int statusCode = 0;                        // out: status of the final answer; 0 when none came
    std::string failure;                       // out: why no answer came (empty when one came)
};

// Sends the request and returns the response body; empty when the request could not be made. On a failure
// after the request was opened, responseHeaders holds 5000 spaces and returnedCookies is empty.
std::string httpRequest(HttpRequestOptions& options);

// The text between the first `left` at or after `start` and the first `right` after it; empty when either is
// missing.
std::string textBetween(std::string_view text, std::string_view left, std::string_view right,
                        size_t start = 0, bool ignoreCase = false);

// URL parts used to connect: lower-case host without port, port (explicit, else 443 for https, else 80), and
// the object (path and query, "/" when none).
std::string urlHost(std::string_view url);
int urlPort(std::string_view url);
std::string urlObject(std::string_view url);

// Merges cookie lists: new cookies win by name, old ones not renamed follow; "=deleted" cookies and repeats
// go.
std::string mergeCookies(std::string_view oldCookies, std::string_view newCookies);

struct PublicAddress {
    std::string ip;
    std::string location;  // internal encoding
};
// Reads the public address and its location from the lookup page (which embeds, in an iframe, the page
// carrying "您的IP是：[...]" and "来自：...</center>"). An empty url fetches nothing; any failure gives empty
// fields.
PublicAddress lookupPublicAddress(std::string_view lookupUrl, const std::atomic<bool>* abort = nullptr);

}  // namespace kestrum
