// HttpApiServer: the API service on two listeners, plain HTTP and HTTPS, on the application's network
// threads (EventLoops).
//
// The whitelist is the door: a connection from an address outside it (and not a trusted proxy) is closed as
// it is accepted, before a byte is read or a TLS handshake starts, and never counts against maxConnections;
// such connections are summed up in one "server" log line a minute at most. Behind a trusted proxy the
// client's address comes from the PROXY header (proxyProtocol) or X-Forwarded-For, and the whitelist judges
// that address per request.
//
// With callers in use (the Door's rules hold callers), every request but the heartbeat must name a caller by
// its bearer key or its client certificate, from an address its `from` admits, with the right for what it
// asks, within its rate and in-flight limits; refusals are answered with HTTP 401, 403 or 429 and an
// envelope. A connection keeps the caller its key was verified for, so a key is hashed once per connection
// (again only when the rules were replaced).
//
// The network thread that read a request settles it: whitelist check, the request log line (debug on), the
// heartbeat answer, routing, and the call of the MySQL or Redis endpoint, which starts its back-end work and
// returns without blocking. The endpoint's completion may come from any thread; its envelope is turned into
// the HTTP answer on that thread and posted back to the connection's own thread (dropped when the connection
// is gone). WebSocket upgrades are answered on the network thread and turn the connection into an echo
// service. "100 Continue" is sent only for a request that has a route.
//
// Thread rules: prepareServers, startListener, stopListener and releaseServers are called by the
// application's start-up and shutdown, one at a time; none of them may be called from a network thread.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "http/http_message.h"
#include "http/request_context.h"

namespace kestrum {

class Door;
class EventLoops;
class RequestMeter;

// Routing data, filled by the application before the listeners start and fixed afterwards.
struct RouteTable {
    std::string heartbeatPath;
    bool mysqlOn = false;
    std::string mysqlPath;  // prefix: a POST whose path starts with it goes to `mysql`
    Endpoint mysql;
    bool redisOn = false;
    std::string redisPath;
    Endpoint redis;
    // The whitelist, the trusted proxies and the callers in force; null means nobody is served. The rules
    // may be replaced at any time (Door::replace); the Door must outlive the server.
    std::shared_ptr<const Door> door;
    // A GET of metricsPath (exact) from a whitelisted client is answered with metricsPage() and writes no
    // log line of its own. Empty path: no page.
    std::string metricsPath;
    std::function<std::string()> metricsPage;
    // Callers with rate_shared: asks the count shared by every instance for one request of the caller and
    // calls `done` once, from any thread: 0 allowed, > 0 refused (seconds until the budget has room again),
    // < 0 the count could not be had (the instance's own bucket decides). Must not block. Unset: every
    // instance counts on its own.
    std::function<void(const Caller& caller, std::function<void(int64_t retryAfter)> done)> sharedRate;
    // A GET of readyPath (exact) from a whitelisted client asks readyCheck, which answers once, from any
    // thread, with the outcome and the envelope text (internal encoding): HTTP 200 when ready, 503 when not.
    // No log line of its own. Empty path: no readiness page.
    std::string readyPath;
    std::function<void(std::function<void(bool ready, std::string envelope)>)> readyCheck;
    // Counts every request that passed the whitelist (and those that did not) with its endpoint, outcome and
    // duration; null: nothing is counted.
    RequestMeter* meter = nullptr;
};

struct HttpSettings {
    std::string localAddress;       // dotted IPv4 address the listeners bind to
    std::string runDir;             // ssl-cert/ is taken from here when the working directory has none
    size_t maxBody = 16 << 20;      // a request body or WebSocket frame beyond this closes the connection
    int idleTimeoutSeconds = 60;    // a connection without traffic for this long is closed
    int headerTimeoutSeconds = 10;  // a request's head must be in this long after its first byte
    int bodyTimeoutSeconds = 60;    // and its body this long after its head; else the connection is closed
    int strangerLogSeconds = 60;    // one log line at most this often sums up the strangers
    size_t maxConnections = 10000;  // connections beyond it are closed at accept, unanswered; 0: no limit
    // Every connection begins with a PROXY protocol header, and only trusted proxies are let in.
    bool proxyProtocol = false;
    // A request whose answer has not come this long after it was handed over closes its connection; 0: no
    // limit.
    int requestTimeoutSeconds = 120;
};

class HttpApiServer {
  public:
    HttpApiServer();
    ~HttpApiServer();  // releases whatever is still held
    HttpApiServer(const HttpApiServer&) = delete;
    HttpApiServer& operator=(const HttpApiServer&) = delete;

    // Loads the two TLS contexts from the ssl-cert folder (of the working directory, else of runDir). False
    // when the second context cannot be set up: "SPECIAL_SERVER_INDEX < 0" (type "server/error") is logged
    // and the application ends the process. Called by the start-up before any module opens; prepareServers()
    // loads them itself when this was not called.
    bool loadTls(const std::string& runDir);

    // Creates both servers on `loops`, which must run until releaseServers() and outlive this object, with
    // the TLS contexts of loadTls(). Returns false when the second TLS context could not be set up (logged as
    // above) or the network threads do not run; everything is released then, and the application ends the
    // process.
    bool prepareServers(EventLoops& loops, const HttpSettings& settings, RouteTable routes);

    // Loads both TLS contexts again from their files: new handshakes use the new certificate and key, open
    // connections keep theirs. A context whose files do not load (missing, wrong password, key not matching
    // the certificate) stays as it was. One log line per context (type "server/https") says which. Not from
    // a network thread.
    void reloadTls();

    // Starts listening on the local address and `port` (0 picks a free port). Returns 1 when started, 0 when
    // the start failed. Logs the prepare-listen line on success.
    int startListener(ServerKind kind, int port);
    // Closes the listening socket of a started listener; returns 1 (and logs "shut down.") when it was
    // running.
    int stopListener(ServerKind kind);
    // The port a started listener is bound to, 0 when it does not run.
    int listenPort(ServerKind kind) const;
    // Client connections open now (both listeners; any thread).
    int openConnections() const;

    // Stops both listeners, waits (about two seconds at most) for the answers of requests in flight and
    // their output, then closes every connection. Safe to call more than once.
    void releaseServers();

    // Connections refused for the connection limit since prepareServers(); any thread.
    uint64_t refusedConnections() const;
    // Connections closed at accept since prepareServers() because their address is not whitelisted; any
    // thread.
    uint64_t strangerConnections() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kestrum
