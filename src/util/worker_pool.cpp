#include "util/worker_pool.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <system_error>

#include "util/cpu_count.h"
#include "util/recovery_point.h"

namespace kestrum {

void WorkerPool::Idler::wait() {
    while (woken.exchange(0, std::memory_order_acquire) == 0)
        syscall(SYS_futex, &woken, FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
}

void WorkerPool::Idler::wake() {
    woken.store(1, std::memory_order_release);
    syscall(SYS_futex, &woken, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

WorkerPool::~WorkerPool() {
    stop();
}

bool WorkerPool::start(int threads) {
    std::lock_guard lock(mutex_);
    if (running_ || !threads_.empty())
        return false;
    if (threads <= 0)
        threads = 2 * usableCpuCount() + 2;
    running_ = true;
    idle_.reserve(static_cast<size_t>(threads));
    try {
        for (int i = 0; i < threads; ++i) {
            idlers_.push_back(std::make_unique<Idler>());
            Idler* idler = idlers_.back().get();
            threads_.emplace_back([this, idler, i] { run(*idler, i); });
        }
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
    Idler* idler = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (!running_)
            return false;
        if (idle_.empty()) {
            queue_.push_back(std::move(job));
            return true;
        }
        idler = idle_.back();
        idle_.pop_back();
        idler->job = std::move(job);
    }
    idler->wake();
    return true;
}

void WorkerPool::stop() {
    std::vector<Idler*> idle;
    {
        std::lock_guard lock(mutex_);
        running_ = false;
        // Idle threads have nothing left to do; busy ones empty the queue before they end.
        idle.swap(idle_);
    }
    for (Idler* idler : idle)
        idler->wake();
    for (auto& thread : threads_) {
        if (thread.joinable())
            thread.join();
    }
    threads_.clear();
    idlers_.clear();
}

void WorkerPool::run(Idler& self, int index) {
    // A job that throws or faults is abandoned (and reported); the thread goes on with the next one.
    RecoveryThread recovery("worker", index);
    uint64_t jobNumber = 0;
    Job job;
    while (true) {
        {
            std::lock_guard lock(mutex_);
            // Queued jobs still run after stop(): they carry answers that clients are waiting for.
            if (!queue_.empty()) {
                job = std::move(queue_.front());
                queue_.pop_front();
            } else if (!running_) {
                return;
            } else {
                idle_.push_back(&self);
            }
        }
        if (!job) {
            self.wait();
            job = std::move(self.job);
            self.job = nullptr;
            if (!job)
                return;  // stop()
        }
        runRecoverable([&job, number = ++jobNumber] {
            WorkUnit unit("job", number);
            job();
        });
        job = nullptr;
    }
}

}  // namespace kestrum
