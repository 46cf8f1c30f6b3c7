// Network threads, listeners and the orderly shutdown of the component.
#include "http/http_server.h"

#include <future>

#include "http/http_api_server.h"
#include "http/http_connection.h"

namespace kestrum {

std::string serializeResponse(const HttpResponse& response, std::string_view connectionHeader) {
    std::string out;
    out.reserve(128 + response.body.size());
    out += "HTTP/1.1 ";
    out += std::to_string(response.status);
    out += ' ';
    out += response.reason.empty() ? reasonPhrase(response.status) : response.reason;
    out += "\r\n";
    for (const auto& [name, value] : response.headers) {
        out += name;
        out += ": ";
        out += value;
        out += "\r\n";
    }
    if (response.withContentLength) {
        out += "Content-Length: ";
        out += std::to_string(response.body.size());
        out += "\r\n";
    }
    if (!connectionHeader.empty()) {
        out += "Connection: ";
        out += connectionHeader;
        out += "\r\n";
    }
    out += "\r\n";
    out += response.body;
    return out;
}

namespace {

// Runs `operation` on every connection of the thread, on that thread. The registry is copied first: the
// operation may remove the connection from it.
void postToEveryConnection(NetworkThread& thread, void (HttpConnection::*operation)()) {
    asio::post(thread.context, [&thread, operation] {
        std::vector<std::shared_ptr<HttpConnection>> connections;
        for (auto& [id, connection] : thread.connections)
            connections.push_back(connection);
        for (auto& connection : connections)
            (connection.get()->*operation)();
    });
}

}  // namespace

HttpCore::HttpCore(const HttpCoreSettings& settings, HttpCallbacks callbacks)
    : impl_(std::make_unique<Impl>()) {
    impl_->settings = settings;
    impl_->callbacks = std::move(callbacks);
}

HttpCore::~HttpCore() {
    shutdown();
}

bool HttpCore::start() {
    Impl& impl = *impl_;
    if (impl.running || impl.stopping)
        return false;
    int count = impl.settings.networkThreads;
    if (count <= 0)
        count = std::max(1u, std::thread::hardware_concurrency());
    if (!impl.pool.start(impl.settings.workerThreads))
        return false;
    try {
        for (int i = 0; i < count; ++i) {
            auto thread = std::make_unique<NetworkThread>();
            NetworkThread* raw = thread.get();
            impl.threads.push_back(std::move(thread));
            raw->thread = std::thread([raw] { raw->context.run(); });
        }
    } catch (const std::system_error&) {
        impl.running = true;
        shutdown();
        return false;
    }
    impl.running = true;
    return true;
}

void HttpCore::shutdown() {
    Impl& impl = *impl_;
    if (!impl.running)
        return;
    // 1. No new request goes to the pool; 2. every queued request runs and posts its answer to its
    // connection's thread (the threads still run, so the answers are written); 3. connections close once
    // their output is out.
    impl.stopping = true;
    impl.pool.stop();
    for (auto& thread : impl.threads)
        postToEveryConnection(*thread, &HttpConnection::finish);
    // A client that does not read its answer must not hold the shutdown: after the grace period every
    // connection is closed as it is.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (impl.liveConnections.load() > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (auto& thread : impl.threads) {
        postToEveryConnection(*thread, &HttpConnection::close);
        thread->guard.reset();
    }
    for (auto& thread : impl.threads) {
        // Without work and connections run() returns by itself; stop() covers handlers that still hold on.
        if (thread->thread.joinable()) {
            asio::post(thread->context, [raw = thread.get()] { raw->context.stop(); });
            thread->thread.join();
        }
    }
    for (auto& thread : impl.threads)
        thread->connections.clear();
    impl.threads.clear();
    impl.running = false;
}

struct HttpServer::Listener : std::enable_shared_from_this<HttpServer::Listener> {
    Listener(HttpCore::Impl& core, NetworkThread& home, ServerKind kind, asio::ssl::context* tls)
        : core(core), acceptor(home.context), retryTimer(home.context), kind(kind), tls(tls) {}

    void startAccept() {
        NetworkThread& target = core.pickThread();
        acceptor.async_accept(target.context,
                              [self = shared_from_this(), &target](const asio::error_code& error,
                                                                   asio::ip::tcp::socket socket) {
                                  self->onAccept(error, std::move(socket), target);
                              });
    }

    void onAccept(const asio::error_code& error, asio::ip::tcp::socket socket, NetworkThread& target) {
        if (!acceptor.is_open())
            return;
        if (error) {
            // Out of descriptors and the like: pause briefly instead of spinning on the error.
            retryTimer.expires_after(std::chrono::milliseconds(50));
            retryTimer.async_wait([self = shared_from_this()](const asio::error_code& timerError) {
                if (!timerError && self->acceptor.is_open())
                    self->startAccept();
            });
            return;
        }
        if (!core.stopping) {
            uint64_t id = core.nextConnectionId.fetch_add(1);
            asio::post(target.context, [core = &core, &target, kind = kind, tls = tls, id,
                                        socket = std::move(socket)]() mutable {
                if (core->stopping)
                    return;
                auto connection =
                    std::make_shared<HttpConnection>(*core, target, kind, id, std::move(socket), tls);
                target.connections.emplace(id, connection);
                connection->start();
            });
        }
        startAccept();
    }

    HttpCore::Impl& core;
    asio::ip::tcp::acceptor acceptor;
    asio::steady_timer retryTimer;
    ServerKind kind;
    asio::ssl::context* tls;
    int port = 0;
};

HttpServer::HttpServer(HttpCore& core, ServerKind kind, asio::ssl::context* tls)
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
    auto listener = std::make_shared<Listener>(core, *core.threads.front(), kind_, tls_);
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
    if (core.running) {
        std::promise<void> done;
        asio::post(listener->acceptor.get_executor(), [&] {
            closeAcceptor();
            done.set_value();
        });
        done.get_future().wait();
    } else {
        closeAcceptor();
    }
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
