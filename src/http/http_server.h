// The HTTP/1.1 server component: network threads, listeners, connections, TLS, WebSocket framing and the
// hand-over of finished requests to the worker pool.
//
// Threading (one io_context per network thread): a listener accepts on the first network thread and gives
// every new socket to the next thread in turn; the connection stays on that thread for good, so its parser,
// buffers, timer and TLS state need no lock. A finished request is moved into a job on the WorkerPool, where
// the request callback runs; its answer is posted back to the connection's thread. While a request is in the
// pool the connection neither reads nor parses, so pipelined requests are answered in order. Upgrades and
// WebSocket frames are handled on the network thread. Requests that a quick, non-blocking look settles (the
// onQuickRequest callback) are answered on the network thread and skip both thread hops.
//
// Limits: header bytes (kMaxHeaderBytes), body and WebSocket frame bytes (HttpCoreSettings::maxBody), unsent
// output (kMaxPendingOutput, reading pauses) and an idle timeout. A connection that exceeds a size limit is
// closed without a response.
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

#include "http/request_context.h"
#include "http/websocket_codec.h"

namespace asio {
class io_context;
namespace ssl {
class context;
}
}  // namespace asio

namespace kestrum {

class WorkerPool;
class HttpConnection;

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// One finished request, owned by whoever handles it.
struct HttpRequest {
    ServerKind server = ServerKind::Http;
    uint64_t connectionId = 0;
    std::string remoteAddress;  // dotted IPv4
    std::string method;         // "GET", "POST", ...
    std::string url;            // as in the request line
    std::string path;           // URL path without query string and fragment
    HeaderList headers;         // in arrival order
    std::string body;
    bool keepAlive = false;
    bool upgrade = false;

    // First header of that name (case-insensitive), or null.
    const std::string* header(std::string_view name) const;
};

struct HttpResponse {
    int status = 200;
    std::string reason;  // empty: reasonPhrase(status)
    HeaderList headers;
    std::string body;
    // False for 101 and tunnel answers, which carry no Content-Length.
    bool withContentLength = true;
};

// Serialises a response. `connectionHeader` (may be empty) adds a Connection header.
std::string serializeResponse(const HttpResponse& response, std::string_view connectionHeader);

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
    enum class Action { kNone, kSend, kDisconnect };
    Action action = Action::kNone;
    std::string frame;  // encoded frame for kSend
};

// Callbacks shared by both listeners. Each gets the listener kind as the sender.
struct HttpCallbacks {
    // Network thread: the listener is bound and about to listen.
    std::function<void(ServerKind, const std::string& address, int port)> onPrepareListen;
    // Caller's thread of stop(): the listener has stopped.
    std::function<void(ServerKind)> onShutdown;
    // Network thread: malformed request; the connection is closed afterwards.
    std::function<void(ServerKind, uint64_t connectionId)> onParseError;
    // Worker thread: a finished request (never an upgrade), which the callback may take apart. Returns the
    // answer, or nothing for no answer.
    std::function<std::optional<HttpResponse>(HttpRequest&)> onRequest;
    // Network thread, optional, before the hand-over: returns true when the request is settled without the
    // pool (then `response` is the answer or empty for none), false to send it to onRequest. Must not block.
    std::function<bool(const HttpRequest&, std::optional<HttpResponse>& response)> onQuickRequest;
    // Network thread: a request that asks for a protocol switch.
    std::function<UpgradeReply(const HttpRequest&, UpgradeKind)> onUpgrade;
    // Network thread: one WebSocket frame received completely.
    std::function<WsReply(ServerKind, uint64_t connectionId, const WsFrame&)> onWsFrame;
};

struct HttpCoreSettings {
    int networkThreads = 0;  // 0 = one per core
    int workerThreads = 0;   // 0 = 2 x cores + 2
    size_t maxBody = 16 << 20;
    int idleTimeoutSeconds = 60;
};

inline constexpr size_t kMaxHeaderBytes = 64 * 1024;  // request line + headers
inline constexpr size_t kMaxPendingOutput =
    4 * 1024 * 1024;  // unsent bytes before a connection stops reading

// Network threads, worker pool and connection bookkeeping shared by the listeners.
class HttpCore {
  public:
    HttpCore(const HttpCoreSettings& settings, HttpCallbacks callbacks);
    ~HttpCore();  // shutdown()
    HttpCore(const HttpCore&) = delete;
    HttpCore& operator=(const HttpCore&) = delete;

    // Starts the network threads and the worker pool. False when a thread cannot be started.
    bool start();
    // Stops reading new requests, runs every queued request and sends its answer, closes every connection
    // (after its pending output, at most about two seconds), then joins all threads. Idempotent.
    void shutdown();

    // Internal to the component.
    struct Impl;
    Impl& impl() { return *impl_; }

  private:
    std::unique_ptr<Impl> impl_;
};

// One listener. TLS when a context is given (the context must outlive the server).
class HttpServer {
  public:
    HttpServer(HttpCore& core, ServerKind kind, asio::ssl::context* tls);
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
    asio::ssl::context* tls_;
    std::shared_ptr<Listener> listener_;
};

}  // namespace kestrum
