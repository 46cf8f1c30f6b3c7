#include "mysql/mysql_prepared.h"

#include <errmsg.h>
#include <mysqld_error.h>

namespace kestrum {

int PreparedCall::start(MYSQL* handle, StatementCache& cache, const SqlStatement& statement) {
    handle_ = handle;
    cache_ = &cache;
    statement_ = &statement;
    stmt_ = nullptr;
    retried_ = false;
    skipping_ = false;
    ok_ = false;
    refused_ = false;
    errorNumber_ = 0;
    errorText_.clear();
    affected_ = 0;
    insertId_ = 0;
    stmt_ = cache.find(statement.text);
    if (stmt_ != nullptr) {
        fromCache_ = true;
        return execute();
    }
    return prepare();
}

int PreparedCall::prepare() {
    fromCache_ = false;
    stmt_ = mysql_stmt_init(handle_);
    if (stmt_ == nullptr) {
        errorNumber_ = CR_OUT_OF_MEMORY;
        errorText_ = "statement handle could not be created";
        return finish(false);
    }
    ++prepares_;
    phase_ = Phase::kPrepare;
    intRet_ = 0;
    const std::string& text = statement_->text;
    return mysql_stmt_prepare_start(&intRet_, stmt_, text.data(), static_cast<unsigned long>(text.size()));
}

int PreparedCall::execute() {
    params_ = std::make_unique<ParamBinds>(statement_->params);
    if (params_->size() > 0 && mysql_stmt_bind_param(stmt_, params_->binds()) != 0)
        return fail();
    phase_ = Phase::kExecute;
    intRet_ = 0;
    return mysql_stmt_execute_start(&intRet_, stmt_);
}

int PreparedCall::resume(int ready) {
    switch (phase_) {
        case Phase::kPrepare:
            return mysql_stmt_prepare_cont(&intRet_, stmt_, ready);
        case Phase::kExecute:
            return mysql_stmt_execute_cont(&intRet_, stmt_, ready);
        case Phase::kFetch:
            return mysql_stmt_fetch_cont(&intRet_, stmt_, ready);
        case Phase::kNextResult:
            return mysql_stmt_next_result_cont(&intRet_, stmt_, ready);
        case Phase::kClose:
            return mysql_stmt_close_cont(&boolRet_, closing_.back(), ready);
        case Phase::kDone:
            break;
    }
    return 0;
}

int PreparedCall::step() {
    switch (phase_) {
        case Phase::kPrepare: {
            if (intRet_ != 0)
                return fail();  // never cached: closed once its error is read
            // The server counts the placeholders too; a mismatch is refused before anything runs.
            const unsigned long expected = mysql_stmt_param_count(stmt_);
            if (expected != statement_->params.size()) {
                errorNumber_ = ER_WRONG_ARGUMENTS;
                errorText_ = std::to_string(statement_->params.size()) + " values for " +
                             std::to_string(expected) + " placeholders";
                closing_.push_back(stmt_);
                stmt_ = nullptr;
                return finish(false);
            }
            if (MYSQL_STMT* evicted = cache_->add(statement_->text, stmt_))
                closing_.push_back(evicted);  // the least recently used, or this one with a cache of 0
            return execute();
        }
        case Phase::kExecute:
            if (intRet_ != 0) {
                // A cached handle the server no longer knows: prepared afresh, once.
                if (fromCache_ && !retried_ && mysql_stmt_errno(stmt_) == ER_UNKNOWN_STMT_HANDLER) {
                    retried_ = true;
                    cache_->remove(stmt_);
                    closing_.push_back(stmt_);
                    return prepare();
                }
                return fail();
            }
            return afterExecute();
        case Phase::kFetch:
            if (intRet_ == 0 || intRet_ == MYSQL_DATA_TRUNCATED) {
                if (skipping_)
                    return fetch();
                char** cells = nullptr;
                unsigned long* lengths = nullptr;
                rows_.row(stmt_, cells, lengths);
                switch (onRow ? onRow(cells, lengths) : Take::kNext) {
                    case Take::kNext:
                        return fetch();
                    case Take::kYield:
                        return kYielded;
                    case Take::kStop:
                        // The rest stays unread: the owner gives up the connection, and with it the handles.
                        refused_ = true;
                        ok_ = false;
                        phase_ = Phase::kDone;
                        return kOver;
                }
            }
            if (intRet_ != MYSQL_NO_DATA)
                return fail();
            if (meta_ != nullptr) {
                mysql_free_result(meta_);
                meta_ = nullptr;
            }
            if (mysql_stmt_more_results(stmt_)) {
                phase_ = Phase::kNextResult;
                intRet_ = 0;
                return mysql_stmt_next_result_start(&intRet_, stmt_);
            }
            return finish(true);
        case Phase::kNextResult:
            if (intRet_ > 0)
                return fail();
            if (intRet_ < 0)
                return finish(true);
            // A procedure's further results: their rows are read and dropped.
            skipping_ = true;
            return afterExecute();
        case Phase::kClose:
            closing_.pop_back();
            return closeNext();
        case Phase::kDone:
            break;
    }
    return kOver;
}

int PreparedCall::afterExecute() {
    if (mysql_stmt_field_count(stmt_) == 0) {
        if (!skipping_) {
            affected_ = mysql_stmt_affected_rows(stmt_);
            insertId_ = mysql_stmt_insert_id(stmt_);
        }
        if (mysql_stmt_more_results(stmt_)) {
            phase_ = Phase::kNextResult;
            intRet_ = 0;
            return mysql_stmt_next_result_start(&intRet_, stmt_);
        }
        return finish(true);
    }
    meta_ = mysql_stmt_result_metadata(stmt_);
    if (meta_ == nullptr || !rows_.bind(stmt_, meta_))
        return fail();
    if (!skipping_ && onColumns)
        onColumns(meta_);
    return fetch();
}

int PreparedCall::fetch() {
    phase_ = Phase::kFetch;
    intRet_ = 0;
    return mysql_stmt_fetch_start(&intRet_, stmt_);
}

int PreparedCall::fetchNext() {
    return fetch();
}

int PreparedCall::fail() {
    if (errorNumber_ == 0 && stmt_ != nullptr) {
        errorNumber_ = static_cast<int>(mysql_stmt_errno(stmt_));
        errorText_ = mysql_stmt_error(stmt_);
    }
    if (errorNumber_ == 0) {
        errorNumber_ = static_cast<int>(mysql_errno(handle_));
        errorText_ = mysql_error(handle_);
    }
    if (errorNumber_ == 0) {
        errorNumber_ = CR_UNKNOWN_ERROR;
        errorText_ = "the prepared statement failed";
    }
    if (phase_ == Phase::kPrepare && stmt_ != nullptr) {
        closing_.push_back(stmt_);  // never cached
        stmt_ = nullptr;
    }
    return finish(false);
}

int PreparedCall::finish(bool ok) {
    ok_ = ok;
    if (meta_ != nullptr) {
        mysql_free_result(meta_);
        meta_ = nullptr;
    }
    return closeNext();
}

int PreparedCall::startClosing(std::vector<MYSQL_STMT*> handles) {
    ok_ = true;
    refused_ = false;
    for (MYSQL_STMT* stmt : handles)
        closing_.push_back(stmt);
    return closeNext();
}

int PreparedCall::closeNext() {
    if (closing_.empty()) {
        phase_ = Phase::kDone;
        return kOver;
    }
    phase_ = Phase::kClose;
    boolRet_ = 0;
    return mysql_stmt_close_start(&boolRet_, closing_.back());
}

}  // namespace kestrum
