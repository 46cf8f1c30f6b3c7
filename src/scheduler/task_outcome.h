// What the scheduler tells about task runs: how each run ended and which due moments were skipped. The
// scheduler logs these itself; TaskEvents lets the application count them (the metrics page) without the
// scheduler knowing who listens.
#pragma once

#include <functional>
#include <string>

namespace kestrum {

enum class RunResult {
    Success,  // the program exited with 0, the answer had a 2xx/3xx status, the statement ran
    Failure,  // anything else that was tried
    Idle,     // nothing was tried: the task file is missing or switched off, or names no known action
};

enum class SkipReason {
    LeaseElsewhere,    // another instance claimed the moment
    LeaseUnavailable,  // no claim could be made and the lease says skip
    Overlap,           // overlap=skip and the previous run was still going
    MaxdoReached,      // the run limit was reached: the task ended and its later moments are not run
};

// Metric label values: "success", "failure", "idle"; "lease", "lease_unavailable", "overlap", "maxdo".
const char* runResultName(RunResult result);
const char* skipReasonName(SkipReason reason);

// Each is called on a scheduler thread (a task thread, or the thread watching a program) and must be quick.
// Task names in the internal encoding. Any of them may be empty.
struct TaskEvents {
    std::function<void(const std::string& task, double latenessSeconds)> runStarted;
    std::function<void(const std::string& task, RunResult result, double seconds)> runFinished;
    std::function<void(const std::string& task, SkipReason reason)> skipped;
};

}  // namespace kestrum
