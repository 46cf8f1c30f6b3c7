// MysqlClient: one MariaDB/MySQL connection handle and the reads of its stored result sets.
//
// The class adds no text conversion: statements, values, column names and error texts pass through byte for
// byte. It is not safe for concurrent use; the pool hands each connection to one thread at a time. A stored
// result set is fully buffered on the client side, so its rows can be read (and it can be freed) without
// touching the connection.
#pragma once

#include <mysql.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "mysql/mysql_result.h"

namespace kestrum {

// Empty text as null, so that the library's default applies (local host, no password, no default database).
const char* orNull(const std::string& text);

class MysqlClient {
  public:
    MysqlClient();   // creates a fresh, unconnected handle
    ~MysqlClient();  // closes the connection
    MysqlClient(const MysqlClient&) = delete;
    MysqlClient& operator=(const MysqlClient&) = delete;

    // Connects to host:port (empty texts are passed as null, so the library defaults apply: local host, no
    // password, no default database). connectTimeoutSeconds > 0 bounds the connect phase; there is never a
    // read time-out or automatic reconnect. Returns the handle, or null on failure (the unconnected handle is
    // kept, so a later query fails with a client error). Like every handle of this class it never offers the
    // server local files (LOAD DATA LOCAL INFILE fails).
    MYSQL* connect(const std::string& host, const std::string& user, const std::string& password,
                   const std::string& database, int port, int connectTimeoutSeconds = 0);
    // Closes the connection and frees the handle; a later connect starts with a new one.
    void close();
    // After a fault inside a call on this handle: closes its socket and lets go of the handle without
    // freeing it (its state is unknown). A later connect starts with a new one.
    void abandon();
    // Makes a fresh handle for the non-blocking calls (MYSQL_OPT_NONBLOCK) with the connect time-out; the
    // caller then connects it with mysql_real_connect_start/_cont. False when no handle could be made.
    bool prepareNonblocking(int connectTimeoutSeconds);
    MYSQL* handle() const { return handle_.get(); }

    // True when the server accepted the statement. The text is sent with its exact length.
    bool query(std::string_view statement);
    // The whole result of the last statement, or null (no handle, no result set, or an error).
    MYSQL_RES* storeResult();
    // Reads and frees every further result the last statement produced (a stored procedure sends one per
    // SELECT plus a final status). Until they are read the connection refuses every new statement ("Commands
    // out of sync"). Results already stored stay valid. False when one of them reports an error
    // (lastErrno/lastError then tell it).
    bool discardPendingResults();
    static void freeResult(MYSQL_RES* result);

    static uint64_t rowCount(MYSQL_RES* result);
    static int fieldCount(MYSQL_RES* result);
    // Moves the row cursor of the result set to `row` (0-based). False when there is no such row.
    bool seekRow(MYSQL_RES* result, uint64_t row) const;
    static FieldInfo fieldInfo(MYSQL_RES* result, int column);
    // Index of the first column whose name equals `name` byte for byte; -1 when none does.
    static int columnIndex(MYSQL_RES* result, std::string_view name);
    // The value of the named column in the cursor row (every byte, NUL bytes included), without moving the
    // cursor. SQL NULL gives empty text.
    // False (and `value` untouched) when no column has that name or the cursor is past the last row.
    static bool valueByName(MYSQL_RES* result, std::string_view name, std::string& value);

    std::string lastError() const;
    int lastErrno() const;

  private:
    struct HandleCloser {
        void operator()(MYSQL* handle) const { mysql_close(handle); }
    };
    std::unique_ptr<MYSQL, HandleCloser> handle_;
};

}  // namespace kestrum
