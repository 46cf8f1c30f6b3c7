#include "support/redis_server.h"

#include "support/kestrum_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace kestrum::testing {

namespace {

namespace fs = std::filesystem;

int freeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof sa;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length) == 0)
        port = ntohs(sa.sin_port);
    ::close(fd);
    return port;
}

// The end of a server log, for error messages.
std::string logTail(const std::string& path) {
    std::string all = readFile(path);
    return all.size() <= 1500 ? all : all.substr(all.size() - 1500);
}

// Waits up to `timeoutMs` for the child to exit; true when it did.
bool reap(pid_t pid, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR))
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

std::string redisInline(const std::string& host, int port, const std::string& line, int timeoutMs) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, host.c_str(), &sa.sin_addr);
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
        std::string request = line + "\r\n";
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
            pollfd p{fd, POLLIN, 0};
            char buffer[4096];
            // Read until the first line ends or the time is up.
            while (reply.find("\r\n") == std::string::npos && poll(&p, 1, timeoutMs) > 0) {
                ssize_t n = recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                reply.append(buffer, size_t(n));
            }
        }
    }
    ::close(fd);
    return reply;
}

RedisServer::~RedisServer() {
    stop();
}

bool RedisServer::start(const Options& options) {
    stop();
    options_ = options;
    error_.clear();
    if (!prepareServerDirectory(options.directory, "kestrum-redis", directory_, ownsDirectory_, error_))
        return false;
    // A chosen port can be taken by someone else between the probe and the bind: try a few.
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = options.port != 0 ? options.port : freeLoopbackPort();
        if (launch())
            return true;
        if (options.port != 0)
            break;
    }
    return false;
}

bool RedisServer::launch() {
    std::vector<std::string> args = {"redis-server",
                                     "--port",
                                     std::to_string(port_),
                                     "--bind",
                                     "127.0.0.1",
                                     "--save",
                                     "",
                                     "--appendonly",
                                     "no",
                                     "--dir",
                                     directory_,
                                     "--daemonize",
                                     "no",
                                     "--logfile",
                                     directory_ + "/redis.log"};
    if (!options_.password.empty()) {
        args.push_back("--requirepass");
        args.push_back(options_.password);
    }
    args.insert(args.end(), options_.extraArgs.begin(), options_.extraArgs.end());
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        error_ = "fork failed";
        return false;
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        int nullFd = ::open("/dev/null", O_RDWR);
        if (nullFd >= 0) {
            dup2(nullFd, STDIN_FILENO);
            dup2(nullFd, STDOUT_FILENO);
            dup2(nullFd, STDERR_FILENO);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    pid_ = pid;

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        std::string reply = redisInline(host(), port_, "PING", 200);
        if (reply.rfind("+PONG", 0) == 0 || reply.rfind("-NOAUTH", 0) == 0)
            return true;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            error_ = "redis-server exited: " + logTail(directory_ + "/redis.log");
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    error_ = "redis-server did not answer PING: " + logTail(directory_ + "/redis.log");
    killServer();
    return false;
}

bool RedisServer::killServer() {
    if (pid_ <= 0)
        return false;
    kill(pid_, SIGTERM);
    if (!reap(pid_, 5000)) {
        kill(pid_, SIGKILL);
        reap(pid_, 5000);
    }
    pid_ = -1;
    return true;
}

bool RedisServer::startServer() {
    if (pid_ > 0)
        return true;
    error_.clear();
    // The old listening socket may linger for a moment after the process is gone.
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (launch())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

void RedisServer::stop() {
    killServer();
    if (ownsDirectory_ && !directory_.empty()) {
        std::error_code ec;
        fs::remove_all(directory_, ec);
    }
    directory_.clear();
    ownsDirectory_ = false;
}

}  // namespace kestrum::testing
