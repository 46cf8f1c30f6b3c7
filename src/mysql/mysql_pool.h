// MysqlPool: the process-wide set of MySQL connections, opened once at start-up and never resized.
//
// Every SQL statement of the program goes through runStatement (or executeSql) and comes back with endSql.
// The IdleSlotQueue is the only admission gate: a slot number belongs to one thread from take to post. Each
// slot's lock serialises the statement phase (query + storeResult) with the keep-alive on the same
// connection; rows of a stored result are read, and the result freed, without the lock. At most one slot lock
// is held at a time, and none while waiting on the queue or sleeping.
//
// A connection the server dropped (error 2006/2013) is reconnected with its original settings under its lock
// before the slot goes back to the queue; the statement that hit the error still reports it and is never
// re-run. While the server stays away, each statement on the slot first tries to connect again. Every slot
// has a connect time-out and no read time-out.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "util/idle_slot_queue.h"
#include "mysql/mysql_client.h"

namespace kestrum {

// Waits of the pool. The defaults are the product's; tests shorten them.
struct PoolTiming {
    int takeTimeoutMs = 1000;     // wait for an idle slot per attempt
    int retryPauseMs = 20;        // pause between attempts
    int attempts = 50;            // attempts before runStatement gives up
    int heartbeatSpacingMs = 10;  // pause before each slot's keep-alive check
    // Seconds clock for lastUsed; only differences matter. Empty: wall-clock seconds.
    std::function<int64_t()> nowSeconds;
};

// Settings a slot was opened with, and its last use.
struct PoolSlotInfo {
    std::string host;
    int32_t port = 0;
    std::string user;
    std::string password;
    std::string database;
    std::string charset;
    int64_t lastUsed = 0;      // nowSeconds of the last statement or keep-alive; 0 after opening
    int32_t clientIndex = -1;  // 0-based position of the slot's connection among the attempts
};

class MysqlPool {
  public:
    explicit MysqlPool(PoolTiming timing = {});
    ~MysqlPool();
    MysqlPool(const MysqlPool&) = delete;
    MysqlPool& operator=(const MysqlPool&) = delete;

    // Connects `connectionCount` clients in order; each one that connects gets the next slot number (from 1),
    // its "SET NAMES '<charset>'" and the long interactive time-out. Returns the number of slots. The pool
    // opens once: a second call changes nothing and returns the existing count.
    int open(int connectionCount, const std::string& host, int port, const std::string& user,
             const std::string& password, const std::string& database, const std::string& charset,
             int connectTimeoutSeconds = 10);

    // Takes an idle slot (one wait of takeTimeoutMs) and runs the statement on it. Returns the slot number,
    // or 0 when no slot became free (nothing ran). ok tells whether the statement succeeded; result is its
    // stored result (null for statements without rows). On failure errorNumber/errorText carry the cause. The
    // caller owns the slot until endSql.
    int executeSql(std::string_view statement, MYSQL_RES*& result, bool& ok, int& errorNumber,
                   std::string& errorText);
    // Frees the result (may be null) and puts the slot back in the idle queue. Slot 0 does nothing.
    void endSql(int slot, MYSQL_RES* result);

    // Runs one statement, retrying while every slot is busy.
    //  - true, slot != 0: the statement ran; the caller owns slot and result until it calls endSql exactly
    //  once.
    //  - true, slot == 0: the statement failed; errorNumber/errorText are filled and the slot is already
    //  back.
    //  - false: no slot became free within the attempts; nothing ran.
    bool runStatement(std::string_view statement, int& slot, MYSQL_RES*& result, int& errorNumber,
                      std::string& errorText);

    // Keep-alive: every slot unused for at least thresholdSeconds gets "SET NAMES" again. An idle slot whose
    // connection turns out to be lost is reconnected.
    void heartbeat(int thresholdSeconds);

    // The client of a slot, for reading its stored result; null for an unknown slot.
    MysqlClient* clientForSlot(int slot);
    int slotCount() const { return static_cast<int>(slots_.size()); }
    int clientCount() const { return static_cast<int>(clients_.size()); }
    // Copy of a slot's settings and lastUsed (default values for an unknown slot).
    PoolSlotInfo slotInfo(int slot) const;
    size_t idleCount() const { return idleQueue_.size(); }

  private:
    struct PoolSlot {
        PoolSlotInfo info;
        MysqlClient* client = nullptr;
        bool inUse = false;     // between executeSql and endSql
        bool connected = true;  // false after a reconnect failed: the next statement tries again first
        int connectTimeoutSeconds = 0;
        mutable std::mutex lock;
    };

    PoolSlot* slotAt(int slot) const;
    int64_t now() const;
    // Connects the client with the slot's settings and sends the two session statements. Slot lock held.
    static bool connectSlot(PoolSlot& slot);
    // Replaces the slot's connection with a fresh one. Slot lock held.
    static void reconnectSlot(PoolSlot& slot);

    PoolTiming timing_;
    bool opened_ = false;
    std::vector<std::unique_ptr<MysqlClient>> clients_;
    std::vector<std::unique_ptr<PoolSlot>> slots_;
    IdleSlotQueue idleQueue_;
};

// True for the client errors that mean the server closed or lost the connection.
bool isLostConnectionError(int errorNumber);

}  // namespace kestrum
