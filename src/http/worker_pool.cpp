#include "http/worker_pool.h"

#include <system_error>

namespace kestrum {

WorkerPool::~WorkerPool() {
    stop();
}

bool WorkerPool::start(int threads) {
    std::lock_guard lock(mutex_);
    if (running_ || !threads_.empty())
        return false;
    if (threads <= 0) {
        unsigned cores = std::thread::hardware_concurrency();
        threads = 2 * static_cast<int>(cores == 0 ? 1 : cores) + 2;
    }
    running_ = true;
    try {
        for (int i = 0; i < threads; ++i)
            threads_.emplace_back([this] { run(); });
    } catch (const std::system_error&) {
        // The threads that did start serve the pool; a pool without threads would never run a job.
        if (threads_.empty()) {
            running_ = false;
            return false;
        }
    }
    return true;
}

bool WorkerPool::submit(Job job) {
    {
        std::lock_guard lock(mutex_);
        if (!running_)
            return false;
        queue_.push_back(std::move(job));
    }
    ready_.notify_one();
    return true;
}

void WorkerPool::stop() {
    {
        std::lock_guard lock(mutex_);
        running_ = false;
    }
    ready_.notify_all();
    for (auto& thread : threads_) {
        if (thread.joinable())
            thread.join();
    }
    threads_.clear();
}

void WorkerPool::run() {
    while (true) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            ready_.wait(lock, [this] { return !running_ || !queue_.empty(); });
            // Queued jobs still run after stop(): they carry answers that clients are waiting for.
            if (queue_.empty())
                return;
            job = std::move(queue_.front());
            queue_.pop_front();
        }
        job();
    }
}

}  // namespace kestrum
