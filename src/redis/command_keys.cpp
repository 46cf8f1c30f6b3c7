#include "redis/command_keys.h"

#include <hiredis/hiredis.h>

#include "util/text.h"

namespace kestrum {
namespace {

bool isText(const redisReply* r) {
    return r != nullptr && (r->type == REDIS_REPLY_STRING || r->type == REDIS_REPLY_STATUS);
}

bool isInteger(const redisReply* r) {
    return r != nullptr && r->type == REDIS_REPLY_INTEGER;
}

bool isArray(const redisReply* r) {
    return r != nullptr && r->type == REDIS_REPLY_ARRAY;
}

int clampedInt(long long value) {
    return value < -1000000 ? -1000000 : value > 1000000 ? 1000000 : static_cast<int>(value);
}

}  // namespace

bool RedisKeyTable::readEntry(const redisReply* reply, std::string& name, Entry& entry) {
    // [name, arity, flags, first key, last key, step, then ACL categories, tips, key positions in full and
    // sub-commands on newer servers]
    if (!isArray(reply) || reply->elements < 6)
        return false;
    redisReply* const* e = reply->element;
    if (!isText(e[0]) || !isInteger(e[1]) || !isArray(e[2]) || !isInteger(e[3]) || !isInteger(e[4]) ||
        !isInteger(e[5]))
        return false;
    name = asciiLower(std::string_view(e[0]->str, e[0]->len));
    entry.firstKey = clampedInt(e[3]->integer);
    entry.lastKey = clampedInt(e[4]->integer);
    entry.step = clampedInt(e[5]->integer);
    for (size_t i = 0; i < e[2]->elements; ++i) {
        const redisReply* flag = e[2]->element[i];
        if (isText(flag) && std::string_view(flag->str, flag->len) == "movablekeys")
            entry.movable = true;
    }
    return true;
}

void RedisKeyTable::add(const redisReply* reply) {
    std::string name;
    Entry entry;
    if (!readEntry(reply, name, entry))
        return;
    // Redis 7 lists a container's sub-commands in the tenth element, each an entry of its own named
    // "container|sub".
    if (reply->elements >= 10 && isArray(reply->element[9]) && reply->element[9]->elements > 0) {
        entry.container = true;
        for (size_t i = 0; i < reply->element[9]->elements; ++i) {
            std::string subName;
            Entry sub;
            if (readEntry(reply->element[9]->element[i], subName, sub))
                commands_[subName] = sub;
        }
    }
    commands_[name] = entry;
}

bool RedisKeyTable::load(const redisReply* reply) {
    commands_.clear();
    if (!isArray(reply))
        return false;
    for (size_t i = 0; i < reply->elements; ++i)
        add(reply->element[i]);
    return !commands_.empty();
}

RedisKeyTable::Keys RedisKeyTable::keys(const std::vector<std::string>& words,
                                        std::vector<size_t>& positions) const {
    positions.clear();
    if (words.empty())
        return Keys::kUnknown;
    const std::string name = asciiLower(words[0]);
    auto it = commands_.find(name);
    if (it == commands_.end())
        return Keys::kUnknown;
    const Entry* entry = &it->second;
    if (entry->container && words.size() > 1) {
        auto sub = commands_.find(name + "|" + asciiLower(words[1]));
        if (sub == commands_.end())
            return Keys::kUnknown;
        entry = &sub->second;
    }
    if (entry->movable)
        return Keys::kMovable;
    if (entry->firstKey <= 0)
        return Keys::kFound;
    const long long argc = static_cast<long long>(words.size());
    long long last = entry->lastKey < 0 ? argc + entry->lastKey : entry->lastKey;
    if (last >= argc)
        last = argc - 1;
    const long long step = entry->step > 0 ? entry->step : 1;
    for (long long i = entry->firstKey; i <= last; i += step)
        positions.push_back(static_cast<size_t>(i));
    return Keys::kFound;
}

bool fetchRedisKeyTable(const std::string& host, int port, const std::string& password, int timeoutMs,
                        RedisKeyTable& table) {
    const timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    redisContext* context = redisConnectWithTimeout(host.c_str(), port, timeout);
    if (context == nullptr)
        return false;
    bool ok = context->err == 0 && redisSetTimeout(context, timeout) == REDIS_OK;
    if (ok && !password.empty()) {
        auto* reply =
            static_cast<redisReply*>(redisCommand(context, "AUTH %b", password.data(), password.size()));
        ok = reply != nullptr && reply->type != REDIS_REPLY_ERROR;
        if (reply != nullptr)
            freeReplyObject(reply);
    }
    if (ok) {
        auto* reply = static_cast<redisReply*>(redisCommand(context, "COMMAND"));
        ok = reply != nullptr && table.load(reply);
        if (reply != nullptr)
            freeReplyObject(reply);
    }
    redisFree(context);
    return ok;
}

}  // namespace kestrum
