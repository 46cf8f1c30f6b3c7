// EventLoops: the network threads. Each thread runs one asio::io_context (concurrency hint 1) held open by a
// work guard, so everything that belongs to a thread (HTTP connections, Redis connections, MySQL slots,
// their timers) is touched by that thread alone and needs no lock.
//
// Created by the application before any module opens, shared by the HTTP component and the back-end
// gateways, stopped last (after the listeners and the back ends are closed). Work crosses between threads
// only through post().
//
// Thread rules: start() and stop() from the owner's thread (never a network thread); size(), context(),
// post(), next() and currentIndex() from any thread once started; runAndWait() from any thread but a network
// thread of another loop.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

namespace asio {
class io_context;
}

namespace kestrum {

class EventLoops {
  public:
    // `threads` <= 0 means one per CPU the process may run on (its affinity mask, see usableCpuCount).
    explicit EventLoops(int threads = 0);
    ~EventLoops();  // stop()
    EventLoops(const EventLoops&) = delete;
    EventLoops& operator=(const EventLoops&) = delete;

    // Starts the threads. False when a thread cannot be started (then none runs). A second call does nothing
    // and returns true.
    bool start();
    // Lets every loop finish the handlers already queued, then stops and joins the threads. Handlers posted
    // afterwards are dropped. Idempotent; never call it from a network thread.
    void stop();

    bool running() const { return running_.load(std::memory_order_acquire); }
    int size() const { return static_cast<int>(loops_.size()); }
    asio::io_context& context(int index);
    // Runs `task` on loop `index`, in the order posted.
    void post(int index, std::function<void()> task);
    // Runs `task` on loop `index` after the work posted there before it, and returns once it has run (or
    // thrown, or been dropped by stop()). When the loops do not run, and on that loop's own thread, it runs
    // at once on the calling thread.
    void runAndWait(int index, const std::function<void()>& task);
    // Round-robin choice of a loop, for spreading new connections.
    int next();
    // The index of the loop the calling thread runs, or -1 when the caller is not a network thread of this
    // object.
    int currentIndex() const;

  private:
    struct Loop;
    int threadCount_;
    std::vector<std::unique_ptr<Loop>> loops_;
    std::atomic<unsigned> next_{0};
    std::atomic<bool> running_{false};
};

}  // namespace kestrum
