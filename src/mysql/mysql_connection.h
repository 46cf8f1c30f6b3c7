// MysqlConnection: one slot of the pool, its MariaDB connection and the job it runs, driven through the
// library's non-blocking calls on the slot's network thread (the socket watched by that thread's reactor).
//
// A job is a chain of phases (connect, session settings, statement, rows, session reset, ...). Each phase
// starts a library call; a call that has to wait for the socket or a time-out resumes from the reactor, one
// that completes at once goes straight to the next phase. Rows are copied out as they arrive, in slices, so a
// large result never holds the thread for long.
//
// Threads: everything but `running`, `connected` and `lastUsed` is touched only on the slot's loop. The pool
// starts a job (beginOpen, beginWork, beginKeepAlive) on that loop once it has taken the slot; the job
// hands the slot back when it is over.
#pragma once

#include <mysql.h>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mysql/mysql_client.h"
#include "mysql/mysql_pool.h"
#include "mysql/mysql_prepared.h"
#include "mysql/mysql_result.h"
#include "mysql/statement_cache.h"

namespace kestrum {

class MysqlConnection {
  public:
    using Done = MysqlPool::Done;
    using BatchDone = MysqlPool::BatchDone;

    MysqlConnection(MysqlPool& pool, asio::io_context& context)
        : pool(pool), context(context), timer(context), deadline(context) {}
    ~MysqlConnection();  // closeClient()
    MysqlConnection(const MysqlConnection&) = delete;
    MysqlConnection& operator=(const MysqlConnection&) = delete;

    // The jobs; each is begun on the slot's loop, with `running` already set by the pool. A statement or a
    // batch: text statements in the text protocol, prepared ones through the statement cache.
    void beginWork(SqlWork work);
    void beginOpen(std::function<void(bool)> callback);
    void beginKeepAlive(int thresholdSeconds, std::function<void(bool)> callback);
    // Shutdown: a job in progress fails at its next socket operation. On the slot's loop.
    void abort();
    // Takes the socket out of the reactor (cancelling its waits). On the slot's loop, or with the loops
    // stopped.
    void forgetSocket();
    // Closes the connection and frees its prepared statements (off the network threads, no job running).
    void closeClient();
    // Shutdown, after abort(): forgetSocket() and the statement time-out cancelled. On the slot's loop.
    void stop();

    MysqlPool& pool;
    asio::io_context& context;
    int loop = 0;
    int number = 0;  // 0 while opening
    PoolSlotInfo info;
    std::atomic<int64_t> lastUsed{0};
    int connectTimeoutSeconds = 0;
    MysqlClient client;
    std::atomic<bool> connected{false};  // written on the slot's thread, read by connectedCount()
    std::atomic<bool> running{false};    // a job is in progress
    int queuePosition = -1;              // kKeepAlive: where the slot stood in the idle queue

  private:
    enum class Job { kNone, kOpen, kStatement, kKeepAlive };
    enum class Phase {
        kConnect,
        kSetNames,
        kSetTimeout,
        kSetTracking,
        kQuery,
        kFetch,
        kNextResult,
        kMoreResults,
        kReset,
        kSelectDb,
        kBegin,            // START TRANSACTION of a batch
        kCommit,           // its COMMIT
        kRollback,         // its ROLLBACK after a failure
        kPrepared,         // a prepared statement (PreparedCall)
        kCloseStatements,  // the cached statements closed before a session reset
    };
    // What the job does after a phase: run the next phase now, wait for the socket or a time-out
    // (`waitStatus`), wait for its turn on the loop after a slice of rows, or nothing more (it is over).
    enum class Progress { kNext, kWait, kParked, kOver };

    MYSQL* handle() const { return client.handle(); }

