// WorkerPool: a fixed set of threads running jobs from one unbounded FIFO queue.
//
// submit() never blocks for room: the queue has no bound, so a network thread handing over a request never
// waits. A job submitted while a thread is idle is handed to that thread directly (the most recently idle
// one, whose stack and caches are warm) and wakes only it; otherwise it waits in the queue for the next
// thread that finishes. stop() lets the threads finish every job already queued, then joins them.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
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

    // Starts `threads` threads (0 = 2 x the CPUs the process may run on + 2, see usableCpuCount). Returns
    // false when already started or a thread cannot be made.
    bool start(int threads = 0);
    // Queues a job; any thread. Returns false (and drops the job) when the pool is not running.
    bool submit(Job job);
    // Runs every queued job, then joins the threads. Idempotent; not from a pool thread.
    void stop();

    size_t threadCount() const { return threads_.size(); }

  private:
    // One per thread: an idle thread sleeps on its own futex word until it is given a job or told to end.
    // (A plain futex: std::binary_semaphore spins with sched_yield first, which costs more than it saves when
    // the next job is rarely a few microseconds away.)
    struct Idler {
        std::atomic<int> woken{0};
        Job job;  // set by submit() before the wake; empty: end

        void wait();
        void wake();
    };

    void run(Idler& self, int index);

    std::mutex mutex_;
    std::deque<Job> queue_;
    std::vector<Idler*> idle_;  // most recently idle last
    bool running_ = false;
    std::vector<std::unique_ptr<Idler>> idlers_;
    std::vector<std::thread> threads_;
};

}  // namespace kestrum
