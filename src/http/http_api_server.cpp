// The API service on top of the server component: TLS contexts, listeners, the whitelist at accept, the
// request handling on the network thread (request log line, heartbeat, endpoint routing), the WebSocket echo
// and the log lines of the listeners.
#include "http/http_api_server.h"

#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <asio/ip/address_v4.hpp>
#include <asio/ssl.hpp>
#include <filesystem>

#include "http/api_envelope.h"
#include "http/door_rules.h"
#include "http/forwarded_for.h"
#include "http/http_server.h"
#include "http/tls_context.h"
#include "log/log_writer.h"
#include "util/encoding.h"
#include "util/regex_matcher.h"
#include "util/request_meter.h"
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

// What a connection remembers between its requests: its copy of the rules, and the caller its last key and
// its certificate were verified for under those rules.
struct CallerSession : ConnectionSession {
    DoorView view;
    uint64_t keyGeneration = 0;  // view generation the key was verified under; 0: none
    std::string key;
    const Caller* keyCaller = nullptr;
    uint64_t certificateGeneration = 0;
    const Caller* certificateCaller = nullptr;
};

CallerSession& sessionOf(HttpRequest& request, std::unique_ptr<ConnectionSession>& fallback) {
    std::unique_ptr<ConnectionSession>& slot = request.session != nullptr ? *request.session : fallback;
    if (!slot)
        slot = std::make_unique<CallerSession>();
    return static_cast<CallerSession&>(*slot);
}

