#include "redis/redis_endpoint.h"

#include <cstdint>

#include "http/api_envelope.h"
#include "json/json_document.h"
#include "log/log_writer.h"
#include "util/encoding.h"

namespace kestrum {

namespace {

// The full-width colon of the log texts, in the internal encoding.
constexpr const char* kColon = "\xA3\xBA";
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

}  // namespace

std::optional<std::string> handleRedisRequest(RedisGateway& gateway, const RequestContext& request) {
    const std::optional<SubPath> subPath = matchSubPath(request.path, gateway.apiUrl());
    if (!subPath)
        return std::nullopt;

    JsonDocument document;
    document.parse(utf8BytesToGbk(request.body));  // a body that is no JSON simply reads as empty members
    const int32_t db = document.getInt("db");
    const std::string dbText = std::to_string(db);

    std::string error;
    bool ok = false;
    std::string envelope;
    std::string line;
    switch (*subPath) {
        case SubPath::kSet: {
            const std::string key = document.getText("key");
            const std::string value = document.getText("value");
            const int64_t outtime = document.getInt64("outtime");
            ok = gateway.setValue(db, key, value, outtime, error);
            envelope = ok ? buildEnvelope(200, "success.") : buildEnvelope(kRedisFailure, error);
            line = std::string(ok ? "set success" : "set fail") + kColon + "db(" + dbText + "),key(" + key +
                   "),value(" + value + "),outtime(" + std::to_string(outtime) + ")";
            break;
        }
        case SubPath::kGet: {
            const std::string key = document.getText("key");
            std::string result;
            ok = gateway.getValue(db, key, result, error);
            envelope = ok ? buildEnvelope(200, result) : buildEnvelope(kRedisFailure, error);
            line =
                std::string(ok ? "get success" : "get fail") + kColon + "db(" + dbText + "),key(" + key + ")";
            break;
        }
        case SubPath::kOrder: {
            const std::string order = document.getText("order");
            std::string result;
            ok = gateway.runOrder(db, order, result, error);
            envelope = ok ? buildEnvelope(200, result) : buildEnvelope(kRedisFailure, error);
            line = std::string(ok ? "do order success" : "do order fail") + kColon + "db(" + dbText +
                   "),order(" + order + ")";
            break;
        }
    }
    if (ok)
        line += ".";
    else
        line += ",error(" + error + ").";
    logLine("redis", line);
    return envelope;
}

}  // namespace kestrum
