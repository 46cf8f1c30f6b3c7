// MysqlClient: the MariaDB connection handle of one pool slot, made for the library's non-blocking calls.
//
// The class adds no text conversion: statements, values, column names and error texts pass through byte for
// byte. It is not safe for concurrent use; the pool hands each connection to one thread at a time.
#pragma once

#include <mysql.h>

#include <memory>

#include "mysql/mysql_result.h"

namespace kestrum {

class MysqlClient {
  public:
    MysqlClient();   // creates a fresh, unconnected handle
    ~MysqlClient();  // closes the connection
    MysqlClient(const MysqlClient&) = delete;
    MysqlClient& operator=(const MysqlClient&) = delete;

    // Makes a fresh handle for the non-blocking calls (MYSQL_OPT_NONBLOCK) with the connect time-out; the
    // caller then connects it with mysql_real_connect_start/_cont. There is never a read time-out or
    // automatic reconnect, and the handle never offers the server local files (LOAD DATA LOCAL INFILE fails).
    // False when no handle could be made.
    bool prepareNonblocking(int connectTimeoutSeconds);
    // Closes the connection and frees the handle.
    void close();
    // After a fault inside a call on this handle: closes its socket and lets go of the handle without
    // freeing it (its state is unknown). A later prepareNonblocking starts with a new one.
    void abandon();
    MYSQL* handle() const { return handle_.get(); }

    // Description of a column of `result` (the empty FieldInfo when there is no such column).
    static FieldInfo fieldInfo(MYSQL_RES* result, int column);

  private:
    struct HandleCloser {
        void operator()(MYSQL* handle) const { mysql_close(handle); }
    };
    std::unique_ptr<MYSQL, HandleCloser> handle_;
};

}  // namespace kestrum
