// IdleSlotQueue: the admission gate of the MySQL pool and of every Redis connection set. A thread-safe
// first-in-first-out queue of slot numbers; a number belongs to exactly one thread from take() to post().
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

namespace kestrum {

class IdleSlotQueue {
  public:
    IdleSlotQueue() = default;
    IdleSlotQueue(const IdleSlotQueue&) = delete;
    IdleSlotQueue& operator=(const IdleSlotQueue&) = delete;

    // Appends a slot number; never blocks.
    void post(int32_t slot);
    // Removes and returns the oldest number, waiting up to timeoutMs for one; 0 when none arrived in time.
    int32_t take(int timeoutMs);
    size_t size() const;
    void clear();

  private:
    mutable std::mutex mutex_;
    std::condition_variable available_;
    std::deque<int32_t> slots_;
};

}  // namespace kestrum
