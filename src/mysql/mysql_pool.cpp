// The pool's admission queue and the per-slot state machine that drives MariaDB's non-blocking calls on the
// slot's network thread.
#include "mysql/mysql_pool.h"

#include <errmsg.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <cassert>
#include <cstring>
#include <ctime>
#include <future>
#include <optional>
#include <thread>

#include "mysql/mysql_client.h"
#include "util/event_loops.h"
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
constexpr int kParked = -2;

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

std::string setNamesStatement(const std::string& charset) {
    return "SET NAMES '" + charset + "'";
}

const char* orNull(const std::string& text) {
    return text.empty() ? nullptr : text.c_str();
}

MysqlResult busyResult() {
    return MysqlResult();
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

namespace {

// A block of row storage. Blocks of 256 KB and more are mappings of their own and go back to the system the
// moment they are freed: on the heap, freed rows can stay resident after malloc_trim when they end up in the
// top chunk of a thread's arena, depending on what else lies around them.
constexpr size_t kMappedBlockBytes = 256 * 1024;

struct BlockDeleter {
    size_t mappedBytes = 0;  // 0: the block is on the heap
    void operator()(char* bytes) const {
        if (mappedBytes > 0)
            ::munmap(bytes, mappedBytes);
        else
            delete[] bytes;
    }
};
using RowBlock = std::unique_ptr<char[], BlockDeleter>;

RowBlock newRowBlock(size_t bytes) {
    if (bytes >= kMappedBlockBytes) {
        void* at = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (at != MAP_FAILED)
            return RowBlock(static_cast<char*>(at), BlockDeleter{bytes});
    }
    return RowBlock(new char[bytes], BlockDeleter{});  // not zeroed
}

}  // namespace

// The rows of a result, copied out of the connection's buffer as they arrive: every cell whole (a value may
// hold NUL bytes) in blocks of storage, null for SQL NULL.
struct MysqlResult::Data {
    struct Cell {
        const char* bytes = nullptr;  // null for SQL NULL
        size_t size = 0;
    };
    std::vector<FieldInfo> fields;
    std::vector<Cell> cells;  // row-major
    uint64_t rows = 0;
    std::vector<RowBlock> blocks;
    size_t blockLeft = 0;
    char* blockNext = nullptr;
    size_t nextBlock = 1024;

    char* allocate(size_t bytes) {
        if (bytes > blockLeft) {
            // Blocks grow from small (a point select) to 256 KB (a large result); nothing is zeroed.
            size_t size = std::max(bytes, nextBlock);
            nextBlock = std::min<size_t>(nextBlock * 2, 256 * 1024);
            blocks.push_back(newRowBlock(size));
            blockNext = blocks.back().get();
            blockLeft = size;
        }
        char* at = blockNext;
        blockNext += bytes;
        blockLeft -= bytes;
        return at;
    }

    void addRow(MYSQL_ROW row, const unsigned long* lengths) {
        size_t columns = fields.size();
        size_t total = 0;
        for (size_t c = 0; c < columns; ++c)
            total += row[c] ? lengths[c] : 0;
        char* at = allocate(total);
        for (size_t c = 0; c < columns; ++c) {
            if (!row[c]) {
                cells.push_back({});
                continue;
            }
            if (lengths[c] > 0)
                std::memcpy(at, row[c], lengths[c]);
            cells.push_back({at, lengths[c]});
            at += lengths[c];
        }
        ++rows;
    }
};

bool isLostConnectionError(int errorNumber) {
    return errorNumber == CR_SERVER_GONE_ERROR || errorNumber == CR_SERVER_LOST ||
           errorNumber == CR_SERVER_LOST_EXTENDED;
}

// ---------------------------------------------------------------------------------------------------------
// One slot: its connection and the job it runs. Everything but `busy` and `lastUsed` is touched only on the
// slot's loop.

struct MysqlPool::Slot {
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
    };

    Slot(MysqlPool& pool, asio::io_context& context) : pool(pool), context(context), timer(context) {}

    MysqlPool& pool;
    asio::io_context& context;
    int loop = 0;
    int number = 0;  // 0 while opening
    PoolSlotInfo info;
    std::atomic<int64_t> lastUsed{0};
    int connectTimeoutSeconds = 0;
    MysqlClient client;
    std::atomic<bool> connected{false};  // written on the slot's thread, read by connectedCount()
    // The server reports changes of session state (set at connect); without it every statement that is not
    // a plain select is followed by a reset.
    bool tracking = false;
    unsigned int baseStatus = 0;       // the server status of a fresh session (its autocommit bit)
    std::atomic<bool> running{false};  // a job is in progress
    // The hand-over of the slot to the result that holds it now; 0 while no result holds it.
    std::atomic<uint64_t> lease{0};
    uint64_t leases = 0;  // hand-overs so far
    uint64_t jobs = 0;    // jobs begun so far: names the one in progress

    std::optional<asio::posix::stream_descriptor> socket;
    int socketFd = -1;
    asio::steady_timer timer;
    unsigned generation = 0;  // tells stale wait completions from the current one

    // The job in progress.
    Job job = Job::kNone;
    Phase phase = Phase::kConnect;
    bool reconnectOnly = false;  // a connect after a lost connection: no statement follows
    std::string statement;
    Done done;
    std::function<void(bool)> finished;  // kOpen / kKeepAlive: called with the outcome on the loop
    int queuePosition = -1;              // kKeepAlive: where the slot stood in the idle queue
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

    MYSQL* handle() const { return client.handle(); }

    void beginStatement(std::string text, Done callback);
    void beginOpen(std::function<void(bool)> callback);
    void beginKeepAlive(int thresholdSeconds, std::function<void(bool)> callback);
    void advance(int status);
    static void abandon(void* target);
    void recoverAfterFault(uint64_t abandonedJob, uint64_t abandonedLease);
    int step();
    int startConnect();
    int startQuery(Phase next, const std::string& text);
    int continueCall(int ready);
    void wait(int status);
    void onWait(unsigned round, const asio::error_code& error, int ready);
    void forgetSocket();
    int failStatement();
    int concludeStatement(bool ran);
    bool sessionTouched(bool ran) const;
    int endReset();
    int refuseAnswer(uint64_t limit);
    MysqlResult failedResult() const;  // with errorNumber and errorText
    int finishRows();
    int finishConnect(bool ok);
    int endJob();
    void abort();
};

