// The rate of a caller with rate_shared=1, counted in Redis so that every instance draws on one budget.
//
// Time is cut into windows of max(1 s, 1/rate) by the wall clock (the instances' clocks must agree to a
// fraction of a window); each window of a caller has its own counter "kestrum:rate:<caller>:<window>",
// which INCR counts up and which expires two windows later. A window admits max(burst, rate x window)
// requests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace kestrum {

class RedisGateway;
struct Caller;

struct SharedRateWindow {
    int64_t lengthMs = 1000;
    int64_t limit = 1;
};
SharedRateWindow sharedRateWindow(double rate, int64_t burst);

// Counts one request of `caller` on database `db`; `done` gets 0 (allowed), the seconds until the next
// window (refused), or -1 (Redis could not count). Does not block: the count's answer calls `done`.
void countSharedRate(RedisGateway& gateway, int32_t db, const Caller& caller,
                     std::function<void(int64_t retryAfter)> done);

}  // namespace kestrum
