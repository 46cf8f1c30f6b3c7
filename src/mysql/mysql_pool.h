// MysqlPool: the process-wide set of MySQL connections, opened once at start-up and never resized.
//
// Every SQL statement of the program goes through execute() (asynchronous) or run() (blocking). The pool is
// one admission queue: a statement takes an idle slot (preferring one of the caller's own network thread),
// or waits in the queue, holding no thread, until a slot is handed back or the wait limit passes (then it is
// answered busy). A slot runs one statement at a time; it goes back as soon as the statement's rows are
// copied out, before its caller gets them.
//
// Threads: each slot's connection is driven by one network thread of the EventLoops through MariaDB's
// non-blocking calls (its socket watched by that thread's reactor); nothing of it blocks. run() and
// heartbeat() block their caller and are refused on a network thread. open() and close() are called by the
// owner (start-up and shutdown), never from a network thread; the EventLoops run from open() to close().
//
// A connection the server dropped (error 2006/2013) is reconnected with its original settings before the slot
// goes back to the queue; the statement that hit the error reports it and is never re-run. While the server
// stays away, each statement on the slot first tries to connect again. Every slot has a connect time-out;
// statements have the statement time-out (none by default). Nothing is reconnected once the pool is closed.
//
// Sessions: no statement's session state reaches the next statement on its slot. A statement that may have
// changed its session (as the server reports it, or by its text when the server cannot tell) is followed by
// a reset of the connection (rolling back an open transaction, dropping variables, locks and temporary
// tables) and the pool's session settings (character set, database), before its outcome is handed over; a
// reset that fails reopens the connection. LOAD DATA LOCAL INFILE is refused: no file of this machine is
// read.
//
// Answers: a statement whose rows would make a JSON answer larger than maxAnswer() fails (kAnswerTooLarge)
// as soon as the count passes it; the rows read so far are freed and the connection, with the rest unread,
// is reopened.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "mysql/mysql_result.h"
#include "mysql/sql_statement.h"

namespace kestrum {

class EventLoops;
class MysqlConnection;

// Waits of the pool. The defaults are the product's; tests shorten them.
struct PoolTiming {
    // How long a statement waits for a free slot before it is answered busy: 50 attempts of a 1000 ms take
    // and a 20 ms pause.
    std::chrono::milliseconds waitLimit{50 * (1000 + 20)};
    int heartbeatSpacingMs = 10;  // pause before each slot's keep-alive check
    // Seconds clock for lastUsed; only differences matter. Empty: wall-clock seconds.
    std::function<int64_t()> nowSeconds;
};

// Settings a slot was opened with, and its last use.
// Default bound of an answer, in bytes.
inline constexpr uint64_t kDefaultMaxAnswer = 64ull * 1024 * 1024;

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

// What a slot runs for one caller: a statement, or a batch of them in order (in a transaction when asked).
struct SqlWork {
    std::vector<SqlStatement> statements;
    bool batch = false;
    bool transaction = false;
    std::function<void(MysqlResult)> done;            // a statement
    std::function<void(MysqlBatchResult)> batchDone;  // a batch
    // Answers busy: nothing ran.
    void refuse();
};

class MysqlPool {
  public:
    using Done = std::function<void(MysqlResult)>;
    using BatchDone = std::function<void(MysqlBatchResult)>;

    // `loops` must outlive the pool.
    explicit MysqlPool(EventLoops& loops, PoolTiming timing = {});
    ~MysqlPool();  // close()
    MysqlPool(const MysqlPool&) = delete;
    MysqlPool& operator=(const MysqlPool&) = delete;

    // Connects `connectionCount` clients in order; each one that connects gets the next slot number (from 1),
    // its "SET NAMES '<charset>'" and the long interactive time-out. Returns the number of slots. The pool
    // opens once: a second call changes nothing and returns the existing count. Blocks; not on a network
    // thread.
    int open(int connectionCount, const std::string& host, int port, const std::string& user,
             const std::string& password, const std::string& database, const std::string& charset,
             int connectTimeoutSeconds = 10);

    // Runs one statement; `done` gets the result exactly once, on the slot's network thread (or on the thread
    // that ends the wait). Never blocks. The text reaches the server unchanged.
    void execute(std::string statement, Done done);
    // The same, waiting for the result. Refused (busy) on a network thread.
    MysqlResult run(std::string statement);
    // A statement that may be prepared with values (SqlStatement::prepared): the same rules, the values bound
    // in the binary protocol and the rows read from it. The handle stays in the connection's statement cache.
    void execute(SqlStatement statement, Done done);
    MysqlResult run(SqlStatement statement);
    // The statements in order on one connection, which counts as one statement for the wait. The first that
    // fails ends the batch; with `transaction` they run between START TRANSACTION and COMMIT, and a failure
    // rolls back all of them. `done` gets the outcome once the connection is clean for the next caller.
    void executeBatch(std::vector<SqlStatement> statements, bool transaction, BatchDone done);

