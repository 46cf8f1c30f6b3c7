#include "support/loopback_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrum::testing {

LoopbackServer::~LoopbackServer() {
    stop();
}

bool LoopbackServer::listen(const std::string& address, int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t length = sizeof sa;
    if (::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    address_ = address;
    port_ = ntohs(sa.sin_port);
    return true;
}

bool LoopbackServer::listenOnFreeAddress(int first, int port) {
    for (int last = first; last < first + 40; ++last) {
        if (listen("127.0.0." + std::to_string(last), port))
            return true;
    }
    return false;
}

void LoopbackServer::start(OnConnection onConnection) {
    thread_ = std::thread([this, onConnection = std::move(onConnection)] {
        while (!stopping_.load()) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0)
                onConnection(client, ++accepted_);
        }
    });
}

void LoopbackServer::stop() {
    stopping_.store(true);
    if (thread_.joinable())
        thread_.join();
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

}  // namespace kestrum::testing
