#include "redis/redis_endpoint.h"

#include <algorithm>
#include <cstdint>

#include "http/api_envelope.h"
#include "http/callers.h"
#include "json/json_document.h"
#include "log/log_writer.h"
#include "redis/command_words.h"
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

// A /set or /get without a key (a body that is no JSON reads as one without members) writes and reads
// nothing.
RedisOutcome keyMissing() {
    return RedisOutcome::failure("key missing");
}

// Whether the response body of `envelope` (a byte-order mark and the UTF-8 form) is longer than `limit`.
// Internal text grows at most threefold in UTF-8 (a byte that is no character becomes U+FFFD), so only a
// long envelope is converted to be measured.
bool answerLonger(const std::string& envelope, size_t limit) {
    constexpr size_t kMark = 3;
    if (envelope.size() <= (limit - std::min(limit, kMark)) / 3)
        return false;
    return gbkToUtf8(envelope).size() + kMark > limit;
}

// What a caller may not do with this command line, as the end of "not allowed: ..."; empty when it may.
// The command and its sub-command must be listed, and every key it touches (the server's own command table
// tells which arguments are keys) must match the caller's patterns. A command whose keys cannot be told is
// refused unless the patterns are exactly "*".
std::string orderRefusal(const RedisGateway& gateway, const Caller& caller, const std::string& order) {
    std::vector<std::string> words;
    std::string error;
    if (!buildCommandWords(order, {}, true, words, error) || words.empty())
        return {};  // the gateway refuses it with its own error
    const std::string name = asciiUpper(words[0]);
    if (!caller.allowsRedisCommand(words[0],
                                   words.size() > 1 ? std::string_view(words[1]) : std::string_view()))
        return "redis command " + name;
    if (caller.redisKeysUnrestricted())
        return {};
    std::vector<size_t> positions;
    const RedisKeyTable* table = gateway.keyTable();
    if (table == nullptr || table->keys(words, positions) != RedisKeyTable::Keys::kFound)
        return "redis command " + name;
    for (size_t position : positions) {
        if (!caller.allowsRedisKey(words[position]))
            return "redis key " + words[position];
    }
    return {};
}

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
    const std::string callerSuffix = callerLogSuffix(request);
    const Caller* caller = request.caller;

    // Builds the envelope and the log line once the gateway has answered: `success` and `fail` are the
    // line's openings, `details` follows "db(..)". An answer longer than max_answer fails instead.
    auto finish = [done = std::move(done), maxAnswer = gateway.maxAnswer(), callerSuffix](
                      const char* success, const char* fail, const std::string& details, bool answerIsMessage,
                      RedisOutcome outcome, std::string refusal = {}) {
        if (!refusal.empty()) {
            // A caller without the right: nothing is sent to Redis.
            logLine("redis", std::string(fail) + kFullWidthColon + details +
                                 ",error(not allowed: " + refusal + ")" + callerSuffix + ".");
            done(notAllowedEnvelope(refusal));
            return;
        }
        std::string envelope;
        if (outcome.ok) {
            envelope = buildEnvelope(200, answerIsMessage ? outcome.text : std::string("success."));
            if (answerLonger(envelope, maxAnswer)) {
                envelope.clear();
                outcome = RedisOutcome::failure(answerLimitText(maxAnswer));
            }
        }
        if (!outcome.ok)
            envelope = buildEnvelope(kRedisFailure, outcome.errorSet ? outcome.text : std::string());
        std::string line = std::string(outcome.ok ? success : fail) + kFullWidthColon + details;
        if (!outcome.ok)
            line += ",error(" + (outcome.errorSet ? outcome.text : std::string()) + ")";
        line += callerSuffix;
        line += '.';
        logLine("redis", line);
        done(std::move(envelope));
    };

    switch (subPath) {
        case SubPath::kSet: {
            std::string key = document.getText("key");
            std::string value = document.getText("value");
            const int64_t outtime = document.getInt64("outtime");
            std::string details =
                head + ",key(" + key + "),value(" + value + "),outtime(" + std::to_string(outtime) + ")";
            if (key.empty()) {
                finish("set success", "set fail", details, false, keyMissing());
                break;
            }
            if (caller != nullptr && !caller->allowsRedisKey(key)) {
                finish("set success", "set fail", details, false, {}, "redis key " + key);
                break;
            }
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
            if (key.empty()) {
                finish("get success", "get fail", details, true, keyMissing());
                break;
            }
            if (caller != nullptr && !caller->allowsRedisKey(key)) {
                finish("get success", "get fail", details, true, {}, "redis key " + key);
                break;
            }
            gateway.getValue(
                db, key, [finish = std::move(finish), details = std::move(details)](RedisOutcome outcome) {
                    finish("get success", "get fail", details, true, outcome);
                });
            break;
        }
        case SubPath::kOrder: {
            std::string order = document.getText("order");
            std::string details = head + ",order(" + order + ")";
            if (caller != nullptr) {
                std::string refusal = orderRefusal(gateway, *caller, order);
                if (!refusal.empty()) {
                    finish("do order success", "do order fail", details, true, {}, std::move(refusal));
                    break;
                }
            }
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
