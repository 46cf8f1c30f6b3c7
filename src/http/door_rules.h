// The rules of the door: who is let in (the whitelist, the trusted proxies) and, when callers.ini is in use,
// who each caller is and what it may do, with the limits each caller is held to.
//
// A DoorRules is built whole, never changed afterwards, and shared as std::shared_ptr<const DoorRules>. A
// reload builds a new one and hands it to the Door, which swaps it in; requests already being served keep the
// rules they started with. Readers on the network threads keep their own copy of the pointer (a DoorView)
// and look at the Door's generation, one atomic load, to learn that it changed: no lock and no reference
// count traffic per request.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/callers.h"
#include "util/address_range.h"
#include "util/request_meter.h"
#include "util/token_bucket.h"

namespace kestrum {

// What a caller is held to while the rules are in force: its token bucket (rate set) and the number of its
// requests being served.
struct CallerLimits {
    std::unique_ptr<TokenBucket> bucket;  // null: no rate
    std::atomic<int64_t> inFlight{0};
    CallerCounts::Counters* counts = nullptr;  // its requests, for the metrics page; null: not counted
};

struct DoorRules {
    AddressSet whitelist;
    AddressSet trustedProxies;
    // Null: no callers.ini, callers are not in use and everything works by address alone.
    std::shared_ptr<const CallerRules> callers;
    // One per caller, in the order of callers->callers().
    std::vector<std::unique_ptr<CallerLimits>> limits;

    bool callersInUse() const { return callers != nullptr; }
    // The limits of a caller of `callers`.
    CallerLimits& limitsOf(const Caller& caller) const {
        return *limits[static_cast<size_t>(&caller - callers->callers().data())];
    }
};

// Builds the rules from the two address lists (config.ini [sys] whitelist and trusted_proxies, internal
// encoding; "localhost" stands for `localAddress`) and the loaded callers (null: not in use). Entries that
// are neither an address nor a range admit nobody. `counts` (may be null) gets counters for every caller.
std::shared_ptr<const DoorRules> makeDoorRules(std::string_view whitelist, std::string_view trustedProxies,
                                               const std::string& localAddress,
                                               std::shared_ptr<const CallerRules> callers,
                                               CallerCounts* counts = nullptr);

// The rules in force. replace() from any thread; readers go through a DoorView.
class Door {
  public:
    explicit Door(std::shared_ptr<const DoorRules> rules = nullptr);
    Door(const Door&) = delete;
    Door& operator=(const Door&) = delete;

    void replace(std::shared_ptr<const DoorRules> rules);
    std::shared_ptr<const DoorRules> current() const;
    uint64_t generation() const { return generation_.load(std::memory_order_acquire); }

  private:
    mutable std::mutex mutex_;
    std::shared_ptr<const DoorRules> rules_;  // never null
    std::atomic<uint64_t> generation_{1};
};

// One reader's copy of the rules (a connection's, the accepting loop's): refreshed only when the Door's
// generation moved. Not thread safe itself: one thread at a time.
class DoorView {
  public:
    const DoorRules& rules(const Door& door) {
        const uint64_t now = door.generation();
        if (now != generation_) {
            rules_ = door.current();
            generation_ = now;
        }
        return *rules_;
    }
    // The pointer the last rules() call gave (for a request that outlives the call).
    const std::shared_ptr<const DoorRules>& shared() const { return rules_; }
    uint64_t generation() const { return generation_; }

  private:
    std::shared_ptr<const DoorRules> rules_;
    uint64_t generation_ = 0;
};

}  // namespace kestrum
