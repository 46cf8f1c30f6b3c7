// A token bucket: `rate` tokens per second flow into a bucket that holds at most `burst`; each request takes
// one. A caller may thus send `burst` requests at once and `rate` per second on average. The bucket starts
// full.
//
// Kept as the generic cell rate algorithm: one number, the moment at which the bucket would be full again
// ("theoretical arrival time"), in whole nanoseconds, so that no rounding of fractional tokens makes a
// request that is due fail. Thread safe without a lock: one bucket per caller is shared by every network
// thread that serves the caller, and a take is one compare-and-swap. Time comes in as an argument (a steady
// clock by default), so tests need no sleeps.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace kestrum {

class TokenBucket {
  public:
    using Clock = std::chrono::steady_clock;

    struct Decision {
        bool allowed = false;
        // When refused: the time until a token is there (> 0). Zero when allowed.
        std::chrono::nanoseconds wait{0};
        // The Retry-After value: the wait rounded up to whole seconds, at least 1. 0 when allowed.
        int64_t retryAfterSeconds() const;
    };

    // `ratePerSecond` > 0 and `burst` >= 1 (the configuration loader checks them); smaller values are raised
    // to the smallest ones that make sense (one token a day, a burst of one).
    TokenBucket(double ratePerSecond, int64_t burst);
    TokenBucket(const TokenBucket&) = delete;
    TokenBucket& operator=(const TokenBucket&) = delete;

    // Takes one token when there is one.
    Decision take(Clock::time_point now = Clock::now());

    // Nanoseconds between two tokens, and how many tokens the bucket holds.
    int64_t interval() const { return interval_; }
    int64_t burst() const { return burst_; }

  private:
    const int64_t interval_;
    const int64_t burst_;
    const int64_t tolerance_;           // (burst - 1) intervals: how far ahead of now the bucket may be drawn
    std::atomic<int64_t> fullAgain_{};  // nanoseconds of the steady clock; 0: full since ever
};

}  // namespace kestrum
