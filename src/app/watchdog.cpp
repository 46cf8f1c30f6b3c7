// The watchdog's rounds: probes posted to every loop, a timer on the first one.
#include "app/watchdog.h"

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <vector>

#include "util/event_loops.h"

namespace kestrum {

// Lives on the first loop: its timer's handler and everything it touches run there.
struct Watchdog::State : std::enable_shared_from_this<Watchdog::State> {
    State(EventLoops& loops, std::shared_ptr<const ServiceNotify> notify)
        : loops(loops),
          notify(std::move(notify)),
          timer(loops.context(0)),
          answered(std::make_shared<std::vector<std::atomic<uint64_t>>>(static_cast<size_t>(loops.size()))) {}

    // First loop only, from here on.
    void startRound() {
        ++round;
        for (int i = 0; i < loops.size(); ++i) {
            // The probe holds the answers only: the state stays on the first loop.
            loops.post(i, [answered = answered, i, round = round] {
                (*answered)[static_cast<size_t>(i)].store(round, std::memory_order_release);
            });
        }
    }

    void arm() {
        timer.expires_after(period);
        timer.async_wait([weak = weak_from_this()](const std::error_code& error) {
            if (auto state = weak.lock(); state && !error)
                state->tick();
        });
    }

    void tick() {
        bool alive = true;
        for (const auto& loop : *answered)
            alive = alive && loop.load(std::memory_order_acquire) == round;
        std::vector<std::optional<uint64_t>> now;
        for (Part& part : parts) {
            now.push_back(part.turns());
            alive = alive && !(now.back() && part.last && *now.back() == *part.last);
        }
        if (alive) {
            notify->send("WATCHDOG=1");
            for (size_t i = 0; i < parts.size(); ++i)
                parts[i].last = now[i];
            startRound();
        }
        arm();
    }

    struct Part {
        Turns turns;
        std::optional<uint64_t> last;  // at the last ping
    };

    EventLoops& loops;
    std::shared_ptr<const ServiceNotify> notify;
    asio::steady_timer timer;
    std::chrono::steady_clock::duration period{};
    // Per loop: the last round whose probe ran there.
    std::shared_ptr<std::vector<std::atomic<uint64_t>>> answered;
    uint64_t round = 0;
    std::vector<Part> parts;
};

Watchdog::Watchdog(EventLoops& loops, ServiceNotify notify)
    : loops_(loops), notify_(std::make_shared<const ServiceNotify>(std::move(notify))) {
    if (notify_->watchdogInterval().count() > 0 && loops_.size() > 0) {
        state_ = std::make_shared<State>(loops_, notify_);
        state_->period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(interval()) / 2;
    }
}

Watchdog::~Watchdog() {
    stop();
}

std::chrono::microseconds Watchdog::interval() const {
    return notify_->watchdogInterval();
}

void Watchdog::watch(Turns turns) {
    if (state_)
        state_->parts.push_back({std::move(turns), std::nullopt});
}

void Watchdog::ready() {
    notify_->send("READY=1");
    if (state_)
        loops_.runAndWait(0, [state = state_] {
            state->startRound();
            state->arm();
        });
}

void Watchdog::stopping() {
    if (!stopping_.exchange(true))
        notify_->send("STOPPING=1");
}

void Watchdog::stop() {
    if (!state_)
        return;
    // The timer belongs to the first loop: it goes there (or here, once the loops have stopped).
    loops_.runAndWait(0, [this] { state_.reset(); });
}

}  // namespace kestrum
