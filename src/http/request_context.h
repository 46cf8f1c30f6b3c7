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

// An endpoint runs on a worker thread. It returns the envelope text (internal encoding) to send as an HTTP
// 200 response, or nothing when the request gets no answer at all.
using Endpoint = std::function<std::optional<std::string>(const RequestContext&)>;

}  // namespace kestrum
