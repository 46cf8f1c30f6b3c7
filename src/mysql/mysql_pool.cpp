#include "mysql/mysql_pool.h"

#include <errmsg.h>

#include <chrono>
#include <ctime>
#include <thread>

namespace kestrum {

namespace {

constexpr const char* kInteractiveTimeout = "SET SESSION interactive_timeout = 2678400";

std::string setNamesStatement(const std::string& charset) {
    return "SET NAMES '" + charset + "'";
}

void sleepMs(int ms) {
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

bool isLostConnectionError(int errorNumber) {
    return errorNumber == CR_SERVER_GONE_ERROR || errorNumber == CR_SERVER_LOST ||
           errorNumber == CR_SERVER_LOST_EXTENDED;
}

MysqlPool::MysqlPool(PoolTiming timing) : timing_(std::move(timing)) {}

MysqlPool::~MysqlPool() = default;

int64_t MysqlPool::now() const {
    if (timing_.nowSeconds)
        return timing_.nowSeconds();
    return static_cast<int64_t>(std::time(nullptr));
}

bool MysqlPool::connectSlot(PoolSlot& slot) {
    const PoolSlotInfo& info = slot.info;
    if (!slot.client->connect(info.host, info.user, info.password, info.database, info.port,
                              slot.connectTimeoutSeconds)) {
        return false;
    }
    // Failures of the session statements are not fatal: the connection is usable with the server's defaults.
    slot.client->query(setNamesStatement(info.charset));
    slot.client->query(kInteractiveTimeout);
    return true;
}

void MysqlPool::reconnectSlot(PoolSlot& slot) {
    slot.client->close();
    slot.connected = connectSlot(slot);
}

int MysqlPool::open(int connectionCount, const std::string& host, int port, const std::string& user,
                    const std::string& password, const std::string& database, const std::string& charset,
                    int connectTimeoutSeconds) {
    if (opened_)
        return slotCount();
    opened_ = true;

    PoolSlotInfo settings;
    settings.host = host;
    settings.port = port;
    settings.user = user;
    settings.password = password;
    settings.database = database;
    settings.charset = charset;

    for (int i = 0; i < connectionCount; ++i)
        clients_.push_back(std::make_unique<MysqlClient>());
    for (int i = 0; i < connectionCount; ++i) {
        auto slot = std::make_unique<PoolSlot>();
        slot->info = settings;
        slot->info.clientIndex = i;
        slot->client = clients_[static_cast<size_t>(i)].get();
        slot->connectTimeoutSeconds = connectTimeoutSeconds;
        // A client that does not connect gets no slot and is never used.
        if (connectSlot(*slot))
            slots_.push_back(std::move(slot));
    }
    for (int k = 1; k <= slotCount(); ++k)
        idleQueue_.post(k);
    return slotCount();
}

MysqlPool::PoolSlot* MysqlPool::slotAt(int slot) const {
    if (slot < 1 || slot > static_cast<int>(slots_.size()))
        return nullptr;
    return slots_[static_cast<size_t>(slot - 1)].get();
}

int MysqlPool::executeSql(std::string_view statement, MYSQL_RES*& result, bool& ok, int& errorNumber,
                          std::string& errorText) {
    ok = false;
    result = nullptr;
    errorNumber = 0;
    errorText.clear();
    int number = idleQueue_.take(timing_.takeTimeoutMs);
    PoolSlot* slot = slotAt(number);
    if (!slot)
        return 0;

    std::lock_guard lock(slot->lock);
    slot->inUse = true;
    slot->info.lastUsed = now();
    if (!slot->connected)
        reconnectSlot(*slot);
    ok = slot->client->query(statement);
    if (ok) {
        result = slot->client->storeResult();
        // An error while the rows arrive leaves no result and an error number: the statement failed. A
        // procedure call may send further results; a failure among them fails the statement too.
        if ((result || slot->client->lastErrno() == 0) && slot->client->discardPendingResults())
            return number;
        MysqlClient::freeResult(result);
        result = nullptr;
        ok = false;
    }
    errorNumber = slot->client->lastErrno();
    errorText = slot->client->lastError();
    if (isLostConnectionError(errorNumber)) {
        // The server closed this connection (restart, network cut). Open a fresh one now so the next
        // statement on this slot works; the failing statement is reported, not repeated.
        reconnectSlot(*slot);
    }
    return number;
}

void MysqlPool::endSql(int slot, MYSQL_RES* result) {
    PoolSlot* entry = slotAt(slot);
    if (!entry)
        return;
    MysqlClient::freeResult(result);
    {
        std::lock_guard lock(entry->lock);
        entry->inUse = false;
    }
    idleQueue_.post(slot);
}

bool MysqlPool::runStatement(std::string_view statement, int& slot, MYSQL_RES*& result, int& errorNumber,
                             std::string& errorText) {
    slot = 0;
    result = nullptr;
    errorNumber = 0;
    errorText.clear();
    for (int attempt = 0; attempt < timing_.attempts; ++attempt) {
        bool ok = false;
        MYSQL_RES* stored = nullptr;
        int number = executeSql(statement, stored, ok, errorNumber, errorText);
        if (number != 0 && ok) {
            slot = number;
            result = stored;
            return true;
        }
        if (number != 0) {
            endSql(number, stored);
            return true;  // slot 0: failed, errorNumber/errorText filled
        }
        sleepMs(timing_.retryPauseMs);
    }
    return false;
}

void MysqlPool::heartbeat(int thresholdSeconds) {
    for (int k = 1; k <= slotCount(); ++k) {
        sleepMs(timing_.heartbeatSpacingMs);
        PoolSlot& slot = *slotAt(k);
        std::lock_guard lock(slot.lock);
        int64_t current = now();
        if (static_cast<double>(current - slot.info.lastUsed) + 1e-7 <
            static_cast<double>(thresholdSeconds)) {
            continue;
        }
        slot.info.lastUsed = current;
        if (slot.client->query(setNamesStatement(slot.info.charset)))
            continue;
        // A slot that a caller holds may still have a result set of this connection open: only idle slots are
        // reconnected here; a held one is mended by its next failing statement.
        if (!slot.inUse && isLostConnectionError(slot.client->lastErrno()))
            reconnectSlot(slot);
    }
}

MysqlClient* MysqlPool::clientForSlot(int slot) {
    PoolSlot* entry = slotAt(slot);
    return entry ? entry->client : nullptr;
}

PoolSlotInfo MysqlPool::slotInfo(int slot) const {
    PoolSlot* entry = slotAt(slot);
    if (!entry)
        return {};
    std::lock_guard lock(entry->lock);
    return entry->info;
}

}  // namespace kestrum
