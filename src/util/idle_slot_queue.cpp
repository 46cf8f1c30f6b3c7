#include "util/idle_slot_queue.h"

#include <chrono>

namespace kestrum {

void IdleSlotQueue::post(int32_t slot) {
    {
        std::lock_guard lock(mutex_);
        slots_.push_back(slot);
    }
    available_.notify_one();
}

int32_t IdleSlotQueue::take(int timeoutMs) {
    std::unique_lock lock(mutex_);
    auto timeout = std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
    if (!available_.wait_for(lock, timeout, [this] { return !slots_.empty(); }))
        return 0;
    int32_t slot = slots_.front();
    slots_.pop_front();
    return slot;
}

size_t IdleSlotQueue::size() const {
    std::lock_guard lock(mutex_);
    return slots_.size();
}

void IdleSlotQueue::clear() {
    std::lock_guard lock(mutex_);
    slots_.clear();
}

}  // namespace kestrum
