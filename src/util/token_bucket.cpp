#include "util/token_bucket.h"

#include <algorithm>
#include <cmath>

namespace kestrum {
namespace {

constexpr double kNanosecondsPerSecond = 1e9;
constexpr int64_t kLongestInterval = int64_t{86400} * 1000000000;  // one token a day
constexpr int64_t kLargestBurst = 1000000000;
constexpr int64_t kLongestTolerance = int64_t{1}
                                      << 61;  // about 73 years: sums with the clock cannot overflow

int64_t intervalOf(double ratePerSecond) {
    if (!(ratePerSecond > 0))
        return kLongestInterval;
    const double interval = std::round(kNanosecondsPerSecond / ratePerSecond);
    return std::clamp<double>(interval, 1, kLongestInterval);
}

}  // namespace

int64_t TokenBucket::Decision::retryAfterSeconds() const {
    if (allowed)
        return 0;
    const int64_t ns = wait.count();
    return std::max<int64_t>(1, (ns + 999999999) / 1000000000);
}

TokenBucket::TokenBucket(double ratePerSecond, int64_t burst)
    : interval_(intervalOf(ratePerSecond)),
      burst_(std::clamp<int64_t>(burst, 1, kLargestBurst)),
      tolerance_(burst_ - 1 > kLongestTolerance / interval_ ? kLongestTolerance : (burst_ - 1) * interval_) {}

TokenBucket::Decision TokenBucket::take(Clock::time_point now) {
    const int64_t t = std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
    int64_t fullAgain = fullAgain_.load(std::memory_order_relaxed);
    while (true) {
        const int64_t from = std::max(fullAgain, t);
        if (from - t > tolerance_) {
            Decision refused;
            refused.wait = std::chrono::nanoseconds(from - t - tolerance_);
            return refused;
        }
        if (fullAgain_.compare_exchange_weak(fullAgain, from + interval_, std::memory_order_relaxed))
            break;
    }
    Decision allowed;
    allowed.allowed = true;
    return allowed;
}

}  // namespace kestrum
