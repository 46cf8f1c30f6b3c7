// ServiceNotify: the service manager's notification protocol, as much of it as kestrum speaks (the protocol
// of systemd's sd_notify): one datagram of "KEY=VALUE" lines per message, sent to the unix socket that
// NOTIFY_SOCKET names. "READY=1" once the service serves, "WATCHDOG=1" while it is alive, "STOPPING=1" when
// it begins to stop.
//
// Without NOTIFY_SOCKET (not started by such a manager) nothing is sent and nothing fails. Thread rules:
// send() from any thread; the object is not changed after construction.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <string_view>

namespace kestrum {

class ServiceNotify {
  public:
    // Not connected to any manager: send() does nothing.
    ServiceNotify() = default;
    // `socketPath`: a file system path, or an abstract socket name written with a leading "@". `watchdog`:
    // the interval within which the manager wants a "WATCHDOG=1" (zero: no watchdog).
    ServiceNotify(std::string socketPath, std::chrono::microseconds watchdog);
    ~ServiceNotify();
    ServiceNotify(ServiceNotify&& other) noexcept;
    ServiceNotify& operator=(ServiceNotify&& other) noexcept;
    ServiceNotify(const ServiceNotify&) = delete;
    ServiceNotify& operator=(const ServiceNotify&) = delete;

    // From the process environment: NOTIFY_SOCKET, and WATCHDOG_USEC when WATCHDOG_PID is unset or names
    // this process. `environment` stands in for the process environment when given (tests).
    static ServiceNotify fromEnvironment();
    static ServiceNotify fromEnvironment(const std::map<std::string, std::string>& environment);

    bool enabled() const { return fd_ >= 0; }
    std::chrono::microseconds watchdogInterval() const { return watchdog_; }
    // One message; false when there is no manager or it could not be sent. Never waits (a network thread
    // sends the pings): a manager that does not read its socket loses messages instead.
    bool send(std::string_view message) const;

  private:
    int fd_ = -1;
    std::string address_;  // the sockaddr_un's bytes, exactly as long as the address is
    std::chrono::microseconds watchdog_{0};
};

}  // namespace kestrum
