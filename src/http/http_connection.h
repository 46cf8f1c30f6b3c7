// HttpConnection and the per-loop state of the component (internal to src/http).
//
// Every member of HttpConnection runs on the network thread (EventLoops loop) that owns it. Answers given
// later (HttpReply) reach it through asio::post to that loop, holding only a weak reference, so an answer
// for a connection that is gone is dropped there. The loop's registry holds the connection until close()
// removes it; pending operations hold it too, so it lives until the last one is done.
//
// Memory of a waiting connection: none for input. Reads wait for the socket to become readable and then
// take the bytes into the loop's shared read buffer; the parser copies what it needs into the request being
// built, and only bytes it cannot take yet (a pipelined request behind one waiting for its answer, an
// unfinished WebSocket frame) are kept in the connection's own buffer, which is given back once empty.
// Output strings live until written. TLS runs through TlsStream, whose record buffers are released while
// no record is in flight.
#pragma once

#include <asio.hpp>
#include <asio/ssl/context.hpp>
#include <cassert>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

#include "http/http_request_parser.h"
#include "http/http_server.h"
#include "http/stranger_log.h"
#include "http/tls_stream.h"
#include "util/event_loops.h"
#include "util/recovery_point.h"

namespace kestrum {

// The component's share of one loop.
struct HttpCore::Loop {
    // 64 KiB: one read drains a typical burst (several pipelined requests, a TLS read-ahead) in one call.
    static constexpr size_t kReadBufferSize = 64 * 1024;

    explicit Loop(asio::io_context& context) : context(context), readBuffer(kReadBufferSize) {}
    asio::io_context& context;
    std::unordered_map<uint64_t, std::shared_ptr<HttpConnection>> connections;  // this loop only
    // Every connection of the loop reads into this buffer and hands the bytes to its parser before the next
    // connection reads; nothing keeps a pointer into it across a wait.
    std::vector<char> readBuffer;
};

struct HttpCore::Impl {
    explicit Impl(EventLoops& loops) : loops(loops) {}
    EventLoops& loops;
    HttpCoreSettings settings;
    HttpCallbacks callbacks;
    std::vector<std::unique_ptr<Loop>> perLoop;  // one per loop, same index
    std::atomic<uint64_t> nextConnectionId{1};
    std::atomic<bool> stopping{false};  // no new connections or requests are taken
    std::atomic<int> liveConnections{0};
    std::atomic<int> acceptedPending{0};  // accepted, not yet a connection on its loop
    std::atomic<uint64_t> refused{0};     // closed at accept: the connection limit was reached
    std::atomic<uint64_t> strangers{0};   // closed at accept: the accept filter kept the peer out
    uint64_t refusedInBurst = 0;          // accepting loop only: refused since the limit was last reached
    std::shared_ptr<StrangerLog> strangerLog;  // accepting loop only; from start() to shutdown()
    // Longest wait of a connection's timer between two looks at its deadlines: the shortest of the time-outs,
    // so a deadline that starts between two looks is never seen late. Zero: no time-out at all.
    std::chrono::steady_clock::duration timerPeriod{};
    bool running = false;  // changed only by start/shutdown

    Loop& pickLoop() { return *perLoop[static_cast<size_t>(loops.next())]; }
};

// What the copies of one HttpReply share.
struct HttpReply::Handle {
    std::weak_ptr<HttpConnection> connection;
    asio::io_context* context = nullptr;
    uint64_t sequence = 0;  // which request of the connection this answers
    bool keepAlive = false;
    bool http10 = false;
    std::atomic<bool> awaited{false};  // the connection waits for this answer (onRequest said kLater)
    std::atomic<bool> used{false};     // an answer or a close was posted

    // The last copy is gone: a request still waiting for its answer closes its connection.
    ~Handle();
    // Posts the answer (serialised; empty: none) or the close to the connection's loop, once.
    void deliver(std::optional<std::string> bytes, bool closeNow);
};

class HttpConnection : public std::enable_shared_from_this<HttpConnection> {
  public:
    HttpConnection(HttpCore::Impl& core, HttpCore::Loop& loop, ServerKind kind, uint64_t id,
                   asio::ip::tcp::socket socket, std::shared_ptr<asio::ssl::context> tls);
    ~HttpConnection();

    void start();
    // Shutdown: stop reading; close once pending output is written.
    void finish();
    void close();

    // The answer (serialised; empty: none) to request number `sequence`, on the connection's loop.
    void onReply(uint64_t sequence, std::optional<std::string> bytes, bool keepAlive, bool closeNow);
    // Whether request number `sequence` is the one whose answer is awaited now (on the connection's loop).
    bool awaits(uint64_t sequence) const { return !closed_ && waitingFor_ == sequence; }

  private:
    enum class Mode { kHttp, kWebSocket, kDiscard };

