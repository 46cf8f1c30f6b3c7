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

void pump(int from, int to) {
    char buffer[16384];
    for (;;) {
        ssize_t got = recv(from, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
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

// A socket listening on the first loopback address from `first` on whose port 3306 is free; -1 when none is.
int listenOnFreeAddress(int first, std::string& address) {
    for (int last = first; last < first + 40; ++last) {
        std::string candidate = "127.0.0." + std::to_string(last);
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(3306);
        inet_pton(AF_INET, candidate.c_str(), &sa.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && listen(fd, 16) == 0) {
            address = candidate;
            return fd;
        }
        close(fd);
    }
    return -1;
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
    fd_ = listenOnFreeAddress(60, address_);
}

SilentListener::~SilentListener() {
    if (fd_ >= 0)
        close(fd_);
}

RefusingRelay::RefusingRelay(std::vector<int> refused) : refused_(std::move(refused)) {
    listenFd_ = listenOnFreeAddress(20, address_);
    if (listenFd_ >= 0)
        acceptor_ = std::thread([this] { acceptLoop(); });
}

RefusingRelay::~RefusingRelay() {
    stopping_ = true;
    if (acceptor_.joinable())
        acceptor_.join();
    {
        std::lock_guard lock(relayMutex);
        for (int fd : openFds_)
            shutdown(fd, SHUT_RDWR);
    }
    for (std::thread& t : pumps_)
        t.join();
    for (int fd : openFds_)
        close(fd);
    if (listenFd_ >= 0)
        close(listenFd_);
}

void RefusingRelay::acceptLoop() {
    while (!stopping_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        int client = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        int number = ++accepted_;
        if (std::find(refused_.begin(), refused_.end(), number) != refused_.end()) {
            close(client);
            continue;
        }
        int upstream = connectTo(sharedMariadb().host(), sharedMariadb().port());
        if (upstream < 0) {
            close(client);
            continue;
        }
        std::lock_guard lock(relayMutex);
        openFds_.push_back(client);
        openFds_.push_back(upstream);
        pumps_.emplace_back(pump, client, upstream);
        pumps_.emplace_back(pump, upstream, client);
    }
}

}  // namespace kestrum::testing
