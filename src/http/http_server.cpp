// Listeners, the per-loop connection registries and the orderly shutdown of the component.
#include "http/http_server.h"

#include <algorithm>
#include <new>

#include "http/http_connection.h"
#include "http/tls_context.h"
#include "log/log_writer.h"
#include "util/request_meter.h"
#include "util/text.h"

namespace kestrum {

namespace {

#ifdef KESTRUM_FAULT_INJECTION
// Test builds only: a connection from 127.0.0.66 throws in the accept step on the accepting loop, one from
// 127.0.0.67 in the step that makes the connection on its own loop.
enum class AcceptStep { kAccept, kConnection };
void injectAcceptFault(const asio::ip::tcp::socket& socket, AcceptStep step) {
    asio::error_code ec;
    const auto peer = socket.remote_endpoint(ec);
    if (ec)
        return;
    const std::string address = peer.address().to_string();
    if ((step == AcceptStep::kAccept && address == "127.0.0.66") ||
        (step == AcceptStep::kConnection && address == "127.0.0.67"))
        throw std::bad_alloc();
}
#endif

// Runs `operation` on every connection of the loop, on that loop. The registry is copied first: the
// operation may remove the connection from it.
void postToEveryConnection(HttpCore::Loop& loop, void (HttpConnection::*operation)()) {
    asio::post(loop.context, [&loop, operation] {
        std::vector<std::shared_ptr<HttpConnection>> connections;
        for (auto& [id, connection] : loop.connections)
            connections.push_back(connection);
        for (auto& connection : connections)
            (connection.get()->*operation)();
    });
}

}  // namespace

HttpCore::HttpCore(EventLoops& loops, const HttpCoreSettings& settings, HttpCallbacks callbacks)
    : impl_(std::make_unique<Impl>(loops)) {
    impl_->settings = settings;
    impl_->callbacks = std::move(callbacks);
}

HttpCore::~HttpCore() {
    shutdown();
}

uint64_t HttpCore::refusedConnections() const {
    return impl_->refused.load(std::memory_order_relaxed);
}

uint64_t HttpCore::strangerConnections() const {
    return impl_->strangers.load(std::memory_order_relaxed);
}

bool HttpCore::start() {
    Impl& impl = *impl_;
    if (impl.running || impl.stopping || !impl.loops.running())
        return false;
    for (int i = 0; i < impl.loops.size(); ++i)
        impl.perLoop.push_back(std::make_unique<Loop>(impl.loops.context(i)));
    // Listeners accept on the first loop.
    impl.strangerLog = std::make_shared<StrangerLog>(
        impl.perLoop.front()->context, std::chrono::seconds(std::max(1, impl.settings.strangerLogSeconds)));
    std::chrono::steady_clock::duration period{};
    for (int seconds : {impl.settings.idleTimeoutSeconds, impl.settings.headerTimeoutSeconds,
                        impl.settings.bodyTimeoutSeconds, impl.settings.requestTimeoutSeconds}) {
        const std::chrono::steady_clock::duration limit = std::chrono::seconds(seconds);
        if (seconds > 0 && (period == period.zero() || limit < period))
            period = limit;
    }
    impl.timerPeriod = period;
    impl.running = true;
    return true;
}

int HttpCore::connectionCount() const {
    return impl_->liveConnections.load(std::memory_order_relaxed);
}

void HttpCore::shutdown() {
    Impl& impl = *impl_;
    if (!impl.running)
        return;
    impl.running = false;
    // 1. No new connection or request is taken; 2. connections that wait for an answer keep waiting for it
    // (the back ends still run), the others close once their output is out; 3. after the grace period every
    // connection is closed as it is, and an answer that comes later is dropped.
    impl.stopping = true;
    auto waitForConnections = [&impl](std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (impl.liveConnections.load() > 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };
    if (impl.loops.running()) {
        for (auto& loop : impl.perLoop)
            postToEveryConnection(*loop, &HttpConnection::finish);
        waitForConnections(std::chrono::milliseconds(impl.settings.shutdownGraceMs));
        for (auto& loop : impl.perLoop)
            postToEveryConnection(*loop, &HttpConnection::close);
        // Closed connections go once their aborted operations have run on their loops.
        waitForConnections(std::chrono::seconds(5));
    }
    for (int i = 0; i < static_cast<int>(impl.perLoop.size()); ++i)
        impl.loops.runAndWait(
            i, [loop = impl.perLoop[static_cast<size_t>(i)].get()] { loop->connections.clear(); });
    // The strangers counted since the last line get theirs now, on the accepting loop.
    impl.loops.runAndWait(0, [&impl] {
        impl.strangerLog->flush();
        impl.strangerLog.reset();
    });
    impl.perLoop.clear();
}

struct HttpServer::Listener : std::enable_shared_from_this<HttpServer::Listener> {
    Listener(HttpCore::Impl& core, HttpCore::Loop& home, ServerKind kind, const TlsContextSet* tls)
        : core(core), acceptor(home.context), retryTimer(home.context), kind(kind), tls(tls) {}

    void startAccept() {
        HttpCore::Loop& target = core.pickLoop();
        acceptor.async_accept(target.context,
                              [self = shared_from_this(), &target](const asio::error_code& error,
                                                                   asio::ip::tcp::socket socket) {
                                  self->onAccept(error, std::move(socket), target);
                              });
    }

    void onAccept(const asio::error_code& error, asio::ip::tcp::socket socket, HttpCore::Loop& target) {
        if (!acceptor.is_open())
            return;
        if (error) {
            // Out of descriptors and the like: pause briefly instead of spinning on the error.
            retryLater();
            return;
        }
        // The next accept is armed on every way out of here, a throw included (an allocation that fails, a
        // callback that throws): a failure costs this one connection, never the listener.
        struct Rearm {
            Listener& listener;
            ~Rearm() { listener.rearm(); }
        } rearmOnExit{*this};
#ifdef KESTRUM_FAULT_INJECTION
        injectAcceptFault(socket, AcceptStep::kAccept);
#endif
        // The cheapest check first: a stranger costs one accept and one close, nothing else.
        if (core.stopping || !letIn(socket) || refuse(socket))
            return;
        uint64_t id = core.nextConnectionId.fetch_add(1);
        // The TLS context current now serves this connection for its whole life.
        std::shared_ptr<asio::ssl::context> context = tls != nullptr ? tls->fallback() : nullptr;
        core.acceptedPending.fetch_add(1);
        try {
            asio::post(target.context, [core = &core, &target, kind = kind, tls = std::move(context), id,
                                        socket = std::move(socket)]() mutable {
                // Counted out however this ends: a connection that cannot be made is dropped with its socket.
                struct Settle {
                    std::atomic<int>& pending;
                    bool done = false;
                    void now() {
                        if (!done)
                            pending.fetch_sub(1);
                        done = true;
                    }
                    ~Settle() { now(); }
                } settle{core->acceptedPending};
#ifdef KESTRUM_FAULT_INJECTION
                injectAcceptFault(socket, AcceptStep::kConnection);
#endif
                if (core->stopping)
                    return;
                auto connection =
                    std::make_shared<HttpConnection>(*core, target, kind, id, std::move(socket), tls);
                // Counted as live from here on: counted twice while it starts, it would refuse a connection
                // that fits under max_connections.
                settle.now();
                target.connections.emplace(id, connection);
                connection->start();
            });
        } catch (...) {
            core.acceptedPending.fetch_sub(1);
            throw;
        }
    }

    // Arms the next accept; when even that fails, tries again shortly. Never throws.
    void rearm() noexcept {
        try {
            if (acceptor.is_open())
                startAccept();
        } catch (...) {
            retryLater();
        }
    }

    void retryLater() noexcept {
        try {
            retryTimer.expires_after(std::chrono::milliseconds(50));
            retryTimer.async_wait([self = shared_from_this()](const asio::error_code& timerError) {
                if (!timerError)
                    self->rearm();
            });
        } catch (...) {
            // Nothing is left to arm anything with: the listener is closed, which its owner sees.
            logLine("server/error", std::string("accept stopped") + kFullWidthColon + "out of memory.");
        }
    }

    // The accept filter: false (and the socket closed at once, unread and unanswered) for a peer it keeps
    // out. Such a connection is counted and summed up in the log, never logged one by one.
    bool letIn(asio::ip::tcp::socket& socket) {
        const auto& filter = core.callbacks.acceptPeer;
        if (!filter)
            return true;
        asio::error_code ec;
        const asio::ip::tcp::endpoint peer = socket.remote_endpoint(ec);
        const bool known = !ec && peer.address().is_v4();  // else the peer is gone already
        if (known && filter(peer.address().to_v4()))
            return true;
        // Reset rather than closed in order: nothing of the connection stays behind (no TIME_WAIT), and a
        // client that is still sending learns at once.
        socket.set_option(asio::socket_base::linger(true, 0), ec);
        socket.close(ec);
        if (known) {
            core.strangers.fetch_add(1, std::memory_order_relaxed);
            if (core.settings.meter != nullptr)
                core.settings.meter->refused(RefusalReason::Whitelist);
            core.strangerLog->count(peer.address().to_v4());
        }
        return false;
    }

    // The connection limit: true (and the socket closed, unanswered) when maxConnections are open already.
    // One line when refusing starts and one with the count when a connection is taken again.
    bool refuse(asio::ip::tcp::socket& socket) {
        const size_t limit = core.settings.maxConnections;
        const size_t open = static_cast<size_t>(std::max(0, core.liveConnections.load())) +
                            static_cast<size_t>(std::max(0, core.acceptedPending.load()));
        if (limit == 0 || open < limit) {
            if (core.refusedInBurst > 0) {
                logLine("server", std::string("connection limit left") + kFullWidthColon + "refused(" +
                                      std::to_string(core.refusedInBurst) + ").");
                core.refusedInBurst = 0;
            }
            return false;
        }
        asio::error_code ec;
        socket.close(ec);
        core.refused.fetch_add(1, std::memory_order_relaxed);
        if (core.settings.meter != nullptr)
            core.settings.meter->refused(RefusalReason::Limits);
        if (core.refusedInBurst++ == 0) {
            logLine("server", std::string("connection limit reached") + kFullWidthColon + "max_connections(" +
                                  std::to_string(limit) + "),new connections are closed.");
        }
        return true;
    }

    HttpCore::Impl& core;
    asio::ip::tcp::acceptor acceptor;
    asio::steady_timer retryTimer;
    ServerKind kind;
    const TlsContextSet* tls;
    int port = 0;
};

HttpServer::HttpServer(HttpCore& core, ServerKind kind, const TlsContextSet* tls)
    : core_(core), kind_(kind), tls_(tls) {}

HttpServer::~HttpServer() {
    stop();
}

bool HttpServer::start(const std::string& address, int port) {
    HttpCore::Impl& core = core_.impl();
    if (listener_ || !core.running || core.stopping || port < 0 || port > 65535)
        return false;
    asio::error_code ec;
    auto ip = asio::ip::make_address_v4(address, ec);
    if (ec)
        return false;
    auto listener = std::make_shared<Listener>(core, *core.perLoop.front(), kind_, tls_);
    asio::ip::tcp::endpoint endpoint(ip, static_cast<unsigned short>(port));
    listener->acceptor.open(endpoint.protocol(), ec);
    if (!ec)
        listener->acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec)
        listener->acceptor.bind(endpoint, ec);
    if (ec)
        return false;
    auto bound = listener->acceptor.local_endpoint(ec);
    if (ec)
        return false;
    listener->port = bound.port();
    if (core.callbacks.onPrepareListen) {
        core.callbacks.onPrepareListen(kind_, bound.address().to_string(), bound.port());
    }
    listener->acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec)
        return false;
    // The acceptor belongs to the first network thread; its accept loop starts there.
    asio::post(listener->acceptor.get_executor(), [listener] { listener->startAccept(); });
    listener_ = std::move(listener);
    return true;
}

bool HttpServer::stop() {
    if (!listener_)
        return false;
    auto listener = std::move(listener_);
    HttpCore::Impl& core = core_.impl();
    auto closeAcceptor = [listener] {
        asio::error_code ec;
        listener->acceptor.close(ec);
        listener->retryTimer.cancel();
    };
    // The acceptor belongs to the first loop.
    core.loops.runAndWait(0, closeAcceptor);
    if (core.callbacks.onShutdown)
        core.callbacks.onShutdown(kind_);
    return true;
}

bool HttpServer::isRunning() const {
    return listener_ != nullptr;
}

int HttpServer::port() const {
    return listener_ ? listener_->port : 0;
}

}  // namespace kestrum
