#include "redis/redis_gateway.h"

#include <climits>

#include "util/ini.h"

namespace kestrum {

int leadingInt(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > (long long)INT_MAX + 1)
            value = (long long)INT_MAX + 1;
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    return int(value);
}

RedisConfig loadRedisConfig(const std::string& runDir) {
    const std::string path = runDir + "/mod/redis/config.ini";
    IniFile ini = IniFile::load(path);
    RedisConfig config;
    config.on = ini.get("sys", "on", "1");
    config.apiUrl = ini.get("sys", "api_url", "/api/redis");
    config.host = ini.get("sys", "ip", "127.0.0.1");
    if (config.host.empty())
        config.host = "127.0.0.1";
    config.port = leadingInt(ini.get("sys", "port", "6379"));
    if (config.port == 0)
        config.port = 6379;
    config.password = ini.get("sys", "password", "");
    config.isUnicode = ini.get("sys", "isUnicode", "1") == "1";
    readSection(path, "dbsum", config.dbKeys, config.dbCounts);
    return config;
}

std::string RedisGateway::openSets(const std::string& runDir) {
    RedisConfig config = loadRedisConfig(runDir);
    apiUrl_ = config.apiUrl;
    openSets(config.host, config.port, config.password, config.dbKeys, config.dbCounts, config.isUnicode);
    return apiUrl_;
}

void RedisGateway::openSets(const std::string& host, int port, const std::string& password,
                            const std::vector<std::string>& dbKeys, const std::vector<std::string>& dbCounts,
                            bool isUnicode) {
    host_ = host.empty() ? "127.0.0.1" : host;
    port_ = port == 0 ? 6379 : port;
    password_ = password;
    isUnicode_ = isUnicode;

    sets_.clear();
    databases_.clear();
    const size_t lines = std::min(dbKeys.size(), dbCounts.size());
    for (size_t i = 0; i < lines; ++i) {
        auto set = std::make_unique<RedisClientSet>();
        set->setLendTimeout(lendTimeoutMs_);
        const int32_t db = leadingInt(dbKeys[i]);
        const int connected =
            set->connectAll(leadingInt(dbCounts[i]), host_, port_, password_, db, isUnicode_);
        sets_.push_back(std::move(set));
        databases_.push_back({db, int32_t(i + 1), connected});
    }
}

RedisClientSet* RedisGateway::findSet(int32_t db) {
    for (const DatabaseEntry& entry : databases_) {
        if (entry.db == db)
            return sets_[size_t(entry.position) - 1].get();
    }
    return nullptr;
}

bool RedisGateway::runOrder(int32_t db, const std::string& order, std::string& result, std::string& error) {
    RedisClientSet* set = findSet(db);
    return set != nullptr && set->runCommandText(order, result, error);
}

bool RedisGateway::setValue(int32_t db, const std::string& key, const std::string& value, int64_t expiry,
                            std::string& error) {
    RedisClientSet* set = findSet(db);
    return set != nullptr && set->setKey(key, value, expiry, error);
}

bool RedisGateway::getValue(int32_t db, const std::string& key, std::string& result, std::string& error) {
    RedisClientSet* set = findSet(db);
    return set != nullptr && set->getKey(key, result, error);
}

}  // namespace kestrum
