#include "scheduler/task_outcome.h"

namespace kestrum {

const char* runResultName(RunResult result) {
    switch (result) {
        case RunResult::Success:
            return "success";
        case RunResult::Failure:
            return "failure";
        case RunResult::Idle:
            break;
    }
    return "idle";
}

const char* skipReasonName(SkipReason reason) {
    switch (reason) {
        case SkipReason::LeaseElsewhere:
            return "lease";
        case SkipReason::LeaseUnavailable:
            return "lease_unavailable";
        case SkipReason::Overlap:
            return "overlap";
        case SkipReason::MaxdoReached:
            break;
    }
    return "maxdo";
}

}  // namespace kestrum