    // Keep-alive: every idle slot unused for at least thresholdSeconds gets "SET NAMES" again; one whose
    // connection turns out to be lost is reconnected. A slot busy with a statement is left alone. Blocks;
    // refused on a network thread.
    void heartbeat(int thresholdSeconds);

    // Answers every waiting statement busy, ends the statements in progress (they fail), and closes every
    // connection. Later statements are answered busy. Idempotent; not on a network thread.
    void close();

    // Bytes of the JSON answer a statement's rows may make (names, cells, punctuation); 0: no bound. Any
    // thread; statements that start afterwards use the new value.
    void setMaxAnswer(uint64_t bytes) { maxAnswer_.store(bytes, std::memory_order_relaxed); }
    uint64_t maxAnswer() const { return maxAnswer_.load(std::memory_order_relaxed); }

    // Prepared statements kept per connection (least recently used closed first); 0 closes each after use.
    void setStatementCache(size_t statements) {
        statementCache_.store(statements, std::memory_order_relaxed);
    }
    size_t statementCache() const { return statementCache_.load(std::memory_order_relaxed); }
    // Statements a batch may have (the endpoint refuses larger ones).
    void setMaxBatch(size_t statements) { maxBatch_.store(statements, std::memory_order_relaxed); }
    size_t maxBatch() const { return maxBatch_.load(std::memory_order_relaxed); }
    // Statements prepared on the server so far (not taken from a cache).
    uint64_t statementsPrepared() const { return statementsPrepared_.load(std::memory_order_relaxed); }
    // How long a statement may run, from the moment it has its slot until its outcome is handed over; 0: no
    // bound. Past it the statement fails as a lost connection (CR_SERVER_LOST, the text naming the time-out)
    // and the slot gets a fresh connection. Any thread; statements that start afterwards use the new value.
    void setStatementTimeout(std::chrono::milliseconds limit) {
        statementTimeoutMs_.store(limit.count(), std::memory_order_relaxed);
    }
    std::chrono::milliseconds statementTimeout() const {
        return std::chrono::milliseconds(statementTimeoutMs_.load(std::memory_order_relaxed));
    }

    // Resets of a session after a statement that may have changed it, so far.
    uint64_t sessionResets() const { return sessionResets_.load(std::memory_order_relaxed); }

    int slotCount() const { return static_cast<int>(slots_.size()); }
    int clientCount() const { return clientCount_; }
    // Copy of a slot's settings and lastUsed (default values for an unknown slot).
    PoolSlotInfo slotInfo(int slot) const;
    size_t idleCount() const;
    // Slots whose connection is up now (any thread).
    int connectedCount() const;

  private:
    friend class MysqlConnection;
    struct Waiter {
        SqlWork work;
        std::chrono::steady_clock::time_point deadline;
    };

    int64_t now() const;
    MysqlConnection* slotAt(int slot) const;
    // Hands a slot back: to the first waiting statement, or to the idle queue (at `position` when it is not
    // negative, else at the end). Any thread.
    void release(int slot, int position = -1);
    void submit(SqlWork work);
    bool closed() const;
    void armSweep();
    void sweep();
    static void resumeSweep(void* pool);

    EventLoops& loops_;
    PoolTiming timing_;
    std::vector<std::unique_ptr<MysqlConnection>> slots_;
    int clientCount_ = 0;
    bool opened_ = false;
    std::atomic<uint64_t> maxAnswer_{kDefaultMaxAnswer};
    std::atomic<int64_t> statementTimeoutMs_{0};
    std::atomic<uint64_t> sessionResets_{0};
    std::atomic<size_t> statementCache_{kDefaultStatementCache};
    std::atomic<size_t> maxBatch_{kDefaultMaxBatch};
    std::atomic<uint64_t> statementsPrepared_{0};

    mutable std::mutex mutex_;  // guards everything below
    std::deque<int> idle_;      // idle slot numbers, first in first out
    std::deque<Waiter> waiting_;
    bool closed_ = false;
    bool sweepArmed_ = false;
    struct Sweeper;
    std::unique_ptr<Sweeper> sweeper_;  // the wait-limit timer, on loop 0
};

// True for the client errors that mean the server closed or lost the connection.
bool isLostConnectionError(int errorNumber);

}  // namespace kestrum
