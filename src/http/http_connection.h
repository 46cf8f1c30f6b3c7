// HttpConnection and the shared state of the component's network threads (internal to src/http).
//
// Every member of HttpConnection runs on the network thread that owns it; the only way in from another thread
// is asio::post to its executor. The thread's registry holds the connection until close() removes it; pending
// operations hold it too, so it lives until the last one has completed.
#pragma once

#include <http_parser.h>

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <cassert>
#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>

#include "http/http_server.h"
#include "http/worker_pool.h"

namespace kestrum {

struct NetworkThread {
    asio::io_context context{1};
    asio::executor_work_guard<asio::io_context::executor_type> guard{context.get_executor()};
    std::thread thread;
    std::unordered_map<uint64_t, std::shared_ptr<HttpConnection>> connections;  // this thread only
};

struct HttpCore::Impl {
    HttpCoreSettings settings;
    HttpCallbacks callbacks;
    std::vector<std::unique_ptr<NetworkThread>> threads;
    WorkerPool pool;
    std::atomic<size_t> nextThread{0};
    std::atomic<uint64_t> nextConnectionId{1};
    std::atomic<bool> stopping{false};  // no new requests go to the pool
    std::atomic<int> liveConnections{0};
    bool running = false;  // network threads run (changed only by start/shutdown)

    NetworkThread& pickThread() { return *threads[nextThread.fetch_add(1) % threads.size()]; }
};

class HttpConnection : public std::enable_shared_from_this<HttpConnection> {
  public:
    HttpConnection(HttpCore::Impl& core, NetworkThread& thread, ServerKind kind, uint64_t id,
                   asio::ip::tcp::socket socket, asio::ssl::context* tls);
    ~HttpConnection();

    void start();
    // Shutdown: stop reading; close once pending output is written.
    void finish();
    void close();

  private:
    enum class Mode { kHttp, kWebSocket, kDiscard };
    using Clock = std::chrono::steady_clock;

    void assertInThread() const { assert(thread_.context.get_executor().running_in_this_thread()); }

    template <typename Function>
    void withStream(Function&& function) {
        if (tls_) {
            function(*tls_);
        } else {
            function(socket_);
        }
    }

    void startRead();
    void onRead(const asio::error_code& error, size_t bytes);
    void processInput();
    bool processHttp();       // false when the connection was closed or must wait
    bool processWebSocket();  // likewise
    void dispatchRequest();
    void handleUpgrade();
    void onReply(std::optional<HttpResponse> response, bool keepAlive);
    void deliverReply(std::optional<HttpResponse> response, bool keepAlive);
    void send(std::string bytes);
    void startWrite();
    void onWrite(const asio::error_code& error);
    void armIdleTimer(Clock::duration delay);
    void onIdleTimer(const asio::error_code& error);
    void resetRequest();
    bool chargeHeaderBytes(size_t count);
    void ensureReadSpace();

    static int onMessageBegin(http_parser* parser);
    static int onUrl(http_parser* parser, const char* at, size_t length);
    static int onHeaderField(http_parser* parser, const char* at, size_t length);
    static int onHeaderValue(http_parser* parser, const char* at, size_t length);
    static int onHeadersComplete(http_parser* parser);
    static int onBody(http_parser* parser, const char* at, size_t length);
    static int onMessageComplete(http_parser* parser);
    static const http_parser_settings kParserSettings;

    HttpCore::Impl& core_;
    NetworkThread& thread_;
    ServerKind kind_;
    uint64_t id_;
    asio::ip::tcp::socket socket_;
    std::unique_ptr<asio::ssl::stream<asio::ip::tcp::socket&>> tls_;
    asio::steady_timer idleTimer_;
    Clock::time_point lastActivity_;
    std::string remoteAddress_;

    // Input: one contiguous buffer; bytes between readPos_ and writePos_ are not parsed yet.
    std::vector<char> input_;
    size_t readPos_ = 0;
    size_t writePos_ = 0;

    http_parser parser_;
    Mode mode_ = Mode::kHttp;
    HttpRequest request_;  // the request being parsed
    size_t headerBytes_ = 0;
    bool lastWasValue_ = false;
    bool limitExceeded_ = false;

    std::deque<std::string> output_;
    size_t pendingOutput_ = 0;

    bool handshakeDone_ = false;
    bool reading_ = false;
    bool writing_ = false;
    bool busy_ = false;  // a request of this connection is with the worker pool
    bool finishing_ = false;
    bool closeAfterWrite_ = false;
    bool closed_ = false;
};

}  // namespace kestrum
