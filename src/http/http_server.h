// The HTTP/1.1 server component: listeners, connections, TLS, WebSocket framing and the hand-over of finished
// requests to the request callback.
//
// Threads: the component owns none; it runs on the application's EventLoops. A listener accepts on loop 0
// and gives every new socket to the next loop in turn; the connection stays on that loop for good, so its
// parser, buffers, timer and TLS state need no lock. Every callback runs on the connection's loop and must
// not block. A finished request goes to onRequest, which answers at once or keeps an HttpReply and answers
// later from any thread; the answer is posted back to the connection's loop. While a request waits for its
// answer the connection parses nothing further, so pipelined requests are answered in order.
//
// The door: a peer the accept filter does not let in is closed on the accepting loop before anything else
// happens (no byte read, no TLS handshake, no connection object, not counted against maxConnections, no log
// line of its own).
//
// Limits: header bytes (kMaxHeaderBytes), body and WebSocket frame bytes (HttpCoreSettings::maxBody), unsent
// output (kMaxPendingOutput, reading pauses), the time a request's head and body may take however their
// bytes trickle, the time a request may wait for its answer, and an idle timeout. A connection that exceeds a
// limit is closed without a response.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "http/http_message.h"
#include "http/websocket_codec.h"

namespace asio {
class io_context;
namespace ip {
class address_v4;
}
namespace ssl {
class context;
}
}  // namespace asio

namespace kestrum {

class EventLoops;
class HttpConnection;
class RequestMeter;
class TlsContextSet;

enum class UpgradeKind { kWebSocket, kHttpTunnel, kOther };

struct UpgradeReply {
    enum class Action {
        kRefuse,     // close the connection, nothing sent
        kWebSocket,  // send `response`, then the connection speaks WebSocket frames
        kTunnel,     // send `response`, then close
        kIgnore,     // send nothing; further input is discarded until the idle timeout
    };
    Action action = Action::kRefuse;
    HttpResponse response;
};

struct WsReply {
    enum class Action {
        kNone,          // send nothing
        kSend,          // send `frame`
        kSendAndClose,  // send `frame`, then close once it is written; further input is discarded
        kDisconnect,    // close at once
    };
    Action action = Action::kNone;
    std::string frame;  // encoded frame for kSend and kSendAndClose
};

// The way back for an answer that onRequest gives later. Copyable; send() may be called from any thread and
// counts once: a second send, or one after the connection closed, is dropped. The response is serialised on
// the calling thread, so a large body is not copied on the network thread.
//
// A request ends, whatever happens to the work that was to answer it: when the last copy of a handle is
// destroyed without a send (a completion that threw, a job that was dropped), the connection is closed.
class HttpReply {
  public:
    HttpReply() = default;
    void send(std::optional<HttpResponse> response) const;
    // Like send(nothing), but the connection is closed as well.
    void close() const;

