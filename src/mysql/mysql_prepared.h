// One prepared statement run on a connection with MariaDB's non-blocking calls: the handle comes from the
// connection's statement cache or is prepared (and cached), the values are bound, the statement executes and
// its rows are read as they arrive (binary protocol), each handed over as text (mysql/mysql_params.h).
//
// The connection's owner drives it like its other calls: start() and step() begin calls, resume() continues
// the one that waits; each returns the library's wait status, 0 when step() is to be called next, or kOver
// when the statement is over (ok() and the error tell how). The owner waits on the connection's socket. A
// handle evicted from the cache, or one that failed, is closed before the call is over.
#pragma once

#include <mysql.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "mysql/mysql_params.h"
#include "mysql/sql_statement.h"
#include "mysql/statement_cache.h"

namespace kestrum {

class PreparedCall {
  public:
    static constexpr int kOver = -1;
    static constexpr int kYielded = -2;  // step() after onRow gave kYield
    // What the owner does with a row.
    enum class Take {
        kNext,   // go on
        kYield,  // go on after the loop's other handlers: the owner calls fetchNext() later
        kStop,   // refuse the rest (the answer grew too large): the call is over, refused()
    };
    // The columns of the first result set, before its rows.
    std::function<void(MYSQL_RES* meta)> onColumns;
    std::function<Take(char** cells, unsigned long* lengths)> onRow;

    // Begins `statement` (which must stay unchanged until the call is over) on `handle`.
    int start(MYSQL* handle, StatementCache& cache, const SqlStatement& statement);
    // The call that waited is ready (`ready`: the library's wait bits).
    int resume(int ready);
    // The last call completed: the next one.
    int step();
    // After kYield: fetches the next row.
    int fetchNext();

    bool ok() const { return ok_; }
    bool refused() const { return refused_; }
    int errorNumber() const { return errorNumber_; }
    const std::string& errorText() const { return errorText_; }
    uint64_t affectedRows() const { return affected_; }
    uint64_t insertId() const { return insertId_; }
    // Handles prepared so far (not taken from the cache).
    uint64_t prepares() const { return prepares_; }

    // Closes every cached handle of a connection whose session the server is about to forget or has
    // forgotten, with the non-blocking close: start with the cache's handles, then resume()/step() as above.
    int startClosing(std::vector<MYSQL_STMT*> handles);
    // Handles to close before the next call is over (pushed out of the cache by a smaller capacity).
    void closeLater(std::vector<MYSQL_STMT*> handles) {
        closing_.insert(closing_.end(), handles.begin(), handles.end());
    }
    // Handles that were to be closed when the call stopped short (refused): the owner frees them once their
    // connection is gone.
    std::vector<MYSQL_STMT*> takeUnclosed() { return std::exchange(closing_, {}); }

  private:
    enum class Phase { kPrepare, kExecute, kFetch, kNextResult, kClose, kDone };
    int prepare();
    int execute();
    int afterExecute();
    int fetch();
    int finish(bool ok);
    int fail();
    int closeNext();

    MYSQL* handle_ = nullptr;
    StatementCache* cache_ = nullptr;
    const SqlStatement* statement_ = nullptr;
    MYSQL_STMT* stmt_ = nullptr;
    bool fromCache_ = false;
    bool retried_ = false;
    Phase phase_ = Phase::kDone;
    int intRet_ = 0;
    my_bool boolRet_ = 0;
    std::unique_ptr<ParamBinds> params_;
    BinaryRows rows_;
    MYSQL_RES* meta_ = nullptr;
    bool skipping_ = false;  // the rows of a further result set (a procedure's): read and dropped
    std::vector<MYSQL_STMT*> closing_;
    bool ok_ = false;
    bool refused_ = false;
    int errorNumber_ = 0;
    std::string errorText_;
    uint64_t affected_ = 0;
    uint64_t insertId_ = 0;
    uint64_t prepares_ = 0;
};

}  // namespace kestrum