// The reactor watches a duplicate of the client library's descriptor: the library may close its own (a
// failed connect, a lost connection) without the reactor ever holding a number that is reused elsewhere.
void MysqlPool::Slot::forgetSocket() {
    ++generation;
    timer.cancel();
    if (socket) {
        asio::error_code ec;
        socket->cancel(ec);
        socket.reset();  // closes the duplicate
    }
    socketFd = -1;
}

void MysqlPool::Slot::beginStatement(std::string text, Done callback) {
    job = Job::kStatement;
    ++jobs;
    statement = std::move(text);
    done = std::move(callback);
    errorNumber = 0;
    errorText.clear();
    reconnectOnly = false;
    dropConnection = false;
    resetting = false;
    lastUsed = pool.now();
    if (!connected) {
        advance(startConnect());
        return;
    }
    advance(startQuery(Phase::kQuery, statement));
}

void MysqlPool::Slot::beginOpen(std::function<void(bool)> callback) {
    job = Job::kOpen;
    ++jobs;
    finished = std::move(callback);
    advance(startConnect());
}

void MysqlPool::Slot::beginKeepAlive(int thresholdSeconds, std::function<void(bool)> callback) {
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

int MysqlPool::Slot::startConnect() {
    forgetSocket();
    connected = false;
    phase = Phase::kConnect;
    if (!client.prepareNonblocking(connectTimeoutSeconds)) {
        errorNumber = CR_OUT_OF_MEMORY;
        errorText = "client handle could not be created";
        return finishConnect(false);
    }
    connectRet = nullptr;
    return mysql_real_connect_start(&connectRet, handle(), orNull(info.host), orNull(info.user),
                                    orNull(info.password), orNull(info.database),
                                    static_cast<unsigned int>(info.port), nullptr, 0);
}

int MysqlPool::Slot::startQuery(Phase next, const std::string& text) {
    phase = next;
    intRet = 0;
    return mysql_real_query_start(&intRet, handle(), text.data(), static_cast<unsigned long>(text.size()));
}

int MysqlPool::Slot::continueCall(int ready) {
    switch (phase) {
        case Phase::kConnect:
            return mysql_real_connect_cont(&connectRet, handle(), ready);
        case Phase::kSetNames:
        case Phase::kSetTimeout:
        case Phase::kSetTracking:
        case Phase::kQuery:
            return mysql_real_query_cont(&intRet, handle(), ready);
        case Phase::kReset:
            return mysql_reset_connection_cont(&intRet, handle(), ready);
        case Phase::kSelectDb:
            return mysql_select_db_cont(&intRet, handle(), ready);
        case Phase::kFetch:
            return mysql_fetch_row_cont(&rowRet, reading, ready);
        case Phase::kNextResult:
            return mysql_next_result_cont(&intRet, handle(), ready);
        case Phase::kMoreResults:
            return 0;  // never waits
    }
    return 0;
}

// Runs completed phases until one has to wait (then waits), the job is over (-1) or a slice of rows yields
// the thread (kParked).
void MysqlPool::Slot::advance(int status) {
    WorkUnit work("mysql slot", static_cast<uint64_t>(number), &Slot::abandon, this);
    while (status == 0)
        status = step();
    if (status > 0)
        wait(status);
}

// In the recovery from a fault (or an exception) inside one of this slot's events: what the job had reached
// is unknown, so the clean-up runs on the loop afterwards. Nothing of the slot's own state is touched here.
void MysqlPool::Slot::abandon(void* target) {
    auto* slot = static_cast<Slot*>(target);
    const uint64_t abandonedJob = slot->job != Job::kNone ? slot->jobs : 0;
    const uint64_t abandonedLease = slot->lease.load();
    asio::post(slot->context, [slot, abandonedJob, abandonedLease] {
        slot->recoverAfterFault(abandonedJob, abandonedLease);
    });
}

// After an abandoned event: the statement in progress, if any, fails; the connection (whose protocol state
// is unknown) is dropped without a goodbye and reopened by the next statement; a result the abandoned work
// never released gives its slot back; a waiting open() or keep-alive goes on. Then the slot serves again.
// Only what the abandoned event had: a job begun since, or a result handed out since, is not touched.
void MysqlPool::Slot::recoverAfterFault(uint64_t abandonedJob, uint64_t abandonedLease) {
    uint64_t held = abandonedLease;
    const bool resultHeld = held != 0 && lease.compare_exchange_strong(held, 0);
    if (abandonedJob == 0 || job == Job::kNone || jobs != abandonedJob) {
        if (resultHeld)
            pool.release(number);
        return;
    }
    forgetSocket();
    // The library's handle may be in the middle of a call: its memory is given up rather than freed.
    reading = nullptr;
    data.reset();
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
    Done callback = std::move(done);
    done = nullptr;
    job = Job::kNone;
    running = false;
    pool.release(number);
    if (callback)
        callback(failedResult());
}

void MysqlPool::Slot::wait(int status) {
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

void MysqlPool::Slot::onWait(unsigned round, const asio::error_code& error, int ready) {
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

// The current phase has completed; starts the next one. Returns its wait status, 0 to go on, -1 when the job
// is over.
int MysqlPool::Slot::step() {
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
                return concludeStatement(true);
            }
            data = std::make_unique<MysqlResult::Data>();
            skipping = false;
            answerBytes = kEnvelopeBytes;
            rowOverhead = 3;  // {},
            for (unsigned int c = 0; c < mysql_num_fields(reading); ++c) {
                data->fields.push_back(MysqlClient::fieldInfo(reading, static_cast<int>(c)));
                rowOverhead += data->fields.back().name.size() + 6;  // "name":"",
            }
            sliceBytes = 0;
            phase = Phase::kFetch;
            rowRet = nullptr;
            return mysql_fetch_row_start(&rowRet, reading);
        case Phase::kFetch:
            if (rowRet) {
                const unsigned long* lengths = mysql_fetch_lengths(reading);
                const unsigned int columns = mysql_num_fields(reading);
                if (!skipping) {
                    uint64_t rowBytes = rowOverhead;
                    for (unsigned int c = 0; c < columns; ++c)
                        rowBytes += escapedSize(rowRet[c], lengths[c]);
                    answerBytes += rowBytes;
                    const uint64_t limit = pool.maxAnswer();
                    if (limit != 0 && answerBytes > limit)
                        return refuseAnswer(limit);
                    data->addRow(rowRet, lengths);
                }
                for (unsigned int c = 0; c < columns; ++c)
                    sliceBytes += lengths[c] + 16;
                if (sliceBytes >= kSliceBytes) {
                    sliceBytes = 0;
                    unsigned round = ++generation;
                    asio::post(context, [this, round] {
                        if (round != generation)
                            return;
                        ++generation;
                        rowRet = nullptr;
                        advance(mysql_fetch_row_start(&rowRet, reading));
                    });
                    return kParked;
                }
                rowRet = nullptr;
                return mysql_fetch_row_start(&rowRet, reading);
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
                return mysql_next_result_start(&intRet, handle());
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
                return 0;
            }
            skipping = true;
            phase = Phase::kFetch;
            rowRet = nullptr;
            return mysql_fetch_row_start(&rowRet, reading);
        case Phase::kReset:
            // A reset the server refused, or a connection without a configured database (the only way back
            // to "no database" is a new session): a fresh connection.
            if (intRet != 0 || info.database.empty())
                return startConnect();
            phase = Phase::kSelectDb;
            intRet = 0;
            return mysql_select_db_start(&intRet, handle(), info.database.c_str());
        case Phase::kSelectDb:
            if (intRet != 0)
                return startConnect();
            // The session settings of a new connection follow (their failures are not fatal, as there).
            return startQuery(Phase::kSetNames, setNamesStatement(info.charset));
    }
    return -1;
}

// The statement ran: the result takes the slot and the rows.
int MysqlPool::Slot::finishRows() {
    MysqlResult result;
    result.status_ = MysqlResult::Status::kDone;
    result.pool_ = &pool;
    result.slot_ = number;
    result.lease_ = ++leases;
    lease.store(result.lease_);
    result.data_ = data.release();
    Done callback = std::move(done);
    done = nullptr;
    job = Job::kNone;
    running = false;
    callback(std::move(result));
    return -1;
}

MysqlResult MysqlPool::Slot::failedResult() const {
    MysqlResult result;
    result.status_ = MysqlResult::Status::kFailed;
    result.errorNumber_ = errorNumber;
    result.errorText_ = errorText;
    return result;
}

int MysqlPool::Slot::failStatement() {
    if (reading) {
        mysql_free_result(reading);
        reading = nullptr;
    }
    data.reset();
    if (errorNumber == 0) {
        errorNumber = static_cast<int>(mysql_errno(handle()));
        errorText = mysql_error(handle());
    }
    MysqlResult result = failedResult();
    Done callback = std::move(done);
    done = nullptr;
    if (isLostConnectionError(errorNumber) || std::exchange(dropConnection, false)) {
        // The server closed this connection (restart, network cut), or we gave it up with data unread. The
        // failure is reported now; a fresh connection is opened before the slot goes back, so the next
        // statement on it works. The failing statement is not repeated.
        callback(std::move(result));
        reconnectOnly = true;
        return startConnect();
    }
    int over = endJob();
    callback(std::move(result));
    return over;
}

// The statement is over (`ran`: without an error). When it may have changed its session (variables,
// character set, database, transaction, locks, temporary tables, ...), the connection is reset and given the
// pool's session settings again before the outcome is handed over, so the next statement on the slot, of
// whichever caller, starts from a clean session.
int MysqlPool::Slot::concludeStatement(bool ran) {
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
    if (!sessionTouched(ran))
        return ran ? finishRows() : failStatement();
    pool.sessionResets_.fetch_add(1, std::memory_order_relaxed);
    resetting = true;
    statementRan = ran;
    statementErrorNumber = errorNumber;
    statementErrorText = std::move(errorText);
    errorNumber = 0;
    errorText.clear();
    // Without a configured database a new session is the only way back to "no database".
    if (info.database.empty())
        return startConnect();
    phase = Phase::kReset;
    intRet = 0;
    return mysql_reset_connection_start(&intRet, handle());
}

bool MysqlPool::Slot::sessionTouched(bool ran) const {
    const StatementShape shape = statementShape(statement);
    if (shape == StatementShape::kOther)
        return true;
    // An error packet carries no status; a plain statement that failed changed nothing.
    if (!ran)
        return false;
    if (!tracking && shape != StatementShape::kPlainSelect)
        return true;
    const unsigned int status = handle()->server_status;
    if (status & (SERVER_SESSION_STATE_CHANGED | SERVER_STATUS_IN_TRANS))
        return true;
    return (status & SERVER_STATUS_AUTOCOMMIT) != (baseStatus & SERVER_STATUS_AUTOCOMMIT);
}

// The session is clean again (or the connection could not be reopened: the next statement tries): the
// statement's outcome goes to its caller.
int MysqlPool::Slot::endReset() {
    resetting = false;
    errorNumber = statementErrorNumber;
    errorText = std::move(statementErrorText);
    statementErrorText.clear();
    if (statementRan)
        return finishRows();
    return failStatement();
}

// The rows would make an answer larger than the pool allows: the statement fails, the rows read so far are
// freed, and the connection with the rest of them unread is dropped and opened again.
int MysqlPool::Slot::refuseAnswer(uint64_t limit) {
    errorNumber = kAnswerTooLarge;
    errorText = "answer larger than max_answer (" + std::to_string(limit) + " bytes)";
    dropConnection = true;
    int fd = static_cast<int>(mysql_get_socket(handle()));
    if (fd >= 0)
        ::shutdown(fd, SHUT_RDWR);  // freeing the result then reads no further rows
    return failStatement();
}

int MysqlPool::Slot::finishConnect(bool ok) {
    connected = ok;
    if (!ok)
        forgetSocket();
    if (resetting)
        return endReset();
    if (job == Job::kOpen || reconnectOnly)
        return endJob();
    // A statement that waited for its slot's connection.
    if (!ok)
        return failStatement();
    return startQuery(Phase::kQuery, statement);
}

// Ends an open, keep-alive or reconnect job: the slot goes back to the pool (or to open()).
int MysqlPool::Slot::endJob() {
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
    return -1;
}

// Shutdown: a job in progress fails at its next socket operation.
void MysqlPool::Slot::abort() {
    if (running && handle() != nullptr) {
        int fd = static_cast<int>(mysql_get_socket(handle()));
        if (fd >= 0)
            ::shutdown(fd, SHUT_RDWR);
    }
}

// ---------------------------------------------------------------------------------------------------------
// The wait-limit timer: waiting statements are queued in arrival order with the same limit, so the first one
// always expires first.

struct MysqlPool::Sweeper {
    explicit Sweeper(asio::io_context& context) : timer(context) {}
    asio::steady_timer timer;
};

MysqlPool::MysqlPool(EventLoops& loops, PoolTiming timing)
    : loops_(loops), timing_(std::move(timing)), sweeper_(std::make_unique<Sweeper>(loops.context(0))) {}

MysqlPool::~MysqlPool() {
    close();
}

int64_t MysqlPool::now() const {
    if (timing_.nowSeconds)
        return timing_.nowSeconds();
    return static_cast<int64_t>(std::time(nullptr));
}

int MysqlPool::open(int connectionCount, const std::string& host, int port, const std::string& user,
                    const std::string& password, const std::string& database, const std::string& charset,
                    int connectTimeoutSeconds) {
    if (opened_)
        return slotCount();
    opened_ = true;
    if (loops_.currentIndex() >= 0 || !loops_.running())
        return 0;

    PoolSlotInfo settings;
    settings.host = host;
    settings.port = port;
    settings.user = user;
    settings.password = password;
    settings.database = database;
    settings.charset = charset;

    clientCount_ = connectionCount > 0 ? connectionCount : 0;
    for (int i = 0; i < clientCount_; ++i) {
        // Slots are spread over the network threads in turn.
        int loop = static_cast<int>(slots_.size()) % loops_.size();
        auto slot = std::make_unique<Slot>(*this, loops_.context(loop));
        slot->loop = loop;
        slot->info = settings;
        slot->info.clientIndex = i;
        slot->connectTimeoutSeconds = connectTimeoutSeconds;
        slot->running = true;
        // One connection at a time, in order, so the slot numbers follow the attempts.
        std::promise<bool> connected;
        Slot* raw = slot.get();
        loops_.post(
            loop, [raw, &connected] { raw->beginOpen([&connected](bool ok) { connected.set_value(ok); }); });
        if (!connected.get_future().get()) {
            // A client that does not connect gets no slot and is never used; it goes once the waits it
            // cancelled have run on its loop.
            loops_.runAndWait(loop, [raw] { raw->forgetSocket(); });
            loops_.runAndWait(loop, [] {});
            continue;
        }
        slot->number = static_cast<int>(slots_.size()) + 1;
        slots_.push_back(std::move(slot));
    }
    GuardedLock lock(mutex_);
    for (int k = 1; k <= slotCount(); ++k)
        idle_.push_back(k);
    return slotCount();
}

MysqlPool::Slot* MysqlPool::slotAt(int slot) const {
    if (slot < 1 || slot > static_cast<int>(slots_.size()))
        return nullptr;
    return slots_[static_cast<size_t>(slot - 1)].get();
}

void MysqlPool::execute(std::string statement, Done done) {
    const int here = loops_.currentIndex();
    Slot* slot = nullptr;
    {
        GuardedLock lock(mutex_);
        if (closed_ || slots_.empty()) {
            // Nothing could ever serve it.
        } else if (!idle_.empty()) {
            auto chosen = idle_.begin();
            if (here >= 0) {
                // A slot of the caller's own thread saves two thread hops.
                for (auto it = idle_.begin(); it != idle_.end(); ++it) {
                    if (slots_[static_cast<size_t>(*it - 1)]->loop == here) {
                        chosen = it;
                        break;
                    }
                }
            }
            slot = slots_[static_cast<size_t>(*chosen - 1)].get();
            idle_.erase(chosen);
            slot->running = true;
        } else {
            waiting_.push_back({std::move(statement), std::move(done),
                                std::chrono::steady_clock::now() + timing_.waitLimit});
            armSweep();
            return;
        }
    }
    if (slot == nullptr) {
        done(busyResult());
        return;
    }
    if (slot->loop == here) {
        slot->beginStatement(std::move(statement), std::move(done));
        return;
    }
    loops_.post(slot->loop, [slot, statement = std::move(statement), done = std::move(done)]() mutable {
        slot->beginStatement(std::move(statement), std::move(done));
    });
}

MysqlResult MysqlPool::run(std::string statement) {
    if (loops_.currentIndex() >= 0) {
        assert(!"MysqlPool::run would block a network thread");
        return busyResult();
    }
    std::promise<MysqlResult> result;
    auto future = result.get_future();
    execute(std::move(statement), [&result](MysqlResult outcome) { result.set_value(std::move(outcome)); });
    return future.get();
}

void MysqlPool::release(int number, int position) {
    Slot* slot = slotAt(number);
    if (slot == nullptr)
        return;
    std::optional<Waiter> next;
    {
        GuardedLock lock(mutex_);
        if (!closed_ && !waiting_.empty()) {
            next.emplace(std::move(waiting_.front()));
            waiting_.pop_front();
            slot->running = true;
        } else if (position >= 0) {
            // Back from a keep-alive: the queue order is as if it had never left.
            idle_.insert(
                idle_.begin() + std::min<std::ptrdiff_t>(position, static_cast<std::ptrdiff_t>(idle_.size())),
                number);
            return;
        } else {
            idle_.push_back(number);
            return;
        }
    }
    // Always through the slot's loop, so that a release inside a slot's own completion never re-enters it.
    loops_.post(slot->loop, [slot, waiter = std::move(*next)]() mutable {
        slot->beginStatement(std::move(waiter.statement), std::move(waiter.done));
    });
}

void MysqlPool::releaseResult(int number, uint64_t held) {
    Slot* slot = slotAt(number);
    if (slot == nullptr || held == 0 || !slot->lease.compare_exchange_strong(held, 0))
        return;
    release(number);
}

void MysqlPool::armSweep() {
    if (sweepArmed_)
        return;
    sweepArmed_ = true;
    loops_.post(0, [this] { sweep(); });
}

// Loop 0: answers the statements whose wait limit has passed and waits for the next one.
void MysqlPool::sweep() {
    std::vector<Waiter> expired;
    std::optional<std::chrono::steady_clock::time_point> next;
    {
        GuardedLock lock(mutex_);
        auto current = std::chrono::steady_clock::now();
        while (!waiting_.empty() && waiting_.front().deadline <= current) {
            expired.push_back(std::move(waiting_.front()));
            waiting_.pop_front();
        }
        if (!waiting_.empty() && !closed_) {
            next = waiting_.front().deadline;
        } else {
            sweepArmed_ = false;
        }
    }
    for (Waiter& waiter : expired)
        waiter.done(busyResult());
    if (next) {
        sweeper_->timer.expires_at(*next);
        sweeper_->timer.async_wait([this](const asio::error_code& error) {
            if (!error)
                sweep();
        });
    }
}

void MysqlPool::heartbeat(int thresholdSeconds) {
    if (loops_.currentIndex() >= 0) {
        assert(!"MysqlPool::heartbeat would block a network thread");
        return;
    }
    for (int k = 1; k <= slotCount(); ++k) {
        if (timing_.heartbeatSpacingMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(timing_.heartbeatSpacingMs));
        Slot* slot = slotAt(k);
        {
            GuardedLock lock(mutex_);
            if (closed_)
                return;
            auto it = std::find(idle_.begin(), idle_.end(), k);
            if (it == idle_.end())
                continue;  // a statement holds it: the connection is in use anyway
            slot->queuePosition = static_cast<int>(it - idle_.begin());
            idle_.erase(it);
            slot->running = true;
        }
        std::promise<void> finished;
        loops_.post(slot->loop, [slot, thresholdSeconds, &finished] {
            slot->beginKeepAlive(thresholdSeconds, [&finished](bool) { finished.set_value(); });
        });
        finished.get_future().wait();
    }
}

void MysqlPool::close() {
    std::deque<Waiter> waiters;
    {
        GuardedLock lock(mutex_);
        if (closed_)
            return;
        closed_ = true;
        waiters.swap(waiting_);
    }
    for (Waiter& waiter : waiters)
        waiter.done(busyResult());
    if (!loops_.running()) {
        for (auto& slot : slots_)
            slot->forgetSocket();
        return;
    }
    // Statements in progress fail at their next socket operation; their callers get the failure.
    for (int loop = 0; loop < loops_.size(); ++loop) {
        loops_.runAndWait(loop, [this, loop] {
            for (auto& slot : slots_) {
                if (slot->loop == loop)
                    slot->abort();
            }
        });
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (auto& slot : slots_) {
        while (slot->running && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // The sockets leave the reactors on their own threads; the aborted waits run before the second pass.
    for (int loop = 0; loop < loops_.size(); ++loop) {
        loops_.runAndWait(loop, [this, loop] {
            if (loop == 0)
                sweeper_->timer.cancel();
            for (auto& slot : slots_) {
                if (slot->loop == loop)
                    slot->forgetSocket();
            }
        });
        loops_.runAndWait(loop, [] {});
    }
    // Closing the handles (a short COM_QUIT each) happens here, off the network threads.
    for (auto& slot : slots_) {
        if (!slot->running)
            slot->client.close();
    }
}

PoolSlotInfo MysqlPool::slotInfo(int slot) const {
    Slot* entry = slotAt(slot);
    if (!entry)
        return {};
    PoolSlotInfo info = entry->info;
    info.lastUsed = entry->lastUsed.load();
    return info;
}

int MysqlPool::connectedCount() const {
    int count = 0;
    for (const auto& slot : slots_)
        count += slot->connected.load(std::memory_order_relaxed) ? 1 : 0;
    return count;
}

size_t MysqlPool::idleCount() const {
    GuardedLock lock(mutex_);
    return idle_.size();
}

// ---------------------------------------------------------------------------------------------------------
// MysqlResult

MysqlResult::MysqlResult(MysqlResult&& other) noexcept {
    *this = std::move(other);
}

MysqlResult& MysqlResult::operator=(MysqlResult&& other) noexcept {
    if (this != &other) {
        release();
        pool_ = std::exchange(other.pool_, nullptr);
        slot_ = std::exchange(other.slot_, 0);
        lease_ = std::exchange(other.lease_, 0);
        data_ = std::exchange(other.data_, nullptr);
        cursor_ = std::exchange(other.cursor_, 0);
        current_ = std::exchange(other.current_, UINT64_MAX);
        status_ = other.status_;
        errorNumber_ = other.errorNumber_;
        errorText_ = std::move(other.errorText_);
    }
    return *this;
}

MysqlResult::~MysqlResult() {
    release();
}

void MysqlResult::release() {
    delete data_;
    data_ = nullptr;
    cursor_ = 0;
    current_ = UINT64_MAX;
    if (pool_ && slot_ != 0)
        pool_->releaseResult(slot_, lease_);
    pool_ = nullptr;
    slot_ = 0;
    lease_ = 0;
}

uint64_t MysqlResult::rowCount() const {
    return data_ ? data_->rows : 0;
}

int MysqlResult::fieldCount() const {
    return data_ ? static_cast<int>(data_->fields.size()) : 0;
}

FieldInfo MysqlResult::fieldInfo(int column) const {
    if (column < 0 || column >= fieldCount())
        return {};
    return data_->fields[static_cast<size_t>(column)];
}

int MysqlResult::columnIndex(std::string_view name) const {
    for (int c = 0; c < fieldCount(); ++c) {
        if (data_->fields[static_cast<size_t>(c)].name == name)
            return c;
    }
    return -1;
}

bool MysqlResult::seekRow(uint64_t row) {
    if (row >= rowCount())
        return false;
    cursor_ = row;
    return true;
}

bool MysqlResult::valueByName(std::string_view name, std::string& value) const {
    int column = columnIndex(name);
    if (column < 0 || cursor_ >= rowCount())
        return false;
    const Data::Cell& cell = data_->cells[cursor_ * data_->fields.size() + static_cast<size_t>(column)];
    value.assign(cell.size > 0 ? cell.bytes : "", cell.size);
    return true;
}

bool MysqlResult::nextRow() {
    if (cursor_ >= rowCount())
        return false;
    current_ = cursor_++;
    return true;
}

std::string_view MysqlResult::cell(int column) const {
    if (current_ >= rowCount() || column < 0 || column >= fieldCount())
        return {};
    const Data::Cell& cell = data_->cells[current_ * data_->fields.size() + static_cast<size_t>(column)];
    return cell.size > 0 ? std::string_view(cell.bytes, cell.size) : std::string_view();
}

}  // namespace kestrum
