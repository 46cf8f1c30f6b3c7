// Watchdog: tells the service manager (util/service_notify.h) that kestrum is ready, and keeps telling it
// that kestrum is alive for as long as every network loop and every watched part keeps turning.
//
// Every half watchdog interval a timer on the first loop looks at the round it started last: when every loop
// has run the probe posted to it since, and every watched part has turned (or has nothing to do), it pings
// "WATCHDOG=1" and starts the next round. A loop that stops turning runs neither its probe nor (the first
// loop) the timer, so the pings stop and the manager restarts the service once its interval has passed.
//
// Thread rules: the owner's thread (never a network thread) for everything; the loops run from ready() to
// stop().
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "util/service_notify.h"

namespace kestrum {

class EventLoops;

class Watchdog {
  public:
    // A count that grows while the part works; nothing while it has nothing to do (then it is not looked at).
    // Called on the first loop; must be cheap and must not block.
    using Turns = std::function<std::optional<uint64_t>()>;

    Watchdog(EventLoops& loops, ServiceNotify notify);
    ~Watchdog();  // stop()
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    bool enabled() const { return notify_ && notify_->enabled(); }
    std::chrono::microseconds interval() const;
    // Before ready().
    void watch(Turns turns);
    // "READY=1", and the pings from now on when the manager wants them.
    void ready();
    // "STOPPING=1" (once); the pings go on until stop().
    void stopping();
    // No more pings. Before the loops stop.
    void stop();

  private:
    struct State;
    EventLoops& loops_;
    std::shared_ptr<const ServiceNotify> notify_;
    std::shared_ptr<State> state_;
    std::atomic<bool> stopping_{false};
};

}  // namespace kestrum
