#include "redis_test_support.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <hiredis/hiredis.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include "http/api_envelope.h"
#include "redis/redis_endpoint.h"
#include "util/encoding.h"

namespace kestrum::testing {

namespace {
// hiredis writes with write(2): a server that closed a connection must not end the test process (kestrum
// itself ignores SIGPIPE while it runs).
const bool kPipeIgnored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;
}  // namespace

RedisServer& sharedRedis() {
    static RedisServer server;
    static bool started = server.start();
    if (!started)
        ADD_FAILURE() << "redis-server did not start: " << server.error();
    return server;
}

RedisProbe::RedisProbe(int port, int db) {
    redisContext* context = redisConnect("127.0.0.1", port);
    if (context == nullptr || context->err != 0) {
        redisFree(context);
        return;
    }
    context_ = context;
    if (db != 0)
        run({"SELECT", std::to_string(db)});
}

RedisProbe::~RedisProbe() {
    redisFree(context_);
}

std::string RedisProbe::run(const std::vector<std::string>& words) {
    if (context_ == nullptr)
        return "ERR:not connected";
    std::vector<const char*> argv;
    std::vector<size_t> lengths;
    for (const std::string& word : words) {
        argv.push_back(word.data());
        lengths.push_back(word.size());
    }
    auto* reply =
        static_cast<redisReply*>(redisCommandArgv(context_, int(words.size()), argv.data(), lengths.data()));
    if (reply == nullptr)
        return "ERR:no reply";
    std::string text;
    switch (reply->type) {
        case REDIS_REPLY_STRING:
        case REDIS_REPLY_STATUS:
            text.assign(reply->str, reply->len);
            break;
        case REDIS_REPLY_INTEGER:
            text = std::to_string(reply->integer);
            break;
        case REDIS_REPLY_NIL:
            text = "(nil)";
            break;
        case REDIS_REPLY_ERROR:
            text = "ERR:" + std::string(reply->str, reply->len);
            break;
        default:
            text = "(array)";
    }
    freeReplyObject(reply);
    return text;
}

std::optional<std::string> envelopeText(std::optional<std::string> answer) {
    if (answer && isAnswerBody(*answer))
        return utf8ToGbk(std::string_view(*answer).substr(3));
    return answer;
}

std::optional<std::string> callEndpoint(RedisGateway& gateway, const std::string& path,
                                        const std::string& body, const Caller* caller) {
    auto answer = std::make_shared<std::promise<std::optional<std::string>>>();
    auto future = answer->get_future();
    RequestContext request;
    request.path = path;
    request.body = body;
    request.caller = caller;
    handleRedisRequest(gateway, std::move(request), [answer](std::optional<std::string> envelope) {
        answer->set_value(envelopeText(std::move(envelope)));
    });
    if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        ADD_FAILURE() << "no answer for " << path << " " << body;
        return std::nullopt;
    }
    return future.get();
}

RedisOutcome awaitOutcome(const std::function<void(RedisHandler)>& start) {
    auto answer = std::make_shared<std::promise<RedisOutcome>>();
    auto future = answer->get_future();
    start([answer](RedisOutcome outcome) { answer->set_value(std::move(outcome)); });
    if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        ADD_FAILURE() << "no outcome";
        return RedisOutcome::failure("test: no outcome");
    }
    return future.get();
}

std::vector<std::string> FakeRedis::commands() {
    std::lock_guard lock(mutex_);
    return commands_;
}

FakeRedis::FakeRedis(std::set<int> refused) : refused_(std::move(refused)) {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof sa;
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        listen(listenFd_, 16) != 0 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
        ADD_FAILURE() << "fake redis cannot listen";
        return;
    }
    port_ = ntohs(sa.sin_port);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

FakeRedis::~FakeRedis() {
    stopping_ = true;
    if (acceptThread_.joinable())
        acceptThread_.join();
    {
        std::lock_guard lock(mutex_);
        for (int fd : connections_)
            shutdown(fd, SHUT_RDWR);
    }
    for (std::thread& thread : threads_)
        thread.join();
    for (int fd : connections_)
        ::close(fd);
    if (listenFd_ >= 0)
        ::close(listenFd_);
}

void FakeRedis::acceptLoop() {
    int number = 0;
    while (!stopping_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        ++number;
        if (refused_.count(number) != 0) {
            ::close(fd);
            continue;
        }
        std::lock_guard lock(mutex_);
        connections_.push_back(fd);
        threads_.emplace_back([this, fd, number] { serve(fd, number); });
    }
}

void FakeRedis::serve(int fd, int number) {
    std::string input;
    bool stalled = false;
    char buffer[4096];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return;
        input.append(buffer, size_t(n));
        // Commands arrive as RESP arrays: "*N\r\n" then N times "$len\r\n<bytes>\r\n".
        for (;;) {
            size_t pos = 0;
            auto line = [&](std::string& out) {
                size_t end = input.find("\r\n", pos);
                if (end == std::string::npos)
                    return false;
                out = input.substr(pos, end - pos);
                pos = end + 2;
                return true;
            };
            std::string header;
            if (!line(header) || header.empty() || header[0] != '*')
                break;
            int count = std::stoi(header.substr(1));
            std::vector<std::string> words;
            bool complete = true;
            for (int i = 0; i < count && complete; ++i) {
                std::string lengthLine;
                if (!line(lengthLine)) {
                    complete = false;
                    break;
                }
                size_t length = std::stoul(lengthLine.substr(1));
                if (input.size() < pos + length + 2) {
                    complete = false;
                    break;
                }
                words.push_back(input.substr(pos, length));
                pos += length + 2;
            }
            if (!complete)
                break;
            input.erase(0, pos);
            {
                std::string joined;
                for (const std::string& word : words)
                    joined += (joined.empty() ? "" : " ") + word;
                std::lock_guard lock(mutex_);
                commands_.push_back(joined);
            }
            if (!words.empty() && (words[0] == "HANG" || words[0] == "BLPOP"))
                stalled = true;
            if (stalled)
                continue;
            std::string reply;
            if (!words.empty() && words[0] == "GET") {
                std::string text = std::to_string(number);
                reply = "$" + std::to_string(text.size()) + "\r\n" + text + "\r\n";
            } else if (!words.empty() && words[0] == "PING") {
                reply = "+PONG\r\n";
            } else {
                reply = "+OK\r\n";
            }
            send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
        }
    }
}

}  // namespace kestrum::testing
