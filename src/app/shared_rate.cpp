#include "app/shared_rate.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>

#include "http/callers.h"
#include "redis/redis_gateway.h"

namespace kestrum {
namespace {

// The key travels as a double-quoted word of \xHH escapes: no byte of a name can change the command.
std::string quoted(const std::string& bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (unsigned char c : bytes) {
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    out += '"';
    return out;
}

}  // namespace

SharedRateWindow sharedRateWindow(double rate, int64_t burst) {
    SharedRateWindow window;
    if (rate > 0)
        window.lengthMs = std::max<int64_t>(1000, static_cast<int64_t>(std::ceil(1000.0 / rate)));
    const auto perWindow =
        static_cast<int64_t>(std::ceil(rate * static_cast<double>(window.lengthMs) / 1000.0));
    window.limit = std::max<int64_t>({1, burst, perWindow});
    return window;
}

void countSharedRate(RedisGateway& gateway, int32_t db, const Caller& caller,
                     std::function<void(int64_t retryAfter)> done) {
    const SharedRateWindow window = sharedRateWindow(caller.rate, caller.burst);
    const int64_t nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    const int64_t index = nowMs / window.lengthMs;
    // Caller names are letters, digits, "_", "-" and ".": the same bytes in either encoding.
    const std::string key = quoted("kestrum:rate:" + caller.name + ":" + std::to_string(index));
    const int64_t leftMs = window.lengthMs - nowMs % window.lengthMs;
    gateway.runOrder(
        db, "INCR " + key, [&gateway, db, key, window, leftMs, done = std::move(done)](RedisOutcome outcome) {
            if (!outcome.ok) {
                done(-1);
                return;
            }
            const long long count = std::atoll(outcome.text.c_str());
            if (count == 1) {
                // The window's first request gives its counter an end.
                gateway.runOrder(db, "PEXPIRE " + key + " " + std::to_string(2 * window.lengthMs),
                                 [](RedisOutcome) {});
            }
            if (count <= 0) {
                done(-1);
                return;
            }
            done(count <= window.limit ? 0 : std::max<int64_t>(1, (leftMs + 999) / 1000));
        });
}

}  // namespace kestrum
