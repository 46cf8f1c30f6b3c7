#include "redis/redis_gateway.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <mutex>

#include "redis/loop_wait.h"
#include "redis/redis_defaults.h"
#include "util/config_value.h"
#include "util/event_loops.h"
#include "util/ini.h"

namespace kestrum {

RedisConfig loadRedisConfig(const std::string& runDir) {
    const std::string path = runDir + "/mod/redis/config.ini";
    IniFile ini = IniFile::load(path);
    RedisConfig config;
    config.on = ini.get("sys", "on", "1");
    config.apiUrl = ini.get("sys", "api_url", kDefaultRedisApiUrl);
    config.host = ini.get("sys", "ip", kDefaultRedisHost);
    if (config.host.empty())
        config.host = kDefaultRedisHost;
    // A missing key, an empty value and 0 all read as 0.
    config.port = leadingInt(ini.get("sys", "port"));
    if (config.port == 0)
        config.port = kDefaultRedisPort;
    config.password = ini.get("sys", "password", "");
    config.isUnicode = ini.get("sys", "isUnicode", "1") == "1";
    config.maxAnswer = size_t(configNumber(ini.get("sys", "max_answer"), int64_t(kDefaultRedisMaxAnswer), 1,
                                           std::numeric_limits<int64_t>::max()));
    config.deny = ini.get("order", "deny", "");
    readSection(path, "dbsum", config.dbKeys, config.dbCounts);
    return config;
}

RedisGateway::~RedisGateway() {
    close();
}

std::string RedisGateway::openSets(const std::string& runDir, EventLoops& loops) {
    RedisConfig config = loadRedisConfig(runDir);
    apiUrl_ = config.apiUrl;
    setDenyList(config.deny);
    maxAnswer_ = config.maxAnswer;
    openSets(loops, config.host, config.port, config.password, config.dbKeys, config.dbCounts,
             config.isUnicode);
    return apiUrl_;
}

void RedisGateway::openSets(EventLoops& loops, const std::string& host, int port, const std::string& password,
                            const std::vector<std::string>& dbKeys, const std::vector<std::string>& dbCounts,
                            bool isUnicode) {
    loops_ = &loops;
    host_ = host.empty() ? kDefaultRedisHost : host;
    port_ = port == 0 ? kDefaultRedisPort : port;
    password_ = password;
    isUnicode_ = isUnicode;

    close();
    sets_.clear();
    databases_.clear();
    const size_t lines = std::min(dbKeys.size(), dbCounts.size());
    int firstLoop = 0;  // the sets' connections are spread over the network threads together
    for (size_t i = 0; i < lines; ++i) {
        auto set = std::make_unique<RedisClientSet>(loops);
        set->setTimeouts(connectTimeoutMs_, replyTimeoutMs_);
        set->setOffload(offload_);
        set->setMaxAnswer(maxAnswer_);
        const int32_t db = leadingInt(dbKeys[i]);
        const int count = leadingInt(dbCounts[i]);
        const int connected = set->connectAll(count, host_, port_, password_, db, isUnicode_, firstLoop);
        if (count > 0 && loops.size() > 0)
            firstLoop =
                int((int64_t(firstLoop) + std::min(count, RedisClientSet::kMaxClients)) % loops.size());
        sets_.push_back(std::move(set));
        databases_.push_back({db, int32_t(i + 1), connected});
    }
}

void RedisGateway::setTimeouts(int connectMs, int replyMs) {
    connectTimeoutMs_ = connectMs;
    replyTimeoutMs_ = replyMs;
}

void RedisGateway::close() {
    for (auto& set : sets_)
        set->close("redis gateway closed");
}

RedisClientSet* RedisGateway::findSet(int32_t db) {
    for (const DatabaseEntry& entry : databases_) {
        if (entry.db == db)
            return sets_[size_t(entry.position) - 1].get();
    }
    return nullptr;
}

namespace {

RedisOutcome noDatabase() {
    return {false, std::string(), false};
}

}  // namespace

void RedisGateway::runOrder(int32_t db, const std::string& order, RedisHandler done) {
    RedisClientSet* set = findSet(db);
    if (set == nullptr) {
        done(noDatabase());
        return;
    }
    set->runCommandText(order, std::move(done), deny_.empty() ? nullptr : &deny_);
}

void RedisGateway::setValue(int32_t db, const std::string& key, const std::string& value, int64_t expiry,
                            RedisHandler done) {
    RedisClientSet* set = findSet(db);
    if (set == nullptr) {
        done(noDatabase());
        return;
    }
    set->setKey(key, value, expiry, std::move(done));
}

void RedisGateway::getValue(int32_t db, const std::string& key, RedisHandler done) {
    RedisClientSet* set = findSet(db);
    if (set == nullptr) {
        done(noDatabase());
        return;
    }
    set->getKey(key, std::move(done));
}

RedisOutcome RedisGateway::await(const std::function<void(RedisHandler)>& start) {
    if (loops_ != nullptr && loops_->currentIndex() >= 0)
        return RedisOutcome::failure("blocking redis call on a network thread");
    struct Answer {
        std::mutex mutex;
        RedisOutcome outcome;
        bool arrived = false;
    };
    auto answer = std::make_shared<Answer>();
    auto countdown = std::make_shared<Countdown>(1);
    start([answer, countdown](RedisOutcome outcome) {
        {
            std::lock_guard<std::mutex> lock(answer->mutex);
            answer->outcome = std::move(outcome);
            answer->arrived = true;
        }
        countdown->done();
    });
    bool arrived =
        loops_ == nullptr ? true : countdown->wait(*loops_, std::chrono::milliseconds(kBlockingCallLimitMs));
    std::lock_guard<std::mutex> lock(answer->mutex);
    if (!arrived || !answer->arrived)
        return RedisOutcome::failure("no answer from redis within " + std::to_string(kBlockingCallLimitMs) +
                                     " ms");
    return std::move(answer->outcome);
}

namespace {

bool settle(const RedisOutcome& outcome, std::string* result, std::string& error) {
    if (outcome.ok) {
        if (result != nullptr)
            *result = outcome.text;
        return true;
    }
    if (outcome.errorSet)
        error = outcome.text;
    return false;
}

}  // namespace

bool RedisGateway::runOrder(int32_t db, const std::string& order, std::string& result, std::string& error) {
    return settle(await([&](RedisHandler done) { runOrder(db, order, std::move(done)); }), &result, error);
}

bool RedisGateway::setValue(int32_t db, const std::string& key, const std::string& value, int64_t expiry,
                            std::string& error) {
    return settle(await([&](RedisHandler done) { setValue(db, key, value, expiry, std::move(done)); }),
                  nullptr, error);
}

bool RedisGateway::getValue(int32_t db, const std::string& key, std::string& result, std::string& error) {
    return settle(await([&](RedisHandler done) { getValue(db, key, std::move(done)); }), &result, error);
}

void RedisGateway::runOrderWire(int32_t db, const std::string& order, RedisHandler done) {
    RedisClientSet* set = findSet(db);
    if (set == nullptr) {
        done(noDatabase());
        return;
    }
    set->runCommandWire(order, std::move(done), deny_.empty() ? nullptr : &deny_);
}

void RedisGateway::setValueWire(int32_t db, std::string key, std::string value, int64_t expiry,
                                RedisHandler done) {
    RedisClientSet* set = findSet(db);
    if (set == nullptr) {
        done(noDatabase());
        return;
    }
    set->setKeyWire(std::move(key), std::move(value), expiry, std::move(done));
}

void RedisGateway::getValueWire(int32_t db, std::string key, RedisHandler done) {
    RedisClientSet* set = findSet(db);
    if (set == nullptr) {
        done(noDatabase());
        return;
    }
    set->getKeyWire(std::move(key), std::move(done));
}

}  // namespace kestrum
