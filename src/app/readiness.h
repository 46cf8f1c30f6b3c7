// Readiness: whether the service can take traffic now (config.ini [sys] ready_path), apart from the
// heartbeat, which only says that the process is alive.
//
// Ready means: no shutdown has begun, and every check passes (each listener that should run does, each back
// end of a module that is on has a usable connection). The checks run on a worker thread, one probe at a
// time; requests that arrive while a probe runs share its outcome, and an outcome younger than a second is
// given again without a probe. Once the shutdown begins (drain), every answer is "not ready" at once.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace kestrum {

class WorkerPool;

class Readiness {
  public:
    // One thing the service needs. Runs on a worker thread and may block briefly; returns empty text when it
    // is fine, otherwise what is down, in a few words ("mysql: 0 of 5 connections usable").
    using Check = std::function<std::string()>;
    // The outcome and the envelope text (internal encoding): {"errcode":200,"errmsg":"ready"} or errcode 503
    // with what is down.
    using Answer = std::function<void(bool ready, std::string envelope)>;

    // `workers` must outlive every check() call.
    explicit Readiness(WorkerPool& workers);
    Readiness(const Readiness&) = delete;
    Readiness& operator=(const Readiness&) = delete;

    // Before the first check().
    void addCheck(Check check);
    // From now on every answer is "not ready" ("shutting down"). Any thread.
    void beginDrain() { draining_ = true; }
    bool draining() const { return draining_; }

    // Answers once, at once or from the worker that ran the probe. Any thread; never blocks.
    void check(Answer answer);

    // The checks once, on the calling thread: empty when ready, else the parts that are down joined by "; ".
    std::string probe() const;

  private:
    void finish(std::string down);

    WorkerPool& workers_;
    std::vector<Check> checks_;
    std::atomic<bool> draining_{false};

    std::mutex mutex_;  // guards everything below
    bool probing_ = false;
    std::vector<Answer> waiting_;
    std::chrono::steady_clock::time_point lastProbe_{};
    std::string lastDown_;
};

}  // namespace kestrum
