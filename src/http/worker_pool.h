// WorkerPool: a fixed set of threads running jobs from one unbounded FIFO queue (mutex + condition variable).
//
// submit() never blocks for room: the queue has no bound, so a network thread handing over a request never
// waits. stop() lets the threads finish every job already queued, then joins them.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrum {

class WorkerPool {
  public:
    using Job = std::function<void()>;

    WorkerPool() = default;
    ~WorkerPool();  // stop()
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Starts `threads` threads (0 = 2 x cores + 2). Returns false when already started or a thread cannot be
    // made.
    bool start(int threads = 0);
    // Queues a job; any thread. Returns false (and drops the job) when the pool is not running.
    bool submit(Job job);
    // Runs every queued job, then joins the threads. Idempotent; not from a pool thread.
    void stop();

    size_t threadCount() const { return threads_.size(); }

  private:
    void run();

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Job> queue_;
    bool running_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace kestrum
