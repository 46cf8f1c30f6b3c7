// The values of a prepared statement as the C API's parameter bindings, and the rows of its binary result
// turned into the text the server would have sent for them.
#pragma once

#include <mysql.h>

#include <cstddef>
#include <string>
#include <vector>

#include "mysql/sql_statement.h"

namespace kestrum {

// MYSQL_BIND entries over `params`, which must outlive them and stay unmoved.
class ParamBinds {
  public:
    explicit ParamBinds(const std::vector<SqlParam>& params);
    ParamBinds(const ParamBinds&) = delete;
    ParamBinds& operator=(const ParamBinds&) = delete;
    // Null when there are no values.
    MYSQL_BIND* binds() { return binds_.empty() ? nullptr : binds_.data(); }
    size_t size() const { return binds_.size(); }

  private:
    std::vector<MYSQL_BIND> binds_;
    std::vector<unsigned long> lengths_;
};

// Reads the rows of a statement's stored binary result. Each column is fetched in a native form (integers,
// doubles, dates and times) or as its bytes, and given as the text the text protocol carries for it: decimal
// integers, dates as "YYYY-MM-DD HH:MM:SS[.ffffff]", every byte of strings and blobs. So one set of rules
// answers rows of both protocols.
class BinaryRows {
  public:
    // Binds the columns of `meta` (the statement's result metadata) to `stmt`. False when the library
    // refuses the bindings.
    bool bind(MYSQL_STMT* stmt, MYSQL_RES* meta);
    // After a fetch that gave a row (0 or MYSQL_DATA_TRUNCATED): the row's cells as text, null for SQL NULL,
    // in the form MysqlResult copies them. Refetches columns longer than their buffer. Valid until the next
    // call.
    void row(MYSQL_STMT* stmt, char**& cells, unsigned long*& lengths);

  private:
    struct Column {
        enum class Form { kSigned, kUnsigned, kFloat, kDouble, kTime, kBytes } form = Form::kBytes;
        int type = 0;
        unsigned int decimals = 0;
        unsigned long width = 0;  // zero-filled display width, or 0
        long long integer = 0;
        float single = 0;
        double number = 0;
        MYSQL_TIME time{};
        std::vector<char> bytes;
        unsigned long length = 0;
        my_bool isNull = 0;
        my_bool error = 0;
    };
    std::vector<Column> columns_;
    std::vector<MYSQL_BIND> binds_;
    std::vector<std::string> texts_;
    std::vector<char*> cells_;
    std::vector<unsigned long> lengths_;
};

}  // namespace kestrum
