// What an API endpoint receives about one finished request, and the endpoint signature.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace kestrum {

enum class ServerKind { Http = 0, Https = 1 };

struct RequestContext {
    ServerKind server = ServerKind::Http;  // which listener the request came through
    uint64_t connectionId = 0;
    std::string path;  // path part of the URL, no query string or fragment
    std::string body;  // body bytes exactly as received (UTF-8 by API convention)
};

// The completion of an endpoint, called exactly once from any thread: the envelope text (internal encoding)
// to send as an HTTP 200 response, or nothing when the request gets no answer at all. Calling it after the
// connection is gone is harmless: the answer is dropped.
using EndpointDone = std::function<void(std::optional<std::string>)>;

// An endpoint starts the work for one request and returns; it may call `done` before it returns or later from
// another thread. It must not block the calling thread on a back end.
using Endpoint = std::function<void(RequestContext, EndpointDone)>;

}  // namespace kestrum
