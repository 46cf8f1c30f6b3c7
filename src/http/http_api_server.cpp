// The API service on top of the server component: TLS contexts, listeners, the whitelist at accept, the
// request handling on the network thread (request log line, heartbeat, endpoint routing), the WebSocket echo
// and the log lines of the listeners.
#include "http/http_api_server.h"

#include <asio/ip/address_v4.hpp>
#include <asio/ssl.hpp>
#include <filesystem>

#include "http/api_envelope.h"
#include "http/http_server.h"
#include "http/tls_context.h"
#include "log/log_writer.h"
#include "util/encoding.h"
#include "util/regex_matcher.h"
#include "util/request_meter.h"
#include "util/sync_map.h"
#include "util/text.h"

namespace kestrum {

namespace {

const char* logType(ServerKind kind) {
    return kind == ServerKind::Http ? "server/http" : "server/https";
}

// Headers that carry credentials: the request log line shows that they came, not what they hold.
bool isCredentialHeader(std::string_view name) {
    return equalsIgnoreCase(name, "Authorization") || equalsIgnoreCase(name, "Proxy-Authorization") ||
           equalsIgnoreCase(name, "Cookie");
}

std::string headerText(const HeaderList& headers) {
    std::string text;
    for (const auto& [name, value] : headers) {
        text += name;
        text += ':';
        text += isCredentialHeader(name) ? std::string_view("***") : std::string_view(value);
        text += "\r\n";
    }
    if (text.starts_with("\r\n"))
        text.erase(0, 2);
    if (text.ends_with("\r\n"))
        text.resize(text.size() - 2);
    return collapseEmptyLines(text);
}

HttpResponse okResponse(std::string body, const char* contentType) {
    HttpResponse response;
    response.status = 200;
    response.reason = "OK";
    response.headers.emplace_back("Content-Type", contentType);
    response.body = std::move(body);
    return response;
}

constexpr const char* kJsonType = "application/json; charset=utf-8";
constexpr const char* kTextType = "text/plain; charset=utf-8";
constexpr const char* kMetricsType = "text/plain; version=0.0.4";

// The echo service: data frames (text, binary, continuations and unknown opcodes) go back exactly as they
// came, one frame per frame. Control frames get what RFC 6455 5.5 asks for: a Ping its Pong with the same
// payload, a Pong nothing, a Close a Close with the same status code, after which the connection is closed. A
// fragmented or oversized control frame breaks the protocol: it is answered with Close 1002 and the
// connection closed.
WsReply answerWsFrame(const WsFrame& frame) {
    WsReply reply;
    const bool control = frame.opcode == kWsClose || frame.opcode == kWsPing || frame.opcode == kWsPong;
    if (control && (!frame.fin || frame.payload.size() > kWsMaxControlPayload)) {
        reply.action = WsReply::Action::kSendAndClose;
        reply.frame = encodeWsFrame(true, 0, kWsClose, wsClosePayload(kWsProtocolError));
        return reply;
    }
    switch (frame.opcode) {
        case kWsClose:
            reply.action = WsReply::Action::kSendAndClose;
            reply.frame = encodeWsFrame(true, 0, kWsClose, wsCloseReplyPayload(frame.payload));
            return reply;
        case kWsPing:
            reply.action = WsReply::Action::kSend;
            reply.frame = encodeWsFrame(true, 0, kWsPong, frame.payload);
            return reply;
        case kWsPong:
            return reply;
        default:
            reply.action = WsReply::Action::kSend;
            reply.frame = encodeWsFrame(frame.fin, frame.rsv, frame.opcode, frame.payload);
            return reply;
    }
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    if (start == std::chrono::steady_clock::time_point{})
        return 0;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

struct HttpApiServer::Impl {
    HttpSettings settings;
    RouteTable routes;
    std::string heartbeatBody = gbkToUtf8Bytes("da da da ...");
    // Declared before the servers and the core: handshakes read the set until the core is gone.
    std::string certDir;  // ends in '/'; empty until loadTls()
    TlsContextSet tls;
    std::unique_ptr<HttpCore> core;
    std::unique_ptr<HttpServer> http;
    std::unique_ptr<HttpServer> https;

    HttpServer* server(ServerKind kind) const { return kind == ServerKind::Http ? http.get() : https.get(); }
    HttpCallbacks callbacks();
    bool whitelisted(const std::string& address) const {
        return routes.whitelist != nullptr && routes.whitelist->get(address) == "1";
    }
    // The endpoint a POST goes to (null: none, or not a POST), with its name for the meter.
    const Endpoint* endpointFor(const HttpRequest& request, MeteredEndpoint& metered) const;
    // The request (its head is enough) is served: whitelisted, and a route that answers exists.
    bool routed(const HttpRequest& head) const;
    RequestAction handleRequest(HttpRequest& request, std::optional<HttpResponse>& response,
                                const HttpReply& later) const;
    UpgradeReply handleUpgrade(const HttpRequest& request, UpgradeKind kind) const;
    void release();
};

HttpCallbacks HttpApiServer::Impl::callbacks() {
    HttpCallbacks callbacks;
    // A stranger's connection ends as it is accepted. The address text of an IPv4 address fits the string's
    // own storage: the check allocates nothing.
    callbacks.acceptPeer = [this](const asio::ip::address_v4& peer) { return whitelisted(peer.to_string()); };
    callbacks.onContinue = [this](const HttpRequest& head) { return routed(head); };
    callbacks.onPrepareListen = [](ServerKind kind, const std::string& address, int port) {
        logLine(logType(kind), std::string("prepare listen ") + kFullWidthColon + "ip(" + address +
                                   "),port(" + std::to_string(port) + ").");
    };
    callbacks.onShutdown = [](ServerKind kind) { logLine(logType(kind), "shut down."); };
    callbacks.onParseError = [](ServerKind kind, uint64_t connectionId) {
        logLine(logType(kind),
                std::string("error parse") + kFullWidthColon + "id(" + std::to_string(connectionId) + ").");
    };
    callbacks.onRequest = [this](HttpRequest& request, std::optional<HttpResponse>& response,
                                 const HttpReply& later) { return handleRequest(request, response, later); };
    callbacks.onUpgrade = [this](const HttpRequest& request, UpgradeKind kind) {
        return handleUpgrade(request, kind);
    };
    callbacks.onWsFrame = [](ServerKind, uint64_t, const WsFrame& frame) { return answerWsFrame(frame); };
    return callbacks;
}

const Endpoint* HttpApiServer::Impl::endpointFor(const HttpRequest& request, MeteredEndpoint& metered) const {
    metered = MeteredEndpoint::None;
    if (request.method != "POST")
        return nullptr;
    const Endpoint* endpoint = nullptr;
    if (routes.mysqlOn && request.path.starts_with(routes.mysqlPath)) {
        endpoint = &routes.mysql;
        metered = MeteredEndpoint::Mysql;
    } else if (routes.redisOn && request.path.starts_with(routes.redisPath)) {
        endpoint = &routes.redis;
        metered = MeteredEndpoint::Redis;
    }
    return endpoint != nullptr && *endpoint ? endpoint : nullptr;
}

bool HttpApiServer::Impl::routed(const HttpRequest& head) const {
    if (!whitelisted(head.remoteAddress))
        return false;
    if (head.method == "GET") {
        return head.path == routes.heartbeatPath ||
               (!routes.metricsPath.empty() && head.path == routes.metricsPath && routes.metricsPage) ||
               (!routes.readyPath.empty() && head.path == routes.readyPath && routes.readyCheck);
    }
    MeteredEndpoint metered;
    return endpointFor(head, metered) != nullptr;
}

RequestAction HttpApiServer::Impl::handleRequest(HttpRequest& request, std::optional<HttpResponse>& response,
                                                 const HttpReply& later) const {
    const std::string& address = request.remoteAddress;
    RequestMeter* const meter = routes.meter;
    if (!whitelisted(address)) {
        if (meter != nullptr)
            meter->refused(RefusalReason::Whitelist);
        return RequestAction::kNoAnswer;
    }
    auto unanswered = [&] {
        if (meter != nullptr)
            meter->recordRequest(MeteredEndpoint::None, MeteredCode::NoAnswer,
                                 secondsSince(request.completedAt));
        return RequestAction::kNoAnswer;
    };

    const bool debug = processDebug();
    if (debug && request.path != routes.heartbeatPath) {
        logLine("http",
                std::string("request") + kFullWidthColon + "id(" + std::to_string(request.connectionId) +
                    "),ip(" + address + "),type(" + request.method + "),adress(" + request.path +
                    "),request line(" + request.url + "),headers(" + headerText(request.headers) +
                    "),content(" + utf8BytesToGbk(request.body) + ").",
                true);
    }
    if (request.method == "GET" && request.path == routes.heartbeatPath) {
        response = okResponse(heartbeatBody, kTextType);
        if (debug) {
            logLine("http",
                    std::string("heart request") + kFullWidthColon + "id(" +
                        std::to_string(request.connectionId) + "),ip(" + address + ").",
                    true);
        }
        if (meter != nullptr)
            meter->recordRequest(MeteredEndpoint::Heartbeat, MeteredCode::Ok200,
                                 secondsSince(request.completedAt));
        return RequestAction::kAnswer;
    }
    if (request.method == "GET" && !routes.metricsPath.empty() && request.path == routes.metricsPath &&
        routes.metricsPage) {
        response = okResponse(routes.metricsPage(), kMetricsType);
        return RequestAction::kAnswer;
    }
    if (request.method == "GET" && !routes.readyPath.empty() && request.path == routes.readyPath &&
        routes.readyCheck) {
        routes.readyCheck([later](bool ready, std::string envelope) {
            HttpResponse answer = okResponse(envelopeBody(envelope), kJsonType);
            if (!ready) {
                answer.status = 503;
                answer.reason = reasonPhrase(503);
            }
            later.send(std::move(answer));
        });
        return RequestAction::kLater;
    }
    MeteredEndpoint metered = MeteredEndpoint::None;
    const Endpoint* endpoint = endpointFor(request, metered);
    if (endpoint == nullptr)
        return unanswered();
    RequestContext context;
    context.server = request.server;
    context.connectionId = request.connectionId;
    context.path = request.path;
    context.body = std::move(request.body);
    // The envelope becomes UTF-8 and the HTTP answer on the thread that completes the endpoint.
    (*endpoint)(std::move(context), [later, meter, metered,
                                     start = request.completedAt](std::optional<std::string> envelope) {
        if (meter != nullptr) {
            meter->recordRequest(metered, envelope ? meteredCodeOfEnvelope(*envelope) : MeteredCode::NoAnswer,
                                 secondsSince(start));
        }
        if (!envelope) {
            later.send(std::nullopt);
            return;
        }
        later.send(okResponse(envelopeBody(*envelope), kJsonType));
    });
    return RequestAction::kLater;
}

UpgradeReply HttpApiServer::Impl::handleUpgrade(const HttpRequest& request, UpgradeKind kind) const {
    // Upgrades are accepted on any path, from whitelisted addresses only. Strangers were closed at accept
    // already; the check here keeps that true for whatever reaches this point.
    UpgradeReply reply;
    reply.response.withContentLength = false;
    if (!whitelisted(request.remoteAddress)) {
        if (routes.meter != nullptr)
            routes.meter->refused(RefusalReason::Whitelist);
        reply.action = UpgradeReply::Action::kRefuse;
        return reply;
    }
    switch (kind) {
        case UpgradeKind::kHttpTunnel:
            reply.action = UpgradeReply::Action::kTunnel;
            reply.response.status = 200;
            reply.response.reason = reasonPhrase(200);
            return reply;
        case UpgradeKind::kWebSocket: {
            const std::string* key = request.header("Sec-WebSocket-Key");
            if (key == nullptr || key->empty()) {
                reply.action = UpgradeReply::Action::kRefuse;
                if (routes.meter != nullptr) {
                    routes.meter->recordRequest(MeteredEndpoint::Websocket, MeteredCode::NoAnswer,
                                                secondsSince(request.completedAt));
                }
                return reply;
            }
            if (routes.meter != nullptr) {
                routes.meter->recordRequest(MeteredEndpoint::Websocket, MeteredCode::Switch101,
                                            secondsSince(request.completedAt));
            }
            reply.action = UpgradeReply::Action::kWebSocket;
            reply.response.status = 101;
            reply.response.reason = reasonPhrase(101);
            reply.response.headers = {{"Connection", "Upgrade"},
                                      {"Upgrade", "WebSocket"},
                                      {"Sec-WebSocket-Accept", webSocketAcceptKey(*key)}};
            return reply;
        }
        case UpgradeKind::kOther:
            break;
    }
    reply.action = UpgradeReply::Action::kIgnore;
    return reply;
}

void HttpApiServer::Impl::release() {
    if (http)
        http->stop();
    if (https)
        https->stop();
    http.reset();
    https.reset();
    if (core)
        core->shutdown();
    core.reset();
}

HttpApiServer::HttpApiServer() : impl_(std::make_unique<Impl>()) {}

HttpApiServer::~HttpApiServer() {
    impl_->release();
}

bool HttpApiServer::prepareServers(EventLoops& loops, const HttpSettings& settings, RouteTable routes) {
    Impl& impl = *impl_;
    impl.release();
    impl.settings = settings;
    impl.routes = std::move(routes);
    if (!impl.tls.fallback() && !loadTls(settings.runDir))
        return false;

    HttpCoreSettings coreSettings;
    coreSettings.maxBody = settings.maxBody;
    coreSettings.idleTimeoutSeconds = settings.idleTimeoutSeconds;
    coreSettings.headerTimeoutSeconds = settings.headerTimeoutSeconds;
    coreSettings.bodyTimeoutSeconds = settings.bodyTimeoutSeconds;
    coreSettings.strangerLogSeconds = settings.strangerLogSeconds;
    coreSettings.meter = impl.routes.meter;
    coreSettings.maxConnections = settings.maxConnections;
    impl.core = std::make_unique<HttpCore>(loops, coreSettings, impl.callbacks());
    if (!impl.core->start()) {
        logLine("server/error", "network threads are not running.");
        impl.release();
        return false;
    }
    impl.http = std::make_unique<HttpServer>(*impl.core, ServerKind::Http, nullptr);
    impl.https = std::make_unique<HttpServer>(*impl.core, ServerKind::Https, &impl.tls);
    return true;
}

bool HttpApiServer::loadTls(const std::string& runDir) {
    Impl& impl = *impl_;
    // TLS files are relative to the working directory; a working directory without ssl-cert/ falls back to
    // the run directory.
    impl.certDir = tlsFolder(runDir);
    TlsContextResult defaultContext = createTlsContext(defaultTlsFiles(impl.certDir));
    TlsContextResult sniContext = createTlsContext(sniTlsFiles(impl.certDir));
    if (!sniContext.ok) {
        logLine("server/error", "SPECIAL_SERVER_INDEX < 0");
        impl.tls.clear();
        return false;
    }
    // The default context's own result does not stop the start-up: without it only TLS clients that send no
    // host name fail their handshake.
    impl.tls.setNamed(std::move(sniContext.context));
    impl.tls.setFallback(std::move(defaultContext.context));
    return true;
}

void HttpApiServer::reloadTls() {
    Impl& impl = *impl_;
    if (impl.certDir.empty())
        return;
    struct Context {
        const char* name;
        TlsFiles files;
        void (TlsContextSet::*replace)(TlsContextSet::Context);
    };
    const Context contexts[] = {
        {"default", defaultTlsFiles(impl.certDir), &TlsContextSet::setFallback},
        {"sni", sniTlsFiles(impl.certDir), &TlsContextSet::setNamed},
    };
    for (const Context& context : contexts) {
        TlsContextResult fresh = createTlsContext(context.files);
        if (fresh.ok) {
            (impl.tls.*context.replace)(std::move(fresh.context));
            logLine("server/https", std::string("tls reload") + kFullWidthColon + "context(" + context.name +
                                        "),certificate(" + context.files.certificate + ").");
            continue;
        }
        std::string reason;
        for (const std::string& problem : tlsFilesProblems(context.files))
            reason += (reason.empty() ? "" : "; ") + problem;
        if (reason.empty())
            reason = fresh.error;
        logLine("server/https", std::string("tls reload fail") + kFullWidthColon + "context(" + context.name +
                                    "),reason(" + reason + "),the old certificate stays.");
    }
}

int HttpApiServer::startListener(ServerKind kind, int port) {
    HttpServer* server = impl_->server(kind);
    if (server == nullptr || server->isRunning())
        return 0;
    return server->start(impl_->settings.localAddress, port) ? 1 : 0;
}

int HttpApiServer::stopListener(ServerKind kind) {
    HttpServer* server = impl_->server(kind);
    return server != nullptr && server->stop() ? 1 : 0;
}

int HttpApiServer::listenPort(ServerKind kind) const {
    HttpServer* server = impl_->server(kind);
    return server != nullptr ? server->port() : 0;
}

int HttpApiServer::openConnections() const {
    return impl_->core ? impl_->core->connectionCount() : 0;
}

void HttpApiServer::releaseServers() {
    impl_->release();
}

uint64_t HttpApiServer::refusedConnections() const {
    return impl_->core ? impl_->core->refusedConnections() : 0;
}

uint64_t HttpApiServer::strangerConnections() const {
    return impl_->core ? impl_->core->strangerConnections() : 0;
}

}  // namespace kestrum
