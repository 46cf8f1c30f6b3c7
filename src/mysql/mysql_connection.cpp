// The slot's connection: its jobs as chains of MariaDB's non-blocking calls, the socket watch that resumes
// them and the recovery after a fault inside one.
#include "mysql/mysql_connection.h"

#include <errmsg.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <asio/post.hpp>
#include <chrono>
#include <string_view>
#include <utility>

#include "util/recovery_point.h"

namespace kestrum {

namespace {

constexpr const char* kInteractiveTimeout = "SET SESSION interactive_timeout = 2678400";
// The server reports every change of session state in the status of the statement that made it, so an
// ordinary statement is known to have left its session as it found it.
constexpr const char* kSessionTracking =
    "SET SESSION session_track_state_change = 1, session_track_schema = 1, "
    "session_track_system_variables = '*', session_track_transaction_info = 'CHARACTERISTICS'";
// The JSON punctuation of an answer around its rows: {"errcode":200,"errmsg":"success","data":[...]}.
constexpr uint64_t kEnvelopeBytes = 48;
// Row bytes copied before the network thread turns to its other handlers.
constexpr size_t kSliceBytes = 256 * 1024;

// Bytes of a cell once written as a JSON string: a quote, a backslash or a slash takes two, a control
// character two or six ("\n", "\u0000"). Null (SQL NULL) takes none.
uint64_t escapedSize(const char* cell, unsigned long length) {
    if (cell == nullptr)
        return 0;
    uint64_t size = length;
    for (unsigned long i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(cell[i]);
        if (c >= 0x20 && c != '"' && c != '\\' && c != '/')
            continue;
        const bool shortEscape = c >= 0x20 || c == '\b' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
        size += shortEscape ? 1 : 5;
    }
    return size;
}

// Empty text as null, so that the library's default applies (local host, no password, no default database).
const char* orNull(const std::string& text) {
    return text.empty() ? nullptr : text.c_str();
}

std::string setNamesStatement(const std::string& charset) {
    return "SET NAMES '" + charset + "'";
}

// What a statement may do to its session, judged from its text: a select, insert, update, delete or replace
// that names no user variable and takes no named lock leaves it alone unless the server says otherwise
// (a select can assign @x or call GET_LOCK without the server reporting a change of state).
enum class StatementShape { kPlainSelect, kPlainWrite, kOther };

char lowered(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool containsFolded(std::string_view text, std::string_view lowerNeedle) {
    if (text.size() < lowerNeedle.size())
        return false;
    for (size_t i = 0; i + lowerNeedle.size() <= text.size(); ++i) {
        size_t k = 0;
        while (k < lowerNeedle.size() && lowered(text[i + k]) == lowerNeedle[k])
            ++k;
        if (k == lowerNeedle.size())
            return true;
    }
    return false;
}

StatementShape statementShape(std::string_view text) {
    size_t begin = 0;
    while (begin < text.size() &&
           (text[begin] == ' ' || text[begin] == '\t' || text[begin] == '\r' || text[begin] == '\n'))
        ++begin;
    size_t end = begin;
    while (end < text.size() &&
           ((text[end] >= 'a' && text[end] <= 'z') || (text[end] >= 'A' && text[end] <= 'Z')))
        ++end;
    if (end < text.size()) {
        char next = text[end];
        if ((next >= '0' && next <= '9') || next == '_' || next == '$' ||
            static_cast<unsigned char>(next) >= 0x80)
            return StatementShape::kOther;
    }
    std::string word;
    for (size_t i = begin; i < end; ++i)
        word += lowered(text[i]);
    StatementShape shape = StatementShape::kOther;
    if (word == "select")
        shape = StatementShape::kPlainSelect;
    else if (word == "insert" || word == "update" || word == "delete" || word == "replace")
        shape = StatementShape::kPlainWrite;
    if (shape != StatementShape::kOther &&
        (text.find('@') != std::string_view::npos || containsFolded(text, "get_lock")))
        return StatementShape::kOther;
    return shape;
}

}  // namespace

bool isLostConnectionError(int errorNumber) {
    return errorNumber == CR_SERVER_GONE_ERROR || errorNumber == CR_SERVER_LOST ||
           errorNumber == CR_SERVER_LOST_EXTENDED;
}

// The reactor watches a duplicate of the client library's descriptor: the library may close its own (a
// failed connect, a lost connection) without the reactor ever holding a number that is reused elsewhere.
void MysqlConnection::forgetSocket() {
    ++generation;
    timer.cancel();
    if (socket) {
        asio::error_code ec;
        socket->cancel(ec);
        socket.reset();  // closes the duplicate
    }
    socketFd = -1;
}

MysqlConnection::~MysqlConnection() {
    closeClient();
}

void MysqlConnection::beginWork(SqlWork next) {
    job = Job::kStatement;
    ++jobs;
    work = std::move(next);
    index = 0;
    batchResults.clear();
    inTransaction = false;
    batchTouched = false;
    batchFailed = false;
    failedIndex = 0;
    batchErrorNumber = 0;
    batchErrorText.clear();
    errorNumber = 0;
    errorText.clear();
    reconnectOnly = false;
    dropConnection = false;
    resetting = false;
    answerBytes = kEnvelopeBytes;  // a batch's rows make one answer
    timedOut = false;
    lastUsed = pool.now();
    const std::chrono::milliseconds limit = pool.statementTimeout();
    if (limit.count() > 0) {
        deadline.expires_after(limit);
        deadline.async_wait([this, begun = jobs](const asio::error_code& error) {
            if (!error)
                onDeadline(begun);
        });
    }
    if (!connected) {
        advance(startConnect());
        return;
    }
    advance(startStatement());
}

// The statement `index` of the work (after the batch's START TRANSACTION, when it asks for one).
MysqlConnection::Progress MysqlConnection::startStatement() {
    if (work.transaction && !inTransaction && index == 0)
        return startQuery(Phase::kBegin, "START TRANSACTION");
    affected = 0;
    insertId = 0;
    errorNumber = 0;
    errorText.clear();
    if (current().prepared)
        return startPrepared();
    return startQuery(Phase::kQuery, current().text);
}

MysqlConnection::Progress MysqlConnection::startPrepared() {
    if (cache.capacity() != pool.statementCache())
        call.closeLater(cache.setCapacity(pool.statementCache()));
    call.onColumns = [this](MYSQL_RES* meta) { beginRows(meta); };
    call.onRow = [this](char** cells, unsigned long* lengths) {
        const auto columns = static_cast<unsigned int>(data->fields.size());
        if (!keepRow(cells, lengths, columns))
            return PreparedCall::Take::kStop;
        return sliceFull(lengths, columns) ? PreparedCall::Take::kYield : PreparedCall::Take::kNext;
    };
    phase = Phase::kPrepared;
    return prepared(call.start(handle(), cache, current()));
}

MysqlConnection::Progress MysqlConnection::prepared(int status) {
    if (call.prepares() != preparesCounted) {
        pool.statementsPrepared_.fetch_add(call.prepares() - preparesCounted, std::memory_order_relaxed);
        preparesCounted = call.prepares();
    }
    if (status == PreparedCall::kOver)
        return phase == Phase::kCloseStatements ? startReset() : preparedOver();
    if (status == PreparedCall::kYielded) {
        // A slice of rows is copied: the loop's other handlers run before the next row.
        unsigned round = ++generation;
        asio::post(context, [this, round] {
            if (round != generation)
                return;
            ++generation;
            advance(prepared(call.fetchNext()));
        });
        return Progress::kParked;
    }
    return called(status);
}

MysqlConnection::Progress MysqlConnection::preparedOver() {
    if (call.refused()) {
        for (MYSQL_STMT* stmt : call.takeUnclosed())
            unclosed.push_back(stmt);
        return refuseAnswer(pool.maxAnswer());
    }
    if (call.ok()) {
        affected = call.affectedRows();
        insertId = call.insertId();
        return concludeStatement(true);
    }
    errorNumber = call.errorNumber();
    errorText = call.errorText();
    return concludeStatement(false);
}

void MysqlConnection::beginRows(MYSQL_RES* meta) {
    data = std::make_unique<MysqlResult::Data>();
    skipping = false;
    if (!work.batch)
        answerBytes = kEnvelopeBytes;
    rowOverhead = 3;  // {},
    for (unsigned int c = 0; c < mysql_num_fields(meta); ++c) {
        data->fields.push_back(MysqlClient::fieldInfo(meta, static_cast<int>(c)));
        rowOverhead += data->fields.back().name.size() + 6;  // "name":"",
    }
    sliceBytes = 0;
}

bool MysqlConnection::keepRow(char* const* row, const unsigned long* lengths, unsigned int columns) {
    uint64_t rowBytes = rowOverhead;
    for (unsigned int c = 0; c < columns; ++c)
        rowBytes += escapedSize(row[c], lengths[c]);
    answerBytes += rowBytes;
    const uint64_t limit = pool.maxAnswer();
    if (limit != 0 && answerBytes > limit)
        return false;
    data->addRow(row, lengths);
    return true;
}

bool MysqlConnection::sliceFull(const unsigned long* lengths, unsigned int columns) {
    for (unsigned int c = 0; c < columns; ++c)
        sliceBytes += lengths[c] + 16;
    if (sliceBytes < kSliceBytes)
        return false;
    sliceBytes = 0;
    return true;
}

std::vector<MYSQL_STMT*> MysqlConnection::takeStatements() {
    std::vector<MYSQL_STMT*> handles = cache.takeAll();
    for (MYSQL_STMT* stmt : call.takeUnclosed())
        handles.push_back(stmt);
    for (MYSQL_STMT* stmt : unclosed)
        handles.push_back(stmt);
    unclosed.clear();
    return handles;
}

// Once their connection is closed the library has detached the handles from it: closing them only frees
// them.
void MysqlConnection::freeStatements(std::vector<MYSQL_STMT*> handles) {
    for (MYSQL_STMT* stmt : handles)
        mysql_stmt_close(stmt);
}

void MysqlConnection::closeClient() {
    std::vector<MYSQL_STMT*> handles = takeStatements();
    client.close();
    freeStatements(std::move(handles));
}

// The statement has had its time: the connection is shut down, so the call in progress fails as a lost
// connection at its next socket operation (at once when it waits for the socket), the statement fails with
// the time-out and the slot gets a fresh connection.
void MysqlConnection::onDeadline(uint64_t begun) {
    if (job != Job::kStatement || jobs != begun || (!work.done && !work.batchDone) || timedOut)
        return;
    timedOut = true;
    shutdownSocket();
}

void MysqlConnection::shutdownSocket() {
    if (handle() == nullptr)
        return;
    int fd = static_cast<int>(mysql_get_socket(handle()));
    if (fd >= 0)
        ::shutdown(fd, SHUT_RDWR);
}

MysqlConnection::Done MysqlConnection::takeDone() {
    deadline.cancel();
    return std::exchange(work.done, nullptr);
}

// After a statement ran into its time-out, whatever the library reports: the time-out, as a lost connection.
void MysqlConnection::reportTimeOut() {
    const int64_t ms = pool.statementTimeout().count();
    errorNumber = CR_SERVER_LOST;
    errorText = "no answer within statement_timeout (" +
                (ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms") +
                "): statement aborted, connection reopened";
}

void MysqlConnection::beginOpen(std::function<void(bool)> callback) {
    job = Job::kOpen;
    ++jobs;
    finished = std::move(callback);
    advance(startConnect());
}

void MysqlConnection::beginKeepAlive(int thresholdSeconds, std::function<void(bool)> callback) {
    job = Job::kKeepAlive;
    ++jobs;
    finished = std::move(callback);
    int64_t current = pool.now();
    if (static_cast<double>(current - lastUsed.load()) + 1e-7 < static_cast<double>(thresholdSeconds)) {
        advance(endJob());
        return;
    }
    lastUsed = current;
    if (!connected) {
        reconnectOnly = true;
        advance(startConnect());
        return;
    }
    advance(startQuery(Phase::kSetNames, setNamesStatement(info.charset)));
}

MysqlConnection::Progress MysqlConnection::startConnect() {
    forgetSocket();
    connected = false;
    phase = Phase::kConnect;
    if (job != Job::kOpen && pool.closed()) {
        // Shutting down: a lost connection stays lost.
        errorNumber = CR_UNKNOWN_ERROR;
        errorText = "the pool is closed";
        return finishConnect(false);
    }
    // The server forgets the statements of the old connection; the new handle replaces (closes) the old one.
    std::vector<MYSQL_STMT*> stale = takeStatements();
    const bool made = client.prepareNonblocking(connectTimeoutSeconds);
    freeStatements(std::move(stale));
    if (!made) {
        errorNumber = CR_OUT_OF_MEMORY;
        errorText = "client handle could not be created";
        return finishConnect(false);
    }
    connectRet = nullptr;
    return called(mysql_real_connect_start(&connectRet, handle(), orNull(info.host), orNull(info.user),
                                           orNull(info.password), orNull(info.database),
                                           static_cast<unsigned int>(info.port), nullptr, 0));
}

MysqlConnection::Progress MysqlConnection::startQuery(Phase next, const std::string& text) {
    phase = next;
    intRet = 0;
    return called(
        mysql_real_query_start(&intRet, handle(), text.data(), static_cast<unsigned long>(text.size())));
}

MysqlConnection::Progress MysqlConnection::continueCall(int ready) {
    switch (phase) {
        case Phase::kConnect:
            return called(mysql_real_connect_cont(&connectRet, handle(), ready));
        case Phase::kSetNames:
        case Phase::kSetTimeout:
        case Phase::kSetTracking:
        case Phase::kQuery:
            return called(mysql_real_query_cont(&intRet, handle(), ready));
        case Phase::kReset:
            return called(mysql_reset_connection_cont(&intRet, handle(), ready));
        case Phase::kSelectDb:
            return called(mysql_select_db_cont(&intRet, handle(), ready));
        case Phase::kFetch:
            return called(mysql_fetch_row_cont(&rowRet, reading, ready));
        case Phase::kNextResult:
            return called(mysql_next_result_cont(&intRet, handle(), ready));
        case Phase::kMoreResults:
            return Progress::kNext;  // never waits
        case Phase::kBegin:
        case Phase::kCommit:
        case Phase::kRollback:
            return called(mysql_real_query_cont(&intRet, handle(), ready));
        case Phase::kPrepared:
        case Phase::kCloseStatements:
            return prepared(call.resume(ready));
    }
    return Progress::kNext;
}

MysqlConnection::Progress MysqlConnection::called(int status) {
    waitStatus = status;
    return status == 0 ? Progress::kNext : Progress::kWait;
}

// Runs completed phases until one has to wait (then waits), the job is over or a slice of rows yields the
// thread.
void MysqlConnection::advance(Progress progress) {
    WorkUnit work("mysql slot", static_cast<uint64_t>(number), &MysqlConnection::abandon, this);
    while (progress == Progress::kNext)
        progress = step();
    if (progress == Progress::kWait)
        wait(waitStatus);
}

// In the recovery from a fault (or an exception) inside one of this slot's events: what the job had reached
// is unknown, so the clean-up runs on the loop afterwards. Nothing of the slot's own state is touched here.
void MysqlConnection::abandon(void* target) {
    auto* slot = static_cast<MysqlConnection*>(target);
    const uint64_t abandonedJob = slot->job != Job::kNone ? slot->jobs : 0;
    asio::post(slot->context, [slot, abandonedJob] { slot->recoverAfterFault(abandonedJob); });
}

// After an abandoned event: the statement in progress, if any, fails; the connection (whose protocol state
// is unknown) is dropped without a goodbye and reopened by the next statement; a waiting open() or
// keep-alive goes on. Then the slot serves again. Only the job the abandoned event had: one begun since is
// not touched. (A fault in a caller's callback after its rows were handed over finds no job: the slot was
// already back.)
void MysqlConnection::recoverAfterFault(uint64_t abandonedJob) {
    if (abandonedJob == 0 || job == Job::kNone || jobs != abandonedJob)
        return;
    forgetSocket();
    // The library's handle may be in the middle of a call: its memory is given up rather than freed, and
    // so are the statement handles that belong to it.
    reading = nullptr;
    data.reset();
    cache.takeAll();
    call.takeUnclosed();
    unclosed.clear();
    client.abandon();
    connected = false;
    errorNumber = CR_UNKNOWN_ERROR;
    errorText = "the statement was abandoned after a fault";
    resetting = false;
    dropConnection = false;
    if (job != Job::kStatement) {
        reconnectOnly = false;
        endJob();  // open or keep-alive: reports the failure to whoever waits and hands the slot back
        return;
    }
    deadline.cancel();
    SqlWork abandoned = std::move(work);
    work = SqlWork{};
    batchResults.clear();
    job = Job::kNone;
    running = false;
    pool.release(number);
    if (abandoned.batch) {
        MysqlBatchResult outcome;
        outcome.status = MysqlResult::Status::kFailed;
        outcome.failedIndex = index;
        outcome.errorNumber = errorNumber;
        outcome.errorText = errorText;
        if (abandoned.batchDone)
            abandoned.batchDone(std::move(outcome));
    } else if (abandoned.done) {
        abandoned.done(failedResult());
    }
}

void MysqlConnection::wait(int status) {
    int fd = static_cast<int>(mysql_get_socket(handle()));
    // While connecting the library may replace its socket (another address of the host): watch it afresh.
    if (fd != socketFd || phase == Phase::kConnect || !socket) {
        forgetSocket();
        int copy = fd >= 0 ? ::dup(fd) : -1;
        if (copy >= 0) {
            asio::error_code ec;
            socket.emplace(context);
            socket->assign(copy, ec);
            if (ec) {
                socket.reset();
                ::close(copy);
            }
        }
        if (!socket) {
            // Without the reactor the call cannot go on: end it as a lost connection.
            if (fd >= 0)
                ::shutdown(fd, SHUT_RDWR);
            advance(continueCall(status & (MYSQL_WAIT_READ | MYSQL_WAIT_WRITE)));
            return;
        }
        socketFd = fd;
    }
    unsigned round = ++generation;
    if (status & MYSQL_WAIT_READ) {
        socket->async_wait(
            asio::posix::stream_descriptor::wait_read,
            [this, round](const asio::error_code& error) { onWait(round, error, MYSQL_WAIT_READ); });
    }
    if (status & MYSQL_WAIT_WRITE) {
        socket->async_wait(
            asio::posix::stream_descriptor::wait_write,
            [this, round](const asio::error_code& error) { onWait(round, error, MYSQL_WAIT_WRITE); });
    }
    if (status & MYSQL_WAIT_TIMEOUT) {
        timer.expires_after(std::chrono::milliseconds(mysql_get_timeout_value_ms(handle())));
        timer.async_wait(
            [this, round](const asio::error_code& error) { onWait(round, error, MYSQL_WAIT_TIMEOUT); });
    }
}

void MysqlConnection::onWait(unsigned round, const asio::error_code& error, int ready) {
    if (round != generation || error == asio::error::operation_aborted)
        return;  // another wait of this round came first, or the socket was given up
    ++generation;
    timer.cancel();
    if (socket) {
        asio::error_code ec;
        socket->cancel(ec);
    }
    advance(continueCall(ready));
}

// The current phase has completed; starts the next one.
MysqlConnection::Progress MysqlConnection::step() {
    switch (phase) {
        case Phase::kConnect:
            if (connectRet != handle()) {
                errorNumber = static_cast<int>(mysql_errno(handle()));
                errorText = mysql_error(handle());
                return finishConnect(false);
            }
            return startQuery(Phase::kSetNames, setNamesStatement(info.charset));
        case Phase::kSetNames:
            if (job == Job::kKeepAlive && !reconnectOnly) {
                if (intRet != 0 && isLostConnectionError(static_cast<int>(mysql_errno(handle())))) {
                    reconnectOnly = true;
                    return startConnect();
                }
                return endJob();
            }
            // Failures of the session statements are not fatal: the connection works with the server's
            // defaults.
            return startQuery(Phase::kSetTimeout, kInteractiveTimeout);
        case Phase::kSetTimeout:
            return startQuery(Phase::kSetTracking, kSessionTracking);
        case Phase::kSetTracking:
            // A server that cannot track (an older one) gets a reset after every statement but a plain
            // select.
            tracking = intRet == 0;
            baseStatus = handle()->server_status;
            return finishConnect(true);
        case Phase::kQuery:
            if (intRet != 0)
                return concludeStatement(false);
            // Rows are read unbuffered and copied in slices, so a large result never holds the network
            // thread for long: after each slice the other handlers of the loop run first.
            reading = mysql_use_result(handle());
            if (!reading) {
                if (mysql_errno(handle()) != 0)
                    return concludeStatement(false);
                affected = mysql_affected_rows(handle());
                insertId = mysql_insert_id(handle());
                return concludeStatement(true);
            }
            beginRows(reading);
            phase = Phase::kFetch;
            rowRet = nullptr;
            return called(mysql_fetch_row_start(&rowRet, reading));
        case Phase::kFetch:
            if (rowRet) {
                const unsigned long* lengths = mysql_fetch_lengths(reading);
                const unsigned int columns = mysql_num_fields(reading);
                if (!skipping && !keepRow(rowRet, lengths, columns))
                    return refuseAnswer(pool.maxAnswer());
                if (sliceFull(lengths, columns)) {
                    unsigned round = ++generation;
                    asio::post(context, [this, round] {
                        if (round != generation)
                            return;
                        ++generation;
                        rowRet = nullptr;
                        advance(called(mysql_fetch_row_start(&rowRet, reading)));
                    });
                    return Progress::kParked;
                }
                rowRet = nullptr;
                return called(mysql_fetch_row_start(&rowRet, reading));
            }
            // The end of the rows, or an error while they arrived: then the statement failed.
            if (mysql_errno(handle()) != 0)
                return concludeStatement(false);
            mysql_free_result(reading);
            reading = nullptr;
            [[fallthrough]];
        case Phase::kMoreResults:
            // A procedure call sends further results; their rows are read as they come and dropped (never
            // held), and a failure among them fails the statement. Until they are read the connection refuses
            // every new statement.
            if (mysql_more_results(handle())) {
                phase = Phase::kNextResult;
                intRet = 0;
                return called(mysql_next_result_start(&intRet, handle()));
            }
            return concludeStatement(true);
        case Phase::kNextResult:
            if (intRet > 0)
                return concludeStatement(false);
            reading = mysql_use_result(handle());
            if (!reading) {
                if (mysql_errno(handle()) != 0)
                    return concludeStatement(false);
                phase = Phase::kMoreResults;  // a status without rows
                return Progress::kNext;
            }
            skipping = true;
            phase = Phase::kFetch;
            rowRet = nullptr;
            return called(mysql_fetch_row_start(&rowRet, reading));
        case Phase::kReset:
            // A reset the server refused, or a connection without a configured database (the only way back
            // to "no database" is a new session): a fresh connection.
            if (intRet != 0 || info.database.empty())
                return startConnect();
            phase = Phase::kSelectDb;
            intRet = 0;
            return called(mysql_select_db_start(&intRet, handle(), info.database.c_str()));
        case Phase::kSelectDb:
            if (intRet != 0)
                return startConnect();
            // The session settings of a new connection follow (their failures are not fatal, as there).
            return startQuery(Phase::kSetNames, setNamesStatement(info.charset));
        case Phase::kBegin:
            if (intRet != 0)
                return concludeStatement(false);  // counted as a failure of the first statement
            inTransaction = true;
            return startStatement();
        case Phase::kCommit:
            if (intRet != 0) {
                // The server rolled back (a deadlock, a lost connection): the batch failed at its end.
                errorNumber = static_cast<int>(mysql_errno(handle()));
                errorText = mysql_error(handle());
                if (timedOut)
                    reportTimeOut();
                index = work.statements.size();
                return failBatch();
            }
            inTransaction = false;
            return endBatch();
        case Phase::kRollback:
            inTransaction = false;  // a rollback that failed leaves the transaction to the session reset
            return endBatch();
        case Phase::kPrepared:
        case Phase::kCloseStatements:
            return prepared(call.step());
    }
    return Progress::kOver;
}

// The statement ran: the result takes the rows (already copied out of the connection) and the slot goes back
// before the caller reads them.
MysqlConnection::Progress MysqlConnection::finishRows() {
    MysqlResult result;
    result.status_ = MysqlResult::Status::kDone;
    result.slot_ = number;
    result.data_ = data.release();
    result.affectedRows_ = affected;
    result.insertId_ = insertId;
    Done callback = takeDone();
    Progress over = endJob();
    callback(std::move(result));
    return over;
}

MysqlResult MysqlConnection::failedResult() const {
    MysqlResult result;
    result.status_ = MysqlResult::Status::kFailed;
    result.errorNumber_ = errorNumber;
    result.errorText_ = errorText;
    return result;
}

MysqlConnection::Progress MysqlConnection::failStatement() {
    if (reading) {
        mysql_free_result(reading);
        reading = nullptr;
    }
    data.reset();
    if (errorNumber == 0) {
        errorNumber = static_cast<int>(mysql_errno(handle()));
        errorText = mysql_error(handle());
    }
    if (work.batch) {
        // The connection is lost or given up: nothing more runs, and the server ends the transaction.
        batchFailed = true;
        failedIndex = std::min(index, work.statements.size());
        batchErrorNumber = errorNumber;
        batchErrorText = errorText;
        inTransaction = false;
        return deliverBatch();
    }
    MysqlResult result = failedResult();
    Done callback = takeDone();
    if (isLostConnectionError(errorNumber) || std::exchange(dropConnection, false)) {
        // The server closed this connection (restart, network cut), or we gave it up with data unread. The
        // failure is reported now; a fresh connection is opened before the slot goes back, so the next
        // statement on it works. The failing statement is not repeated.
        callback(std::move(result));
        reconnectOnly = true;
        return startConnect();
    }
    Progress over = endJob();
    callback(std::move(result));
    return over;
}

// The statement is over (`ran`: without an error). When it may have changed its session (variables,
// character set, database, transaction, locks, temporary tables, ...), the connection is reset and given the
// pool's session settings again before the outcome is handed over, so the next statement on the slot, of
// whichever caller, starts from a clean session.
MysqlConnection::Progress MysqlConnection::concludeStatement(bool ran) {
    if (timedOut) {
        ran = false;
        reportTimeOut();
    }
    if (!ran) {
        if (errorNumber == 0) {
            errorNumber = static_cast<int>(mysql_errno(handle()));
            errorText = mysql_error(handle());
        }
        if (reading) {
            mysql_free_result(reading);
            reading = nullptr;
        }
        data.reset();
        if (isLostConnectionError(errorNumber))
            return failStatement();
    }
    if (work.batch) {
        // The statements of a batch share their session; it is reset, when needed, once the batch is over.
        batchTouched = batchTouched || sessionTouched(ran);
        return ran ? nextInBatch() : failBatch();
    }
    if (!sessionTouched(ran))
        return ran ? finishRows() : failStatement();
    pool.sessionResets_.fetch_add(1, std::memory_order_relaxed);
    resetting = true;
    statementRan = ran;
    statementErrorNumber = errorNumber;
    statementErrorText = std::move(errorText);
    errorNumber = 0;
    errorText.clear();
    return startSessionReset();
}

// The reset forgets the connection's prepared statements on the server: they are closed first, and the
// cache starts empty.
MysqlConnection::Progress MysqlConnection::startSessionReset() {
    // Without a configured database a new session is the only way back to "no database".
    if (info.database.empty())
        return startConnect();
    std::vector<MYSQL_STMT*> handles = cache.takeAll();
    if (!handles.empty()) {
        phase = Phase::kCloseStatements;
        return prepared(call.startClosing(std::move(handles)));
    }
    return startReset();
}

MysqlConnection::Progress MysqlConnection::startReset() {
    phase = Phase::kReset;
    intRet = 0;
    return called(mysql_reset_connection_start(&intRet, handle()));
}

// A statement of the batch ran: its result is kept and the next one starts (or the COMMIT).
MysqlConnection::Progress MysqlConnection::nextInBatch() {
    MysqlResult result;
    result.status_ = MysqlResult::Status::kDone;
    result.data_ = data.release();
    result.affectedRows_ = affected;
    result.insertId_ = insertId;
    batchResults.push_back(std::move(result));
    if (++index < work.statements.size())
        return startStatement();
    if (inTransaction)
        return startQuery(Phase::kCommit, "COMMIT");
    return endBatch();
}

// A statement of the batch failed: the rest does not run, and a transaction is rolled back.
MysqlConnection::Progress MysqlConnection::failBatch() {
    data.reset();
    batchFailed = true;
    failedIndex = index;
    batchErrorNumber = errorNumber;
    batchErrorText = errorText;
    // A lost connection has ended the transaction on the server; its session is reopened when delivered.
    if (isLostConnectionError(errorNumber)) {
        inTransaction = false;
        return deliverBatch();
    }
    if (inTransaction)
        return startQuery(Phase::kRollback, "ROLLBACK");
    return endBatch();
}

// The batch is over: the session is reset when a statement may have changed it or a transaction is still
// open, before the outcome is handed over.
MysqlConnection::Progress MysqlConnection::endBatch() {
    const bool open = (handle()->server_status & SERVER_STATUS_IN_TRANS) != 0;
    if (!batchTouched && !open)
        return deliverBatch();
    pool.sessionResets_.fetch_add(1, std::memory_order_relaxed);
    resetting = true;
    errorNumber = 0;
    errorText.clear();
    return startSessionReset();
}

MysqlConnection::Progress MysqlConnection::deliverBatch() {
    MysqlBatchResult outcome;
    if (batchFailed) {
        outcome.status = MysqlResult::Status::kFailed;
        outcome.failedIndex = failedIndex;
        outcome.errorNumber = batchErrorNumber;
        outcome.errorText = std::move(batchErrorText);
        batchErrorText.clear();
        batchResults.clear();
    } else {
        outcome.status = MysqlResult::Status::kDone;
        outcome.results = std::move(batchResults);
        batchResults.clear();
    }
    deadline.cancel();
    BatchDone callback = std::move(work.batchDone);
    work = SqlWork{};
    const bool reopen =
        batchFailed && (isLostConnectionError(batchErrorNumber) || std::exchange(dropConnection, false));
    if (reopen) {
        callback(std::move(outcome));
        reconnectOnly = true;
        return startConnect();
    }
    Progress over = endJob();
    callback(std::move(outcome));
    return over;
}

bool MysqlConnection::sessionTouched(bool ran) const {
    const StatementShape shape = statementShape(current().text);
    if (shape == StatementShape::kOther)
        return true;
    // An error packet carries no status; a plain statement that failed changed nothing.
    if (!ran)
        return false;
    if (!tracking && shape != StatementShape::kPlainSelect)
        return true;
    const unsigned int status = handle()->server_status;
    if (inTransaction) {
        // Inside a batch's own transaction the open transaction is expected, and the server reports the
        // transaction's start as a change of state: only a changed variable or database counts for a plain
        // statement (what else it could change, its text shows).
        if (status & SERVER_SESSION_STATE_CHANGED) {
            const char* entry = nullptr;
            size_t length = 0;
            for (auto type : {SESSION_TRACK_SYSTEM_VARIABLES, SESSION_TRACK_SCHEMA}) {
                if (mysql_session_track_get_first(handle(), type, &entry, &length) == 0)
                    return true;
            }
        }
    } else if (status & (SERVER_SESSION_STATE_CHANGED | SERVER_STATUS_IN_TRANS)) {
        return true;
    }
    return (status & SERVER_STATUS_AUTOCOMMIT) != (baseStatus & SERVER_STATUS_AUTOCOMMIT);
}

// The session is clean again (or the connection could not be reopened: the next statement tries): the
// statement's outcome goes to its caller.
MysqlConnection::Progress MysqlConnection::endReset() {
    resetting = false;
    if (work.batch)
        return deliverBatch();
    errorNumber = statementErrorNumber;
    errorText = std::move(statementErrorText);
    statementErrorText.clear();
    if (statementRan)
        return finishRows();
    return failStatement();
}

// The rows would make an answer larger than the pool allows: the statement fails, the rows read so far are
// freed, and the connection with the rest of them unread is dropped and opened again.
MysqlConnection::Progress MysqlConnection::refuseAnswer(uint64_t limit) {
    errorNumber = kAnswerTooLarge;
    errorText = "answer larger than max_answer (" + std::to_string(limit) + " bytes)";
    dropConnection = true;
    shutdownSocket();  // freeing the result then reads no further rows
    return failStatement();
}

MysqlConnection::Progress MysqlConnection::finishConnect(bool ok) {
    connected = ok;
    if (!ok)
        forgetSocket();
    if (resetting)
        return endReset();
    if (job == Job::kOpen || reconnectOnly)
        return endJob();
    // A statement that waited for its slot's connection.
    if (!ok) {
        if (timedOut)
            reportTimeOut();
        return failStatement();
    }
    return startStatement();
}

// Ends a job: the slot goes back to the pool (or to open()).
MysqlConnection::Progress MysqlConnection::endJob() {
    Job ended = job;
    job = Job::kNone;
    reconnectOnly = false;
    running = false;
    auto callback = std::move(finished);
    finished = nullptr;
    // The slot is back (at its old place after a keep-alive) before the waiting heartbeat or open() goes on.
    if (ended != Job::kOpen)
        pool.release(number, std::exchange(queuePosition, -1));
    if (callback)
        callback(connected);
    return Progress::kOver;
}

// Shutdown: a job in progress fails at its next socket operation.
void MysqlConnection::abort() {
    if (running)
        shutdownSocket();
}

void MysqlConnection::stop() {
    deadline.cancel();
    forgetSocket();
}

}  // namespace kestrum
