#include "redis/redis_client_set.h"

namespace kestrum {

int RedisClientSet::connectAll(int count, const std::string& host, int port, const std::string& password,
                               int db, bool isUnicode) {
    host_ = host.empty() ? "127.0.0.1" : host;
    port_ = port == 0 ? 6379 : port;
    password_ = password;
    db_ = db;
    isUnicode_ = isUnicode;

    idleQueue_.clear();
    clients_.clear();
    for (int i = 0; i < count && i < kMaxClients; ++i) {
        auto client = std::make_unique<RedisSyncClient>();
        std::string error;
        if (client->connect(host_, port_, password_, db_, kConnectTimeoutMs, isUnicode_, error))
            clients_.push_back(std::move(client));
    }
    for (size_t number = 1; number <= clients_.size(); ++number)
        idleQueue_.post(int32_t(number));
    return int(clients_.size());
}

template <typename Run>
bool RedisClientSet::lend(Run&& run) {
    int32_t number = idleQueue_.take(lendTimeoutMs_);
    if (number <= 0 || size_t(number) > clients_.size())
        return false;
    RedisSyncClient& client = *clients_[size_t(number) - 1];
    if (!client.checkStatus())
        client.reconnect();
    bool ok = run(client);
    idleQueue_.post(number);
    return ok;
}

bool RedisClientSet::runCommandText(const std::string& command, std::string& result, std::string& error) {
    return lend([&](RedisSyncClient& client) { return client.runCommand(&result, error, command); });
}

bool RedisClientSet::setKey(const std::string& key, const std::string& value, int64_t expiry,
                            std::string& error) {
    bool ok = lend([&](RedisSyncClient& client) {
        return client.runCommand(nullptr, error, "SET {1} {2}", {key, value});
    });
    if (!ok || expiry <= 0)
        return ok;
    std::string expiryError;
    if (!expireKey(key, expiry, expiryError)) {
        error = expiryError;
        return false;
    }
    return true;
}

bool RedisClientSet::getKey(const std::string& key, std::string& result, std::string& error) {
    return lend([&](RedisSyncClient& client) { return client.runCommand(&result, error, "GET {1}", {key}); });
}

bool RedisClientSet::expireKey(const std::string& key, int64_t expiry, std::string& error) {
    const char* command = std::to_string(expiry).size() == 13 ? "PEXPIREAT {1} {2}" : "PEXPIRE {1} {2}";
    return lend([&](RedisSyncClient& client) {
        return client.runCommand(nullptr, error, command, {key, expiry});
    });
}

bool RedisClientSet::persistKey(const std::string& key, std::string& error) {
    return lend(
        [&](RedisSyncClient& client) { return client.runCommand(nullptr, error, "PERSIST {1}", {key}); });
}

}  // namespace kestrum
