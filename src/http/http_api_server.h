// HttpApiServer: the API service on two listeners, plain HTTP and HTTPS, sharing one set of network threads
// and one worker pool.
//
// Network threads read, parse, buffer and write. A finished request for a MySQL or Redis endpoint becomes one
// job on the worker pool, where the whitelist check, the request log line and the endpoint run; the answer
// goes back to the connection's own thread. Requests that reach no endpoint (heartbeat, whitelist drops,
// unrouted paths) are settled on the network thread when debug is off, with the same outcome and no thread
// hop; with debug on they go to the pool too, since they write log lines. WebSocket upgrades are answered on
// the network thread and turn the connection into an echo service.
//
// Thread rules: prepareServers, startListener, stopListener and releaseServers are called by the
// application's start-up and shutdown, one at a time; none of them may be called from a network or worker
// thread.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "http/request_context.h"

namespace kestrum {

class SyncMap;

// Routing data, filled by the application before the listeners start and fixed afterwards.
struct RouteTable {
    std::string heartbeatPath;
    bool mysqlOn = false;
    std::string mysqlPath;  // prefix: a POST whose path starts with it goes to `mysql`
    Endpoint mysql;
    bool redisOn = false;
    std::string redisPath;
    Endpoint redis;
    const SyncMap* whitelist = nullptr;  // IpWhitelist: client address -> "1"; null means nobody is served
};

struct HttpSettings {
    std::string localAddress;     // dotted IPv4 address the listeners bind to
    std::string runDir;           // ssl-cert/ is taken from here when the working directory has none
    int workerThreads = 0;        // worker pool size; 0 = 2 x cores + 2
    int networkThreads = 0;       // 0 = one per core
    size_t maxBody = 16 << 20;    // a request body or WebSocket frame beyond this closes the connection
    int idleTimeoutSeconds = 60;  // a connection without traffic for this long is closed
};

class HttpApiServer {
  public:
    HttpApiServer();
    ~HttpApiServer();  // releases whatever is still held
    HttpApiServer(const HttpApiServer&) = delete;
    HttpApiServer& operator=(const HttpApiServer&) = delete;

    // Creates both servers, the two TLS contexts, the network threads and the worker pool. Returns false when
    // the second TLS context could not be set up; it has then logged "SPECIAL_SERVER_INDEX < 0" (type
    // "server/error") and released everything, and the application ends the process.
    bool prepareServers(const HttpSettings& settings, RouteTable routes);

    // Starts listening on the local address and `port` (0 picks a free port). Returns 1 when started, 0 when
    // the start failed. Logs the prepare-listen line on success.
    int startListener(ServerKind kind, int port);
    // Closes the listening socket of a started listener; returns 1 (and logs "shut down.") when it was
    // running.
    int stopListener(ServerKind kind);
    // The port a started listener is bound to, 0 when it does not run.
    int listenPort(ServerKind kind) const;

    // Stops both listeners, lets every queued request finish and its answer go out, closes every connection
    // and joins all threads. Safe to call more than once.
    void releaseServers();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Fills the IP whitelist from the config.ini [sys] whitelist text (internal encoding): "，" and " " count as
// ",", the pieces are the addresses, and the word "localhost" stands for `localAddress`. Empty pieces are
// added too.
void loadWhitelist(SyncMap& whitelist, std::string_view configText, const std::string& localAddress);

// The reason phrase of an HTTP status code; "***" for a code not in the table.
std::string reasonPhrase(int status);

}  // namespace kestrum
