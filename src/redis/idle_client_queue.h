// IdleClientQueue: the admission gate of a RedisClientSet, a thread-safe first-in-first-out queue of client
// numbers. post() never blocks; take() waits up to a time-out and gives 0 when no number arrived in time.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

namespace kestrum {

class IdleClientQueue {
  public:
    IdleClientQueue() = default;
    IdleClientQueue(const IdleClientQueue&) = delete;
    IdleClientQueue& operator=(const IdleClientQueue&) = delete;

    void post(int32_t number);
    // The oldest number, waiting up to `timeoutMs` (0: do not wait); 0 when none arrived in time.
    int32_t take(int timeoutMs);
    void clear();
    size_t size() const;

  private:
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<int32_t> numbers_;
};

}  // namespace kestrum
