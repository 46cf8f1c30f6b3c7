#include "mysql_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <future>
#include <mutex>

#include "mysql/mysql_module.h"
#include "util/encoding.h"

namespace kestrum::testing {

namespace {

std::mutex relayMutex;

void pump(int from, int to, const std::atomic<bool>* silent) {
    char buffer[16384];
    for (;;) {
        ssize_t got = recv(from, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        if (*silent)
            continue;
        ssize_t sent = 0;
        while (sent < got) {
            ssize_t n = send(to, buffer + sent, static_cast<size_t>(got - sent), MSG_NOSIGNAL);
            if (n <= 0) {
                shutdown(from, SHUT_RDWR);
                return;
            }
            sent += n;
        }
    }
    shutdown(to, SHUT_RDWR);
}

int connectTo(const std::string& address, int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

MariadbServer& sharedMariadb() {
    static MariadbServer server;
    static bool started = [] {
        MariadbServer::Options options;
        options.port = 3407;  // not MySQL's own: the pool must use the configured port
        bool ok = server.start(options);
        if (!ok)
            std::fprintf(stderr, "MariaDB fixture: %s\n", server.error().c_str());
        return ok;
    }();
    (void)started;
    return server;
}

bool mariadbReady() {
    return sharedMariadb().running();
}

EventLoops& testLoops() {
    static EventLoops loops(2);
    static bool started = loops.start();
    (void)started;
    return loops;
}

int openTestPool(MysqlPool& pool, int connections) {
    MariadbServer& server = sharedMariadb();
    const auto& options = server.options();
    return pool.open(connections, server.host(), server.port(), options.user, options.password,
                     options.database, "utf8mb4", 10);
}

std::string postSql(MysqlPool& pool, const std::string& utf8Body, WorkerPool* workers) {
    RequestContext request;
    request.path = "/api/mysql";
    request.body = utf8Body;
    auto answer = std::make_shared<std::promise<std::optional<std::string>>>();
    auto future = answer->get_future();
    testLoops().post(0, [&pool, workers, request = std::move(request), answer]() mutable {
        handleMysqlRequest(pool, workers, std::move(request), [answer](std::optional<std::string> envelope) {
            answer->set_value(std::move(envelope));
        });
    });
    std::optional<std::string> envelope = future.get();
    return envelope ? gbkToUtf8(*envelope) : "<no answer>";
}

std::string sqlBody(const std::string& utf8Statement) {
    std::string body = "{\"sql\":\"";
    for (char c : utf8Statement) {
        if (c == '"' || c == '\\')
            body += '\\';
        body += c;
    }
    return body + "\"}";
}

SilentListener::SilentListener() {
    server_.listenOnFreeAddress(60, 3306);
}

SilentListener::~SilentListener() = default;

RefusingRelay::RefusingRelay(std::vector<int> refused) : refused_(std::move(refused)) {
    if (server_.listenOnFreeAddress(20, 3306))
        server_.start([this](int client, int number) { relay(client, number); });
}

RefusingRelay::~RefusingRelay() {
    server_.stop();
    {
        std::lock_guard lock(relayMutex);
        for (int fd : openFds_)
            shutdown(fd, SHUT_RDWR);
    }
    for (std::thread& t : pumps_)
        t.join();
    for (int fd : openFds_)
        close(fd);
}

void RefusingRelay::relay(int client, int number) {
    if (std::find(refused_.begin(), refused_.end(), number) != refused_.end()) {
        close(client);
        return;
    }
    int upstream = connectTo(sharedMariadb().host(), sharedMariadb().port());
    if (upstream < 0) {
        close(client);
        return;
    }
    std::lock_guard lock(relayMutex);
    openFds_.push_back(client);
    openFds_.push_back(upstream);
    pumps_.emplace_back(pump, client, upstream, &silent_);
    pumps_.emplace_back(pump, upstream, client, &silent_);
}

}  // namespace kestrum::testing
