#include "redis/idle_client_queue.h"

#include <chrono>

namespace kestrum {

void IdleClientQueue::post(int32_t number) {
    {
        std::lock_guard lock(mutex_);
        numbers_.push_back(number);
    }
    ready_.notify_one();
}

int32_t IdleClientQueue::take(int timeoutMs) {
    std::unique_lock lock(mutex_);
    if (!ready_.wait_for(lock, std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0),
                         [this] { return !numbers_.empty(); }))
        return 0;
    int32_t number = numbers_.front();
    numbers_.pop_front();
    return number;
}

void IdleClientQueue::clear() {
    std::lock_guard lock(mutex_);
    numbers_.clear();
}

size_t IdleClientQueue::size() const {
    std::lock_guard lock(mutex_);
    return numbers_.size();
}

}  // namespace kestrum
