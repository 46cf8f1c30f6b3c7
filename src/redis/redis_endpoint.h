// The Redis API endpoint: POST <api_url>/set, /get and /order with a UTF-8 JSON body
// {"db":..,"key":..,"value":..,"outtime":..,"order":..}; the answer is an envelope without a data member.
#pragma once

#include <optional>
#include <string>

#include "http/request_context.h"
#include "redis/redis_gateway.h"

namespace kestrum {

// Starts one request on `gateway` and returns. When the answer is there, logs one "redis" line and calls
// `done` with the envelope text (internal encoding); a path that is none of the three sub-paths (exact,
// case-sensitive; the query string is already gone) gets `done` with nothing at once, and no log line.
// A /set or /get without a key fails with "key missing" and sends nothing; an answer whose body would be
// longer than the gateway's maxAnswer() fails with answerLimitText().
void handleRedisRequest(RedisGateway& gateway, RequestContext request, EndpointDone done);

}  // namespace kestrum
