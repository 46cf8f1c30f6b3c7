// What an API endpoint receives about one finished request, and the endpoint signature.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace kestrum {

enum class ServerKind { Http = 0, Https = 1 };

class CallerRules;
struct Caller;

struct RequestContext {
    ServerKind server = ServerKind::Http;  // which listener the request came through
    uint64_t connectionId = 0;
    std::string path;  // path part of the URL, no query string or fragment
    std::string body;  // body bytes exactly as received (UTF-8 by API convention)
    // The caller that was identified, when callers are in use (null otherwise); `callerRules` keeps it alive
    // for as long as the request runs. An endpoint checks what only it can see (Redis commands and keys) and
    // picks the back end the caller is bound to.
    std::shared_ptr<const CallerRules> callerRules;
    const Caller* caller = nullptr;
};

// ",caller(NAME)" for a request of an identified caller, nothing otherwise: the end of its log lines.
std::string callerLogSuffix(const RequestContext& request);

// The completion of an endpoint, called exactly once from any thread: the envelope text (internal encoding),
// or the response body already made of it (starting with the byte-order mark, see api_envelope.h), to send as
// an HTTP 200 response (a refusal of a caller, errcode 403 or 429, goes out with that HTTP
// status), or nothing when the request gets no answer at all. Calling it after the connection is gone is
// harmless: the answer is dropped.
using EndpointDone = std::function<void(std::optional<std::string>)>;

// An endpoint starts the work for one request and returns; it may call `done` before it returns or later from
// another thread. It must not block the calling thread on a back end.
using Endpoint = std::function<void(RequestContext, EndpointDone)>;

}  // namespace kestrum
