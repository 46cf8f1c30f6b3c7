#include "local_http_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <strings.h>
#include <chrono>

namespace kestrum::testing {

std::string RecordedRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (key.size() == name.size() && ::strncasecmp(key.data(), name.data(), name.size()) == 0)
            return value;
    }
    return {};
}

int RecordedRequest::count(std::string_view name) const {
    int n = 0;
    for (const auto& header : headers) {
        n += header.first.size() == name.size() &&
             ::strncasecmp(header.first.data(), name.data(), name.size()) == 0;
    }
    return n;
}

LocalHttpServer::LocalHttpServer(Handler handler) : handler_(std::move(handler)) {
    server_.listen();
    // One connection at a time, closed after its answer.
    server_.start([this](int fd, int) {
        handle(fd);
        ::close(fd);
    });
}

LocalHttpServer::~LocalHttpServer() {
    stop_.store(true);  // a stalled handler's reads give up
    server_.stop();
}

std::vector<RecordedRequest> LocalHttpServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::string LocalHttpServer::response(int status, std::string_view body, std::string_view extraHeaders) {
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n" + std::string(extraHeaders) + "\r\n" + std::string(body);
}

void LocalHttpServer::handle(int fd) {
    std::string data;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    auto readMore = [&] {
        while (std::chrono::steady_clock::now() < deadline && !stop_.load()) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            char buffer[4096];
            ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got <= 0)
                return false;
            data.append(buffer, static_cast<size_t>(got));
            return true;
        }
        return false;
    };
    size_t end;
    while ((end = data.find("\r\n\r\n")) == std::string::npos) {
        if (!readMore())
            return;
    }
    RecordedRequest request;
    std::string head = data.substr(0, end);
    size_t lineEnd = head.find("\r\n");
    std::string requestLine = head.substr(0, lineEnd);
    size_t space1 = requestLine.find(' ');
    size_t space2 = requestLine.find(' ', space1 + 1);
    request.method = requestLine.substr(0, space1);
    request.target = requestLine.substr(space1 + 1, space2 - space1 - 1);
    size_t contentLength = 0;
    for (size_t at = lineEnd; at != std::string::npos && at < head.size();) {
        size_t next = head.find("\r\n", at + 2);
        std::string line = head.substr(at + 2, next == std::string::npos ? std::string::npos : next - at - 2);
        size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string value = line.substr(colon + 1);
            while (!value.empty() && value.front() == ' ')
                value.erase(0, 1);
            request.headers.emplace_back(line.substr(0, colon), value);
            if (::strcasecmp(line.substr(0, colon).c_str(), "Content-Length") == 0) {
                contentLength = std::stoul(value);
            }
        }
        at = next;
    }
    while (data.size() < end + 4 + contentLength) {
        if (!readMore())
            return;
    }
    request.body = data.substr(end + 4, contentLength);
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
    }
    std::string reply = handler_(request);
    for (size_t sent = 0; sent < reply.size();) {
        ssize_t n = ::send(fd, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += static_cast<size_t>(n);
    }
}

}  // namespace kestrum::testing
