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
    // The body is read as UTF-8, and each text goes on in the form its next step needs: as the connections
    // send it (UTF-8 with isUnicode), and in the internal encoding for the log line and the caller's rights.
    // The answer is written from the reply's UTF-8 straight into the response body.
    JsonDocument document;
    document.parseUtf8(request.body);  // a body that is no JSON simply reads as empty members
    const int32_t db = document.getInt("db");
    const bool unicode = gateway.isUnicode();
    auto wireText = [&document, unicode](std::string_view member) {
        return unicode ? document.getTextUtf8(member) : document.getText(member);
    };
    auto internal = [unicode](const std::string& wire) { return unicode ? utf8ToGbk(wire) : wire; };
    std::string head = "db(" + std::to_string(db) + ")";
    const std::string callerSuffix = callerLogSuffix(request);
    const Caller* caller = request.caller;

    // Builds the answer and the log line once the gateway has answered (its text in UTF-8): `success` and
    // `fail` are the line's openings, `details` follows "db(..)". An answer longer than max_answer fails
    // instead.
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
        std::string answer;
        if (outcome.ok) {
            answer = envelopeAnswer(200, answerIsMessage ? std::string_view(outcome.text) : "success.");
            if (answer.size() > maxAnswer) {
                answer.clear();
                outcome = RedisOutcome::failure(answerLimitText(maxAnswer));
            }
        }
        if (!outcome.ok)
            answer = envelopeAnswer(kRedisFailure, outcome.errorSet ? std::string_view(outcome.text) : "");
        std::string line = std::string(outcome.ok ? success : fail) + kFullWidthColon + details;
        if (!outcome.ok)
            line += ",error(" + (outcome.errorSet ? utf8ToGbk(outcome.text) : std::string()) + ")";
        line += callerSuffix;
        line += '.';
        logLine("redis", line);
        done(std::move(answer));
    };

    switch (subPath) {
        case SubPath::kSet: {
            std::string key = wireText("key");
            std::string value = wireText("value");
            const int64_t outtime = document.getInt64("outtime");
            const std::string keyText = internal(key);
            std::string details = head + ",key(" + keyText + "),value(" + internal(value) + "),outtime(" +
                                  std::to_string(outtime) + ")";
            if (key.empty()) {
                finish("set success", "set fail", details, false, keyMissing());
                break;
            }
            if (caller != nullptr && !caller->allowsRedisKey(keyText)) {
                finish("set success", "set fail", details, false, {}, "redis key " + keyText);
                break;
            }
            gateway.setValueWire(
                db, std::move(key), std::move(value), outtime,
                [finish = std::move(finish), details = std::move(details)](RedisOutcome outcome) {
                    finish("set success", "set fail", details, false, std::move(outcome));
                });
            break;
        }
        case SubPath::kGet: {
            std::string key = wireText("key");
            const std::string keyText = internal(key);
            std::string details = head + ",key(" + keyText + ")";
            if (key.empty()) {
                finish("get success", "get fail", details, true, keyMissing());
                break;
            }
            if (caller != nullptr && !caller->allowsRedisKey(keyText)) {
                finish("get success", "get fail", details, true, {}, "redis key " + keyText);
                break;
            }
            gateway.getValueWire(
                db, std::move(key),
                [finish = std::move(finish), details = std::move(details)](RedisOutcome outcome) {
                    finish("get success", "get fail", details, true, std::move(outcome));
                });
            break;
        }
        case SubPath::kOrder: {
            const std::string order = wireText("order");
            const std::string orderText = internal(order);
            std::string details = head + ",order(" + orderText + ")";
            if (caller != nullptr) {
                std::string refusal = orderRefusal(gateway, *caller, orderText);
                if (!refusal.empty()) {
                    finish("do order success", "do order fail", details, true, {}, std::move(refusal));
                    break;
                }
            }
            gateway.runOrderWire(
                db, order, [finish = std::move(finish), details = std::move(details)](RedisOutcome outcome) {
                    finish("do order success", "do order fail", details, true, std::move(outcome));
                });
            break;
        }
    }
}

}  // namespace

}  // namespace kestrum