bool sameKey(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

// The answer to a request that names no known caller (or one outside its `from`).
HttpResponse noCredentials() {
    HttpResponse response;
    response.status = 401;
    response.headers = {{"WWW-Authenticate", "Bearer realm=\"kestrum\""},
                        {"Content-Type", "application/json; charset=utf-8"}};
    response.body = envelopeBody(buildEnvelope(kNoCredentials, "no valid credentials"));
    return response;
}

HttpResponse envelopeResponse(int status, const std::string& envelope, int64_t retryAfter = 0) {
    HttpResponse response;
    response.status = status;
    response.headers.emplace_back("Content-Type", "application/json; charset=utf-8");
    if (retryAfter > 0)
        response.headers.emplace_back("Retry-After", std::to_string(retryAfter));
    response.body = answerBody(envelope);
    return response;
}

HttpResponse tooMany(const char* limit, int64_t retryAfter) {
    return envelopeResponse(429, buildEnvelope(kTooMany, std::string("too many requests: ") + limit),
                            retryAfter);
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
    // Some caller is known by a client certificate under the rules in force: clients that name a host are
    // asked for one too. Read when the host-named context is made (start-up, and every reload after the
    // door's rules), so a reload that adds or removes such callers takes effect with it.
    bool sniShouldAsk() const {
        if (!routes.door)
            return false;
        std::shared_ptr<const DoorRules> rules = routes.door->current();
        return rules->callers && rules->callers->anyCertificate();
    }
    bool sniAsksCertificate = false;  // how the host-named context in use was made
    TlsFiles sniFiles() {
        TlsFiles files = sniTlsFiles(certDir);
        sniAsksCertificate = sniShouldAsk();
        if (sniAsksCertificate)
            files.verifyMode = 1;
        return files;
    }
    TlsContextSet tls;
    std::unique_ptr<HttpCore> core;
    std::unique_ptr<HttpServer> http;
    std::unique_ptr<HttpServer> https;

    // The accepting loop's copy of the rules.
    DoorView acceptView;

    HttpServer* server(ServerKind kind) const { return kind == ServerKind::Http ? http.get() : https.get(); }
    HttpCallbacks callbacks();
    bool letIn(const asio::ip::address_v4& peer);
    // The request's client address: X-Forwarded-For of a trusted proxy (without the PROXY protocol) replaces
    // the peer's. False when that header is unusable: the request is not served.
    bool resolveClient(HttpRequest& request, const DoorRules& rules) const;
    // The rules of the request's connection and whether its client is whitelisted (its address resolved).
    const DoorRules* admit(HttpRequest& request, CallerSession& session) const;
    // The endpoint a POST goes to (null: none, or not a POST), with its name for the meter.
    const Endpoint* endpointFor(const HttpRequest& request, MeteredEndpoint& metered) const;
    // The right a routed request needs: the endpoint's, or the Redis sub-path's. Nothing for a Redis path
    // that is none of the sub-paths (it gets no answer anyway).
    std::optional<CallerRight> rightFor(const HttpRequest& request, MeteredEndpoint metered) const;
    // The caller the request names, by its bearer key or else its client certificate; null when none.
    const Caller* identify(const HttpRequest& request, CallerSession& session, const DoorRules& rules) const;
    // The request (its head is enough) is served: whitelisted, and a route that answers exists.
    bool routed(HttpRequest& head);
    // A request past the door's checks of identity, right and rate, answered through `later`: the in-flight
    // limit, then the metrics page or the endpoint.
    struct Admitted {
        RequestContext context;
        MeteredEndpoint metered = MeteredEndpoint::None;
        const Endpoint* endpoint = nullptr;  // null: the metrics page
        const Caller* caller = nullptr;
        CallerLimits* limits = nullptr;
        bool callers = false;                   // callers are in use
        std::shared_ptr<const DoorRules> held;  // keeps `caller` and `limits` alive
        std::chrono::steady_clock::time_point start;
    };
    void serve(Admitted admitted, const HttpReply& later) const;
    RequestAction handleRequest(HttpRequest& request, std::optional<HttpResponse>& response,
                                const HttpReply& later) const;
    UpgradeReply handleUpgrade(HttpRequest& request, UpgradeKind kind) const;
    void release();
};

HttpCallbacks HttpApiServer::Impl::callbacks() {
    HttpCallbacks callbacks;
    // A stranger's connection ends as it is accepted. The address text of an IPv4 address fits the string's
    // own storage: the check allocates nothing.
    callbacks.acceptPeer = [this](const asio::ip::address_v4& peer) { return letIn(peer); };
    // A client the balancer names outside the whitelist would get no answer to any request: closed as it
    // comes, like a stranger at accept.
    callbacks.carriedPeer = [this](const std::string& client) {
        const std::shared_ptr<const DoorRules> rules = routes.door ? routes.door->current() : nullptr;
        const std::optional<Ipv4Address> address = parseIpv4(client);
        return rules != nullptr && address.has_value() && rules->whitelist.contains(*address);
    };
    callbacks.onContinue = [this](HttpRequest& head) { return routed(head); };
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
    callbacks.onUpgrade = [this](HttpRequest& request, UpgradeKind kind) {
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

bool HttpApiServer::Impl::letIn(const asio::ip::address_v4& peer) {
    if (!routes.door)
        return false;
    const DoorRules& rules = acceptView.rules(*routes.door);
    const Ipv4Address address = peer.to_uint();
    // Behind the PROXY protocol only balancers connect; otherwise a balancer's connection is let in too and
    // the whitelist judges each request's carried address.
    if (settings.proxyProtocol)
        return rules.trustedProxies.contains(address);
    return rules.whitelist.contains(address) || rules.trustedProxies.contains(address);
}

bool HttpApiServer::Impl::resolveClient(HttpRequest& request, const DoorRules& rules) const {
    if (settings.proxyProtocol || rules.trustedProxies.empty() ||
        !rules.trustedProxies.contains(request.peerAddress))
        return true;
    std::string_view values[16];
    size_t count = 0;
    for (const auto& [name, value] : request.headers) {
        if (!equalsIgnoreCase(name, "X-Forwarded-For"))
            continue;
        if (count == std::size(values))
            return false;  // more lines than a chain of balancers writes
        values[count++] = value;
    }
    if (count == 0)
        return true;
    ForwardedClient client =
        forwardedClient(std::span<const std::string_view>(values, count), rules.trustedProxies);
    switch (client.kind) {
        case ForwardedClient::Kind::kAbsent:
            return true;
        case ForwardedClient::Kind::kFound:
            request.remoteAddress = std::move(client.address);
            return true;
        case ForwardedClient::Kind::kMalformed:
            return false;
    }
    return false;
}

const DoorRules* HttpApiServer::Impl::admit(HttpRequest& request, CallerSession& session) const {
    if (!routes.door)
        return nullptr;
    const DoorRules& rules = session.view.rules(*routes.door);
    if (!resolveClient(request, rules) || !rules.whitelist.contains(request.remoteAddress))
        return nullptr;
    return &rules;
}

std::optional<CallerRight> HttpApiServer::Impl::rightFor(const HttpRequest& request,
                                                         MeteredEndpoint metered) const {
    if (metered == MeteredEndpoint::Mysql)
        return CallerRight::kMysql;
    const std::string_view rest = std::string_view(request.path).substr(routes.redisPath.size());
    if (rest == "/get")
        return CallerRight::kRedisGet;
    if (rest == "/set")
        return CallerRight::kRedisSet;
    if (rest == "/order")
        return CallerRight::kRedisOrder;
    return std::nullopt;
}

const Caller* HttpApiServer::Impl::identify(const HttpRequest& request, CallerSession& session,
                                            const DoorRules& rules) const {
    const uint64_t generation = session.view.generation();
    if (const std::string* authorization = request.header("Authorization")) {
        std::optional<std::string_view> key = bearerKey(*authorization);
        if (!key)
            return nullptr;
        // The same key as the connection's last one, under the same rules: no hashing again.
        if (session.keyGeneration == generation && sameKey(session.key, *key))
            return session.keyCaller;
        session.keyCaller = rules.callers->findByKey(*key);
        session.key.assign(key->data(), key->size());
        session.keyGeneration = generation;
        return session.keyCaller;
    }
    if (!request.clientCertificate)
        return nullptr;
    if (session.certificateGeneration != generation) {
        session.certificateCaller = rules.callers->findByCertificate(*request.clientCertificate);
        session.certificateGeneration = generation;
    }
    return session.certificateCaller;
}

bool HttpApiServer::Impl::routed(HttpRequest& head) {
    std::unique_ptr<ConnectionSession> own;
    CallerSession& session = sessionOf(head, own);
    if (admit(head, session) == nullptr)
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
    RequestMeter* const meter = routes.meter;
    std::unique_ptr<ConnectionSession> own;
    CallerSession& session = sessionOf(request, own);
    const DoorRules* found = admit(request, session);
    if (found == nullptr) {
        if (meter != nullptr)
            meter->refused(RefusalReason::Whitelist);
        return RequestAction::kNoAnswer;
    }
    const DoorRules& rules = *found;
    const std::string& address = request.remoteAddress;
    auto unanswered = [&] {
        if (meter != nullptr)
            meter->recordRequest(MeteredEndpoint::None, MeteredCode::NoAnswer,
                                 secondsSince(request.completedAt));
        return RequestAction::kNoAnswer;
    };

    const bool debug = processDebug();
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
    // Readiness, like the heartbeat, is open to every whitelisted address: balancers need no key.
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

    // What the request asks for, and the right it needs when callers are in use.
    const bool metricsPage = request.method == "GET" && !routes.metricsPath.empty() &&
                             request.path == routes.metricsPath && routes.metricsPage;
    MeteredEndpoint metered = MeteredEndpoint::None;
    const Endpoint* endpoint = metricsPage ? nullptr : endpointFor(request, metered);
    std::optional<CallerRight> right;
    if (metricsPage)
        right = CallerRight::kMetrics;
    else if (endpoint != nullptr)
        right = rightFor(request, metered);

    const Caller* caller = nullptr;
    bool identified = false;
    if (rules.callersInUse() && right) {
        caller = identify(request, session, rules);
        identified = caller != nullptr && caller->comesFrom(*parseIpv4(address));
    }
    if (debug && request.path != routes.heartbeatPath) {
        logLine("http",
                std::string("request") + kFullWidthColon + "id(" + std::to_string(request.connectionId) +
                    "),ip(" + address + "),type(" + request.method + "),adress(" + request.path +
                    "),request line(" + request.url + "),headers(" + headerText(request.headers) +
                    "),content(" + utf8BytesToGbk(request.body) + ")" +
                    (identified ? ",caller(" + caller->name + ")." : std::string(".")),
                true);
    }
    if (!metricsPage && endpoint == nullptr)
        return unanswered();

    // A refusal of the door, answered at once and counted like an answer of the endpoint.
    CallerLimits* limits = nullptr;
    auto refuse = [&](HttpResponse answer) {
        if (meter != nullptr)
            meter->recordRequest(metered, MeteredCode::Other, secondsSince(request.completedAt));
        if (limits != nullptr && limits->counts != nullptr)
            limits->counts->record(metered, MeteredCode::Other);
        response = std::move(answer);
        return RequestAction::kAnswer;
    };
    bool sharedRate = false;  // the rate is counted in Redis, for every instance
    if (rules.callersInUse() && right) {
        if (!identified)
            return refuse(noCredentials());
        limits = &rules.limitsOf(*caller);
        if (!caller->allows(*right))
            return refuse(envelopeResponse(403, notAllowedEnvelope(callerRightName(*right))));
        sharedRate = limits->bucket && caller->rateShared && routes.sharedRate;
        if (limits->bucket && !sharedRate) {
            TokenBucket::Decision decision = limits->bucket->take();
            if (!decision.allowed)
                return refuse(tooMany("rate", decision.retryAfterSeconds()));
        }
    }
    if (!right && rules.callersInUse())
        return unanswered();
    if (metricsPage && limits == nullptr) {
        response = okResponse(routes.metricsPage(), kMetricsType);
        return RequestAction::kAnswer;
    }

    Admitted admitted;
    admitted.context.server = request.server;
    admitted.context.connectionId = request.connectionId;
    admitted.context.path = request.path;
    admitted.context.body = std::move(request.body);
    admitted.metered = metered;
    admitted.endpoint = endpoint;
    admitted.callers = rules.callersInUse();
    if (admitted.callers) {
        admitted.context.callerRules = rules.callers;
        admitted.context.caller = caller;
        admitted.caller = caller;
        admitted.limits = limits;
        admitted.held = session.view.shared();
    }
    admitted.start = request.completedAt;
    if (!sharedRate) {
        serve(std::move(admitted), later);
        return RequestAction::kLater;
    }
    // Asked without waiting: the request goes on (or is refused) when the count is in. A count that cannot
    // be had falls back to this instance's own bucket.
    auto held = std::make_shared<Admitted>(std::move(admitted));
    routes.sharedRate(*caller, [this, held, later](int64_t retryAfter) {
        if (retryAfter < 0) {
            TokenBucket::Decision decision = held->limits->bucket->take();
            retryAfter = decision.allowed ? 0 : decision.retryAfterSeconds();
        }
        if (retryAfter > 0) {
            if (routes.meter != nullptr)
                routes.meter->recordRequest(held->metered, MeteredCode::Other, secondsSince(held->start));
            if (held->limits->counts != nullptr)
                held->limits->counts->record(held->metered, MeteredCode::Other);
            later.send(tooMany("rate", retryAfter));
            return;
        }
        serve(std::move(*held), later);
    });
    return RequestAction::kLater;
}

void HttpApiServer::Impl::serve(Admitted admitted, const HttpReply& later) const {
    RequestMeter* const meter = routes.meter;
    CallerLimits* const limits = admitted.limits;
    bool inFlight = false;  // counted against the caller's max_in_flight until the answer is out
    if (admitted.caller != nullptr && admitted.caller->maxInFlight > 0) {
        if (limits->inFlight.fetch_add(1, std::memory_order_acq_rel) >= admitted.caller->maxInFlight) {
            limits->inFlight.fetch_sub(1, std::memory_order_acq_rel);
            if (meter != nullptr)
                meter->recordRequest(admitted.metered, MeteredCode::Other, secondsSince(admitted.start));
            if (limits->counts != nullptr)
                limits->counts->record(admitted.metered, MeteredCode::Other);
            later.send(tooMany("max_in_flight", 1));
            return;
        }
        inFlight = true;
    }
    if (admitted.endpoint == nullptr) {
        if (inFlight)
            limits->inFlight.fetch_sub(1, std::memory_order_acq_rel);
        later.send(okResponse(routes.metricsPage(), kMetricsType));
        return;
    }
    const MeteredEndpoint metered = admitted.metered;
    const bool callers = admitted.callers;
    // The request leaves the caller's in-flight count with its answer, or when the way back is let go unused
    // (the request then ends with the connection's close).
    std::shared_ptr<void> ticket;
    if (inFlight) {
        ticket = std::shared_ptr<void>(nullptr,
                                       [limits, rules = admitted.held](void*) {  // the rules keep `limits`
                                           limits->inFlight.fetch_sub(1, std::memory_order_acq_rel);
                                       });
    }
    // The envelope becomes UTF-8 and the HTTP answer on the thread that completes the endpoint.
    (*admitted.endpoint)(std::move(admitted.context),
                         [later, meter, metered, callers, limits, ticket, held = std::move(admitted.held),
                          start = admitted.start](std::optional<std::string> envelope) mutable {
                             ticket.reset();
                             const MeteredCode code =
                                 envelope ? meteredCodeOfEnvelope(*envelope) : MeteredCode::NoAnswer;
                             if (meter != nullptr)
                                 meter->recordRequest(metered, code, secondsSince(start));
                             if (limits != nullptr && limits->counts != nullptr)
                                 limits->counts->record(metered, code);
                             if (!envelope) {
                                 later.send(std::nullopt);
                                 return;
                             }
                             const int status = envelopeHttpStatus(*envelope, callers);
                             if (status == 200) {
                                 later.send(okResponse(answerBody(std::move(*envelope)), kJsonType));
                             } else {
                                 later.send(envelopeResponse(status, *envelope));
                             }
                         });
}

UpgradeReply HttpApiServer::Impl::handleUpgrade(HttpRequest& request, UpgradeKind kind) const {
    // Upgrades are accepted on any path, from whitelisted addresses only. Strangers were closed at accept
    // already; the check here keeps that true for whatever reaches this point.
    UpgradeReply reply;
    reply.response.withContentLength = false;
    std::unique_ptr<ConnectionSession> own;
    CallerSession& session = sessionOf(request, own);
    const DoorRules* rules = admit(request, session);
    if (rules == nullptr) {
        if (routes.meter != nullptr)
            routes.meter->refused(RefusalReason::Whitelist);
        reply.action = UpgradeReply::Action::kRefuse;
        return reply;
    }
    if (rules->callersInUse() && kind == UpgradeKind::kWebSocket) {
        // A refusal is sent like a tunnel's answer: then the connection closes.
        const Caller* caller = identify(request, session, *rules);
        if (caller == nullptr || !caller->comesFrom(*parseIpv4(request.remoteAddress))) {
            reply.action = UpgradeReply::Action::kTunnel;
            reply.response = noCredentials();
            return reply;
        }
        if (!caller->allows(CallerRight::kWebsocket)) {
            reply.action = UpgradeReply::Action::kTunnel;
            reply.response =
                envelopeResponse(403, notAllowedEnvelope(callerRightName(CallerRight::kWebsocket)));
            return reply;
        }
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
    if (impl.sniShouldAsk() != impl.sniAsksCertificate) {
        TlsContextResult named = createTlsContext(impl.sniFiles());
        if (named.ok)
            impl.tls.setNamed(std::move(named.context));
    }

    HttpCoreSettings coreSettings;
    coreSettings.maxBody = settings.maxBody;
    coreSettings.idleTimeoutSeconds = settings.idleTimeoutSeconds;
    coreSettings.headerTimeoutSeconds = settings.headerTimeoutSeconds;
    coreSettings.bodyTimeoutSeconds = settings.bodyTimeoutSeconds;
    coreSettings.requestTimeoutSeconds = settings.requestTimeoutSeconds;
    coreSettings.strangerLogSeconds = settings.strangerLogSeconds;
    coreSettings.meter = impl.routes.meter;
    coreSettings.maxConnections = settings.maxConnections;
    coreSettings.proxyProtocol = settings.proxyProtocol;
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
    TlsContextResult sniContext = createTlsContext(impl.sniFiles());
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
        {"sni", impl.sniFiles(), &TlsContextSet::setNamed},
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
