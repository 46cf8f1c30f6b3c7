// The HTTP message types shared by the server component and the API layer: one parsed request, one answer,
// its serialisation and the reason phrases.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http/credentials.h"
#include "http/request_context.h"

namespace kestrum {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// What the request handler keeps per connection (a verified caller, its copy of the rules). Owned by the
// connection, used on its network thread only.
struct ConnectionSession {
    virtual ~ConnectionSession() = default;
};

// One finished request, owned by whoever handles it.
struct HttpRequest {
    ServerKind server = ServerKind::Http;
    uint64_t connectionId = 0;
    // The client: the connection's peer, or the source a PROXY protocol header named.
    std::string remoteAddress;  // dotted IPv4 (IPv6 text when a PROXY header named an IPv6 client)
    std::string peerAddress;    // the connection's peer itself (a balancer, when there is one)
    // SHA-256 of the client certificate the TLS handshake verified; nothing without one.
    std::optional<Sha256> clientCertificate;
    // The connection's session slot; valid while the request is handled on the network thread.
    std::unique_ptr<ConnectionSession>* session = nullptr;
    std::string method;  // "GET", "POST", ...
    std::string url;     // as in the request line
    std::string path;    // URL path without query string and fragment
    HeaderList headers;  // in arrival order
    std::string body;
    bool keepAlive = false;
    bool upgrade = false;
    bool http10 = false;  // HTTP/1.0: the connection stays open only when the answer says keep-alive
    std::chrono::steady_clock::time_point completedAt{};  // last byte parsed (set while requests are metered)

    // First header of that name (case-insensitive), or null.
    const std::string* header(std::string_view name) const;
};

struct HttpResponse {
    int status = 200;
    std::string reason;  // empty: reasonPhrase(status)
    HeaderList headers;
    std::string body;
    // False for 101 and tunnel answers, which carry no Content-Length.
    bool withContentLength = true;
};

// The Date header's value (IMF-fixdate, "Sun, 06 Nov 1994 08:49:37 GMT") of `now`, or of the current second.
// The text is kept per thread and rewritten once a second; it stays valid until the thread's next call.
std::string_view httpDate(std::time_t now);
std::string_view httpDate();

// Serialises a response (with a Date header). `connectionHeader` (may be empty) adds a Connection header.
std::string serializeResponse(const HttpResponse& response, std::string_view connectionHeader);

// The Connection header of an answer: "close" when the connection ends after it; HTTP/1.0 clients keep the
// connection only when told so.
std::string_view connectionHeader(bool closeAfter, bool http10);

// The reason phrase of an HTTP status code; "***" for a code not in the table.
std::string reasonPhrase(int status);

}  // namespace kestrum
