// Shared pieces of the MySQL tests: one private MariaDB server for the whole executable (on a port other than
// MySQL's own), the network threads the pools run on, pools opened on the server, and a loopback relay that
// can refuse chosen connections.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mysql/mysql_pool.h"
#include "support/loopback_server.h"
#include "support/mariadb_server.h"
#include "util/event_loops.h"

namespace kestrum {
class WorkerPool;
}

namespace kestrum::testing {

// Started on first use, stopped at exit. Tests call ASSERT_TRUE(mariadbReady()) first.
MariadbServer& sharedMariadb();
bool mariadbReady();

// Two running network threads for every pool of the tests; started on first use.
EventLoops& testLoops();

// A pool on the shared server (utf8mb4, as the module opens it).
int openTestPool(MysqlPool& pool, int connections);

// Runs the endpoint on a body (on a network thread, as the server does) and returns the envelope as UTF-8
// text (no byte-order mark), or "<no answer>".
std::string postSql(MysqlPool& pool, const std::string& utf8Body, WorkerPool* workers = nullptr);
std::string sqlBody(const std::string& utf8Statement);

// Binds a free loopback address, port 3306, and listens without ever accepting: the kernel completes the TCP
// handshake, then nothing answers, like a host that has stopped responding.
class SilentListener {
  public:
    SilentListener();
    ~SilentListener();
    bool listening() const { return server_.listening(); }
    const std::string& address() const { return server_.address(); }

  private:
    LoopbackServer server_;  // never started: nothing accepts
};

// Listens on a free loopback address, port 3306, and relays every connection to the shared server, except
// that the connections whose 1-based number is in `refused` are closed at once. While silenced, the bytes of
// every connection, open or new, are dropped in both directions: a server that has gone silent, its
// connections still open.
class RefusingRelay {
  public:
    explicit RefusingRelay(std::vector<int> refused = {});
    ~RefusingRelay();
    bool listening() const { return server_.listening(); }
    const std::string& address() const { return server_.address(); }
    int accepted() const { return server_.accepted(); }
    void silence(bool on) { silent_ = on; }

  private:
    void relay(int client, int number);
    std::vector<int> refused_;
    std::atomic<bool> silent_{false};
    LoopbackServer server_;
    std::vector<std::thread> pumps_;
    std::vector<int> openFds_;
};

}  // namespace kestrum::testing
