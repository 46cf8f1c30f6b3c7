// A small blocking HTTP/1.1 server on loopback for the outgoing-client tests: one connection at a time,
// records every request and answers with what the handler returns (a complete raw response). Connections are
// closed after each answer. A handler may stall (to test time-outs and aborts); the server stops when
// destroyed.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/loopback_server.h"

namespace kestrum::testing {

struct RecordedRequest {
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> headers;  // in arrival order
    std::string body;

    // Value of the first header of that name (case-insensitive); empty when absent.
    std::string header(std::string_view name) const;
    int count(std::string_view name) const;
};

class LocalHttpServer {
  public:
    using Handler = std::function<std::string(const RecordedRequest&)>;

    explicit LocalHttpServer(Handler handler);
    ~LocalHttpServer();
    LocalHttpServer(const LocalHttpServer&) = delete;
    LocalHttpServer& operator=(const LocalHttpServer&) = delete;

    int port() const { return server_.port(); }
    std::string url(std::string_view path) const {
        return "http://127.0.0.1:" + std::to_string(port()) + std::string(path);
    }
    std::vector<RecordedRequest> requests() const;
    bool stopping() const { return stop_.load(); }

    // A plain response with Content-Length and Connection: close; `extraHeaders` are full lines ending in CR
    // LF.
    static std::string response(int status, std::string_view body, std::string_view extraHeaders = {});

  private:
    void handle(int fd);

    Handler handler_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<RecordedRequest> requests_;
    LoopbackServer server_;
};

}  // namespace kestrum::testing