    // The outcome of a library call that was started or continued: its wait status kept for wait().
    Progress called(int status);
    void advance(Progress progress);
    static void abandon(void* target);
    void recoverAfterFault(uint64_t abandonedJob);
    void onDeadline(uint64_t begun);
    void shutdownSocket();
    // The statement's callback, taken to be called; its time-out is cancelled.
    Done takeDone();
    void reportTimeOut();
    Progress step();
    Progress startConnect();
    Progress startQuery(Phase next, const std::string& text);
    Progress continueCall(int ready);
    void wait(int status);
    void onWait(unsigned round, const asio::error_code& error, int ready);
    Progress failStatement();
    Progress concludeStatement(bool ran);
    bool sessionTouched(bool ran) const;
    Progress endReset();
    Progress refuseAnswer(uint64_t limit);
    MysqlResult failedResult() const;  // with errorNumber and errorText
    Progress finishRows();
    Progress finishConnect(bool ok);
    Progress endJob();
    const SqlStatement& current() const { return work.statements[index]; }
    Progress startStatement();
    Progress startPrepared();
    Progress prepared(int status);  // the outcome of a PreparedCall call
    Progress preparedOver();
    void beginRows(MYSQL_RES* meta);
    // Counts a row towards the answer's bound and keeps it; false when the bound is passed.
    bool keepRow(char* const* row, const unsigned long* lengths, unsigned int columns);
    bool sliceFull(const unsigned long* lengths, unsigned int columns);
    Progress startSessionReset();
    Progress startReset();
    Progress nextInBatch();
    Progress failBatch();
    Progress endBatch();
    Progress deliverBatch();
    // Handles of a connection that is going away: freed once the connection is closed.
    std::vector<MYSQL_STMT*> takeStatements();
    void freeStatements(std::vector<MYSQL_STMT*> handles);

    // The server reports changes of session state (set at connect); without it every statement that is not
    // a plain select is followed by a reset.
    bool tracking = false;
    unsigned int baseStatus = 0;  // the server status of a fresh session (its autocommit bit)
    uint64_t jobs = 0;            // jobs begun so far: names the one in progress

    std::optional<asio::posix::stream_descriptor> socket;
    int socketFd = -1;
    asio::steady_timer timer;
    asio::steady_timer deadline;  // the statement's time-out (statement_timeout)
    unsigned generation = 0;      // tells stale wait completions from the current one
    int waitStatus = 0;           // what the last call that has to wait waits for (MYSQL_WAIT_*)

    // The job in progress.
    Job job = Job::kNone;
    Phase phase = Phase::kConnect;
    bool reconnectOnly = false;  // a connect after a lost connection: no statement follows
    SqlWork work;
    size_t index = 0;  // the statement of `work` in progress
    uint64_t affected = 0;
    uint64_t insertId = 0;
    // A batch: the results so far, whether it holds a transaction, whether a statement may have changed the
    // session, and its failure.
    std::vector<MysqlResult> batchResults;
    bool inTransaction = false;
    bool batchTouched = false;
    bool batchFailed = false;
    size_t failedIndex = 0;
    int batchErrorNumber = 0;
    std::string batchErrorText;
    PreparedCall call;
    uint64_t preparesCounted = 0;  // call.prepares() already added to the pool's count
    StatementCache cache;
    std::vector<MYSQL_STMT*> unclosed;   // handles left open when a statement stopped short
    bool timedOut = false;               // the statement's time-out has passed: it fails with it
    std::function<void(bool)> finished;  // kOpen / kKeepAlive: called with the outcome on the loop
    MYSQL* connectRet = nullptr;
    int intRet = 0;
    MYSQL_RES* reading = nullptr;  // the unbuffered result whose rows are being copied
    MYSQL_ROW rowRet = nullptr;
    std::unique_ptr<MysqlResult::Data> data;
    size_t sliceBytes = 0;        // copied since the loop last ran other handlers
    bool skipping = false;        // the rows being read are a further result's: dropped, not copied
    uint64_t answerBytes = 0;     // size of the rows so far as a JSON answer
    uint64_t rowOverhead = 0;     // JSON punctuation and column names of one row
    bool dropConnection = false;  // the statement left unread data behind: reconnect before serving again
    // The session of the statement just run is being reset; its outcome is handed over afterwards.
    bool resetting = false;
    bool statementRan = false;
    int errorNumber = 0;
    std::string errorText;
    int statementErrorNumber = 0;
    std::string statementErrorText;
};

}  // namespace kestrum
