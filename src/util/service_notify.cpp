// The notification socket: a datagram socket of our own, no library.
#include "util/service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace kestrum {

namespace {

bool allDigits(const char* text) {
    if (*text == '\0')
        return false;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9')
            return false;
    }
    return true;
}

const char* lookUp(const std::map<std::string, std::string>* environment, const char* name) {
    if (environment == nullptr)
        return std::getenv(name);
    auto found = environment->find(name);
    return found == environment->end() ? nullptr : found->second.c_str();
}

ServiceNotify fromVariables(const std::map<std::string, std::string>* environment) {
    const char* socket = lookUp(environment, "NOTIFY_SOCKET");
    if (socket == nullptr || *socket == '\0')
        return ServiceNotify();
    std::chrono::microseconds watchdog{0};
    const char* pid = lookUp(environment, "WATCHDOG_PID");
    const char* usec = lookUp(environment, "WATCHDOG_USEC");
    const bool forUs = pid == nullptr || *pid == '\0' || std::string(pid) == std::to_string(::getpid());
    if (forUs && usec != nullptr && allDigits(usec) && std::strlen(usec) <= 18)
        watchdog = std::chrono::microseconds(std::strtoll(usec, nullptr, 10));
    return ServiceNotify(socket, watchdog);
}

}  // namespace

ServiceNotify::ServiceNotify(std::string socketPath, std::chrono::microseconds watchdog) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const bool abstract = !socketPath.empty() && socketPath.front() == '@';
    const bool absolute = !socketPath.empty() && socketPath.front() == '/';
    if ((!abstract && !absolute) || socketPath.size() >= sizeof(address.sun_path))
        return;
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    if (abstract)
        address.sun_path[0] = '\0';
    // An abstract name is exactly as long as it is; a path is terminated.
    const size_t length = offsetof(sockaddr_un, sun_path) + socketPath.size() + (abstract ? 0 : 1);
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    fd_ = fd;
    address_.assign(reinterpret_cast<const char*>(&address), length);
    watchdog_ = watchdog.count() > 0 ? watchdog : std::chrono::microseconds(0);
}

ServiceNotify::~ServiceNotify() {
    if (fd_ >= 0)
        ::close(fd_);
}

ServiceNotify::ServiceNotify(ServiceNotify&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), address_(std::move(other.address_)), watchdog_(other.watchdog_) {}

ServiceNotify& ServiceNotify::operator=(ServiceNotify&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        address_ = std::move(other.address_);
        watchdog_ = other.watchdog_;
    }
    return *this;
}

ServiceNotify ServiceNotify::fromEnvironment() {
    return fromVariables(nullptr);
}

ServiceNotify ServiceNotify::fromEnvironment(const std::map<std::string, std::string>& environment) {
    return fromVariables(&environment);
}

bool ServiceNotify::send(std::string_view message) const {
    if (fd_ < 0)
        return false;
    const ssize_t sent =
        ::sendto(fd_, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                 reinterpret_cast<const sockaddr*>(address_.data()), static_cast<socklen_t>(address_.size()));
    return sent == static_cast<ssize_t>(message.size());
}

}  // namespace kestrum