  private:
    friend class HttpConnection;
    struct Handle;
    std::shared_ptr<Handle> handle_;  // shared by every copy
};

// What onRequest did with a request.
enum class RequestAction {
    kAnswer,    // `response` is the answer
    kNoAnswer,  // nothing is sent (a kept-alive connection waits for the client's next request)
    kLater,     // the answer comes through the HttpReply
    kClose,     // nothing is sent and the connection is closed
};

// Callbacks shared by both listeners. Each gets the listener kind as the sender.
struct HttpCallbacks {
    // Accepting loop: the peer address of a new connection; false closes it at once, before a byte is read.
    // Must be cheap and must not block. Unset: every peer is let in.
    std::function<bool(const asio::ip::address_v4& peer)> acceptPeer;
    // Network thread: the client address a trusted balancer's PROXY protocol header carried; false closes the
    // connection at once, before the TLS handshake or any request. Unset: every carried address is let in.
    std::function<bool(const std::string& client)> carriedPeer;
    // Network thread: the head of a request that asks for "100 Continue" (method, url, path, headers and the
    // connection's fields; no body yet), which the callback may amend (its client address). True sends the
    // interim answer; false sends nothing, and the client sends its body after a wait of its own or gives
    // up. Unset: always sent.
    std::function<bool(HttpRequest& head)> onContinue;
    // Network thread: the listener is bound and about to listen.
    std::function<void(ServerKind, const std::string& address, int port)> onPrepareListen;
    // Caller's thread of stop(): the listener has stopped.
    std::function<void(ServerKind)> onShutdown;
    // Network thread: malformed request; the connection is closed afterwards.
    std::function<void(ServerKind, uint64_t connectionId)> onParseError;
    // Network thread: a finished request (never an upgrade), which the callback may take apart. Must not
    // block.
    std::function<RequestAction(HttpRequest&, std::optional<HttpResponse>& response, const HttpReply& later)>
        onRequest;
    // Network thread: a request that asks for a protocol switch (the callback may amend it).
    std::function<UpgradeReply(HttpRequest&, UpgradeKind)> onUpgrade;
    // Network thread: one WebSocket frame received completely.
    std::function<WsReply(ServerKind, uint64_t connectionId, const WsFrame&)> onWsFrame;
};

struct HttpCoreSettings {
    size_t maxBody = 16 << 20;
    // A connection without traffic for this long is closed (a request waiting for its answer is not idle).
    int idleTimeoutSeconds = 60;
    // A request may wait this long for its answer; then its connection is closed unanswered. 0: no limit.
    int requestTimeoutSeconds = 120;
    // A request's head must be complete this long after its first byte, and its body this long after its
    // head, however slowly the bytes come; otherwise the connection is closed. 0: no such limit.
    int headerTimeoutSeconds = 10;
    int bodyTimeoutSeconds = 60;
    // Peers the accept filter keeps out are summed up in one log line at most this often.
    int strangerLogSeconds = 60;
    // How long shutdown() waits for answers still coming before it closes the connections.
    int shutdownGraceMs = 2000;
    // Counts connections closed by a size limit; null: nothing is counted.
    RequestMeter* meter = nullptr;
    // Connections beyond this many are closed right after accept, without an answer; 0: no limit.
    size_t maxConnections = 10000;
    // Every connection begins with a PROXY protocol header (v1 or v2) before its first request or TLS
    // handshake; the client it names becomes the connection's remote address. A connection whose first bytes
    // are no such header is closed. Whom to let in is the accept filter's business.
    bool proxyProtocol = false;
};

inline constexpr size_t kMaxHeaderBytes = 64 * 1024;  // request line + headers
inline constexpr size_t kMaxPendingOutput =
    4 * 1024 * 1024;  // unsent bytes before a connection stops reading

// Connection bookkeeping shared by the listeners. The EventLoops must be running from start() to shutdown()
// and outlive the core.
class HttpCore {
  public:
    HttpCore(EventLoops& loops, const HttpCoreSettings& settings, HttpCallbacks callbacks);
    ~HttpCore();  // shutdown()
    HttpCore(const HttpCore&) = delete;
    HttpCore& operator=(const HttpCore&) = delete;

    // False when the loops do not run.
    bool start();
    // Stops reading new requests, waits (up to shutdownGraceMs) for the answers still coming and their
    // output, then closes every connection and waits until each is gone. Idempotent; never from a network
    // thread. Answers that arrive afterwards are dropped.
    void shutdown();
    // Connections open now (any thread).
    int connectionCount() const;

    // Connections closed at accept because maxConnections were open; any thread.
    uint64_t refusedConnections() const;
    // Connections closed at accept because the accept filter kept their peer out; any thread.
    uint64_t strangerConnections() const;

    // Internal to the component.
    struct Impl;
    struct Loop;  // the component's share of one loop
    Impl& impl() { return *impl_; }

  private:
    std::unique_ptr<Impl> impl_;
};

// One listener. TLS when a context set is given (it must outlive the core): each accepted connection takes
// the set's fallback context current at its accept.
class HttpServer {
  public:
    HttpServer(HttpCore& core, ServerKind kind, const TlsContextSet* tls);
    ~HttpServer();  // stop()
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds `address`:`port` (port 0 = any free port) and starts accepting. False when the address cannot be
    // bound.
    bool start(const std::string& address, int port);
    // Closes the listening socket; established connections stay until HttpCore::shutdown. True when it was
    // running.
    bool stop();
    bool isRunning() const;
    int port() const;
    ServerKind kind() const { return kind_; }

  private:
    struct Listener;
    HttpCore& core_;
    ServerKind kind_;
    const TlsContextSet* tls_;
    std::shared_ptr<Listener> listener_;
};

}  // namespace kestrum
