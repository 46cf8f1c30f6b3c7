// Test support: a listening socket on loopback and a thread that accepts connections and hands each one, with
// its number in accept order (from 1), to a callback on that thread. The tests' fake servers (HTTP sites,
// relays) are built on it and only say what happens on a connection.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace kestrum::testing {

class LoopbackServer {
  public:
    // Runs on the accept thread and owns `fd` (closes it or hands it on); the next connection waits for it.
    using OnConnection = std::function<void(int fd, int number)>;

    LoopbackServer() = default;
    ~LoopbackServer();  // stop()
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // Listens on address:port (0: a port the system picks). False when it cannot be bound.
    bool listen(const std::string& address = "127.0.0.1", int port = 0);
    // Listens on `port` of the first address 127.0.0.first, 127.0.0.first+1, ... (40 tried) where it is free.
    bool listenOnFreeAddress(int first, int port);
    // Starts accepting (after a successful listen).
    void start(OnConnection onConnection);
    // Stops accepting, waits for a callback still running, closes the listener. Connections handed out stay.
    void stop();

    bool listening() const { return fd_ >= 0; }
    bool stopping() const { return stopping_.load(); }
    const std::string& address() const { return address_; }
    int port() const { return port_; }
    int accepted() const { return accepted_.load(); }

  private:
    int fd_ = -1;
    std::string address_;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

}  // namespace kestrum::testing