    // Every event of the connection runs as a unit of work: when it throws or faults, the connection is
    // abandoned (closed and dropped from its loop's registry) and nothing more of that event runs.
    WorkUnit unit() { return WorkUnit("connection", id_, &HttpConnection::abandon, this); }
    static void abandon(void* connection);
    using Clock = std::chrono::steady_clock;

    void assertInThread() const { assert(loop_.context.get_executor().running_in_this_thread()); }
    bool busy() const { return waitingFor_ != 0; }

    enum class ReadResult { kData, kWouldBlock, kWantWrite, kEnd, kError };

    // The connection's own start, after the PROXY header when one is expected: TLS handshake or reading.
    void begin();
    // Takes the PROXY header off the socket, never a byte more: bytes are peeked, and only the header's are
    // read.
    void readProxyHeader();
    void continueHandshake();
    // Waits until the socket is ready for `what`, then calls `next` under the connection's unit of work; an
    // error closes the connection instead.
    void waitThen(asio::socket_base::wait_type what, void (HttpConnection::*next)());
    void startRead();
    void onReadable(const asio::error_code& error);
    ReadResult readSome(char* data, size_t size, size_t& bytes);
    void consume(const char* data, size_t size);  // bytes just read, in the loop's read buffer
    void keepInput(const char* data, size_t size);
    size_t buffered() const { return writePos_ - readPos_; }
    void processInput();
    void parseBuffered();  // handles buffered input until it runs out or must wait
    // Parses from `data` until it runs out or the connection must wait; returns the bytes used.
    size_t parse(const char* data, size_t size);
    // Both: false when the connection was closed or must wait; `used` is set either way.
    bool processHttp(const char* data, size_t size, size_t& used);
    bool processWebSocket(const char* data, size_t size, size_t& used);
    HttpRequest takeRequest();  // the parsed request with the connection's own fields
    void dispatchRequest();
    void handleUpgrade();
    void deliverReply(std::optional<std::string> bytes, bool keepAlive);
    void send(std::string bytes);
    void startWrite();
    void continueTlsWrite();
    void onWrite(const asio::error_code& error);
    void armTimer(Clock::duration delay);
    // Closes the connection past its idle time, its head deadline or its body deadline.
    void onTimer(const asio::error_code& error);

    HttpCore::Impl& core_;
    HttpCore::Loop& loop_;
    ServerKind kind_;
    uint64_t id_;
    asio::ip::tcp::socket socket_;
    // Set for HTTPS: the context this connection keeps for its life, even when the listener's is replaced.
    std::shared_ptr<asio::ssl::context> tlsHold_;
    SSL_CTX* tlsContext_ = nullptr;  // tlsHold_'s; the stream is made when the connection starts
    std::unique_ptr<TlsStream> tls_;
    asio::steady_timer timer_;
    Clock::time_point lastActivity_;
    // The request being read: when its first byte was taken up and when its head was complete (epoch: not
    // yet). Bytes read ahead while an answer is awaited start the clock only when they are taken up.
    Clock::time_point requestStart_{};
    Clock::time_point bodyStart_{};
    std::string remoteAddress_;  // the client (a PROXY header's source, or the peer)
    std::string peerAddress_;    // the socket's peer
    std::string proxyBytes_;     // the PROXY header's bytes read so far (never more than the header)
    std::optional<Sha256> clientCertificate_;
    std::unique_ptr<ConnectionSession> session_;

    // Input the parser could not take yet (empty, without storage, most of the time); bytes between
    // readPos_ and writePos_ are not parsed yet.
    std::vector<char> input_;
    size_t readPos_ = 0;
    size_t writePos_ = 0;

    HttpRequestParser parser_;
    Mode mode_ = Mode::kHttp;

    // Output: answers queued while a write is in flight go out together in the next one.
    std::vector<std::string> output_;         // queued
    std::vector<std::string> inFlight_;       // being written
    std::vector<asio::const_buffer> gather_;  // views of inFlight_ for a plain write
    size_t tlsIndex_ = 0;                     // TLS: the string of inFlight_ being written
    size_t tlsOffset_ = 0;                    // and its bytes already taken by OpenSSL
    size_t pendingOutput_ = 0;
    uint64_t sequence_ = 0;          // requests handed to onRequest so far
    uint64_t waitingFor_ = 0;        // the request whose later answer is awaited; 0: none
    Clock::time_point busySince_{};  // when that request was handed over

    bool handshakeDone_ = false;
    bool tlsDrained_ = false;  // the last TLS read wanted more from the socket
    bool reading_ = false;
    bool writing_ = false;
    bool peerClosed_ = false;  // the client ended its side; answers still go out
    bool finishing_ = false;
    bool closeAfterWrite_ = false;
    bool closed_ = false;
    bool uncounted_ = false;  // abandoned after a fault: no longer counted as live
};

}  // namespace kestrum
