// Countdown: a thread that is not a network thread waits until a number of pieces of work on the network
// threads have finished. When the loops do not run (yet), the waiting thread runs their queued work itself.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <asio/io_context.hpp>

#include "util/event_loops.h"

namespace kestrum {

class Countdown {
  public:
    explicit Countdown(int count) : left_(count) {}

    void done() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (--left_ == 0)
            finished_.notify_all();
    }

    // False when the time ran out first.
    bool wait(EventLoops& loops, std::chrono::milliseconds limit) {
        const auto until = std::chrono::steady_clock::now() + limit;
        if (loops.running()) {
            std::unique_lock<std::mutex> lock(mutex_);
            return finished_.wait_until(lock, until, [this] { return left_ <= 0; });
        }
        for (;;) {
            for (int i = 0; i < loops.size(); ++i) {
                loops.context(i).restart();
                loops.context(i).poll();
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (left_ <= 0)
                    return true;
            }
            if (std::chrono::steady_clock::now() >= until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

  private:
    std::mutex mutex_;
    std::condition_variable finished_;
    int left_;
};

}  // namespace kestrum
