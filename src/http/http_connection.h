// HttpConnection and the shared state of the component's network threads (internal to src/http).
//
// Every member of HttpConnection runs on the network thread that owns it, with one exception: the worker that
// handled a request of a plain-HTTP connection may write the answer straight to the socket
// (completeOnWorker), under sendMutex_, when nothing else is being written. Everything else from another
// thread goes through asio::post to the connection's executor. The thread's registry holds the connection
// until close() removes it; pending operations and a worker with an answer hold it too, so it lives until the
// last one is done.
#pragma once

#include <http_parser.h>

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <cassert>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
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

    // Worker thread: the answer to the request this connection handed over (`bytes` empty: none). Writes it
    // directly when it can, otherwise posts it to the network thread.
    static void completeOnWorker(std::shared_ptr<HttpConnection> self, std::optional<std::string> bytes,
                                 bool keepAlive);

  private:
    enum class Mode { kHttp, kWebSocket, kDiscard };
    using Clock = std::chrono::steady_clock;

    // state_ bits: a request is with the worker pool; the worker must hand the connection back to the
    // network thread when done (input or an end of input arrived meanwhile).
    static constexpr int kBusy = 1;
    static constexpr int kHandBack = 2;

    void assertInThread() const { assert(thread_.context.get_executor().running_in_this_thread()); }
    bool busy() const { return (state_.load(std::memory_order_acquire) & kBusy) != 0; }
    bool writeDirectly(const std::string& bytes, size_t& sent);
    void onHandBack();
    void onWorkerRemainder(std::string bytes);

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
    void parseBuffered();     // handles buffered input until it runs out or must wait
    bool processHttp();       // false when the connection was closed or must wait
    bool processWebSocket();  // likewise
    void dispatchRequest();
    void handleUpgrade();
    void onReply(std::optional<std::string> bytes, bool keepAlive);
    void deliverReply(std::optional<std::string> bytes, bool keepAlive);
    bool isHttp10() const { return parser_.http_major == 1 && parser_.http_minor == 0; }
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
    const int fd_;  // the socket's descriptor, for answers written by a worker
    asio::steady_timer idleTimer_;
    std::atomic<Clock::time_point> lastActivity_;
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

    // Changed only on the network thread, and then under sendMutex_ (so a worker may read them under it):
    // output_, writing_, closed_, finishing_. The worker holds the mutex while it writes to fd_.
    std::mutex sendMutex_;
    std::deque<std::string> output_;
    size_t pendingOutput_ = 0;
    std::atomic<int> state_{0};

    bool handshakeDone_ = false;
    bool reading_ = false;
    bool writing_ = false;
    bool peerClosed_ = false;  // the client ended its side; answers still go out
    bool finishing_ = false;
    bool closeAfterWrite_ = false;
    bool closed_ = false;
};

}  // namespace kestrum
