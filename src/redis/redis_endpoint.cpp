#include "redis/redis_endpoint.h"

#include <cstdint>

#include "http/api_envelope.h"
#include "json/json_document.h"
#include "log/log_writer.h"
#include "util/encoding.h"
#include "util/text.h"

namespace kestrum {

namespace {

constexpr int64_t kRedisFailure = 100;

enum class SubPath { kSet, kGet, kOrder };

std::optional<SubPath> matchSubPath(const std::string& path, const std::string& prefix) {
    if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    const std::string_view rest = std::string_view(path).substr(prefix.size());
    if (rest == "/set")
        return SubPath::kSet;
    if (rest == "/get")
        return SubPath::kGet;
    if (rest == "/order")
        return SubPath::kOrder;
    return std::nullopt;
}

void runRequest(RedisGateway& gateway, SubPath subPath, RequestContext request, EndpointDone done);

}  // namespace

void handleRedisRequest(RedisGateway& gateway, RequestContext request, EndpointDone done) {
    const std::optional<SubPath> subPath = matchSubPath(request.path, gateway.apiUrl());
    if (!subPath) {
        done(std::nullopt);
        return;
    }
    // A large body is converted and parsed away from the network thread.
    if (request.body.size() > kLargeRedisText && gateway.offload()) {
        auto shared =
            std::make_shared<std::pair<RequestContext, EndpointDone>>(std::move(request), std::move(done));
        if (gateway.offload()([&gateway, shared, subPath] {
                runRequest(gateway, *subPath, std::move(shared->first), std::move(shared->second));
            }))
            return;
        request = std::move(shared->first);
        done = std::move(shared->second);
    }
    runRequest(gateway, *subPath, std::move(request), std::move(done));
}

namespace {

void runRequest(RedisGateway& gateway, SubPath subPath, RequestContext request, EndpointDone done) {
    JsonDocument document;
    document.parse(utf8BytesToGbk(request.body));  // a body that is no JSON simply reads as empty members
    const int32_t db = document.getInt("db");
    std::string head = "db(" + std::to_string(db) + ")";

    // Builds the envelope and the log line once the gateway has answered: `success` and `fail` are the
    // line's openings, `details` follows "db(..)".
    auto finish = [done = std::move(done)](const char* success, const char* fail, const std::string& details,
                                           bool answerIsMessage, const RedisOutcome& outcome) {
        std::string line = std::string(outcome.ok ? success : fail) + kFullWidthColon + details;
        line += outcome.ok ? std::string(".")
                           : ",error(" + (outcome.errorSet ? outcome.text : std::string()) + ").";
        logLine("redis", line);
        if (!outcome.ok)
            done(buildEnvelope(kRedisFailure, outcome.errorSet ? outcome.text : std::string()));
        else
            done(buildEnvelope(200, answerIsMessage ? outcome.text : std::string("success.")));
    };

    switch (subPath) {
        case SubPath::kSet: {
            std::string key = document.getText("key");
            std::string value = document.getText("value");
            const int64_t outtime = document.getInt64("outtime");
            std::string details =
                head + ",key(" + key + "),value(" + value + "),outtime(" + std::to_string(outtime) + ")";
            gateway.setValue(
                db, key, value, outtime,
                [finish = std::move(finish), details = std::move(details)](RedisOutcome outcome) {
                    finish("set success", "set fail", details, false, outcome);
                });
            break;
        }
        case SubPath::kGet: {
            std::string key = document.getText("key");
            std::string details = head + ",key(" + key + ")";
            gateway.getValue(
                db, key, [finish = std::move(finish), details = std::move(details)](RedisOutcome outcome) {
                    finish("get success", "get fail", details, true, outcome);
                });
            break;
        }
        case SubPath::kOrder: {
            std::string order = document.getText("order");
            std::string details = head + ",order(" + order + ")";
            gateway.runOrder(
                db, order, [finish = std::move(finish), details = std::move(details)](RedisOutcome outcome) {
                    finish("do order success", "do order fail", details, true, outcome);
                });
            break;
        }
    }
}

}  // namespace

}  // namespace kestrum
