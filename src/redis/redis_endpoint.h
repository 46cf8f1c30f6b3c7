// The Redis API endpoint: POST <api_url>/set, /get and /order with a UTF-8 JSON body
// {"db":..,"key":..,"value":..,"outtime":..,"order":..}; the answer is an envelope without a data member.
#pragma once

#include <optional>
#include <string>

#include "http/request_context.h"
#include "redis/redis_gateway.h"

namespace kestrum {

// Runs one request through `gateway` and logs one "redis" line. Returns the envelope text (internal
// encoding), or nothing when the path is none of the three sub-paths (exact, case-sensitive; the query string
// is already gone).
std::optional<std::string> handleRedisRequest(RedisGateway& gateway, const RequestContext& request);

}  // namespace kestrum
