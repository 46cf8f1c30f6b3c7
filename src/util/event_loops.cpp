// The network threads: one io_context and one thread per loop.
#include "util/event_loops.h"

#include <algorithm>
#include <asio/detail/call_stack.hpp>
#include <asio/detail/thread_context.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <optional>
#include <system_error>
#include <thread>

#include "util/recovery_point.h"

namespace kestrum {

namespace {

// Asio keeps, per thread, a linked list of the run() calls in progress (its call stack), with the links in
// run()'s own frames. A recovered fault leaves run() by a jump, so the list head would point into a dead
// frame; the loop puts back the head it had before calling run(). The head is private to asio: an explicit
// instantiation may name it all the same.
using ThreadCallStack =
    asio::detail::call_stack<asio::detail::thread_context, asio::detail::thread_info_base>;
using CallStackHead = asio::detail::tss_ptr<ThreadCallStack::context>;
CallStackHead* callStackHead();
template <CallStackHead* Head>
struct CallStackHeadAccess {
    friend CallStackHead* callStackHead() { return Head; }
};
template struct CallStackHeadAccess<&ThreadCallStack::top_>;

// Runs the loop until it is stopped. An event that throws or faults is abandoned (see util/recovery_point.h)
// and the loop goes on with the next one; one sigsetjmp per recovery, none per event.
void runLoop(asio::io_context& context, int index) {
    RecoveryThread recovery("network", index);
    ThreadCallStack::context* head = *callStackHead();
    // Put back before the abandon actions run, which may post to this loop.
    recovery.onResume([](void* saved) { *callStackHead() = *static_cast<ThreadCallStack::context**>(saved); },
                      &head);
    while (true) {
        if (runRecoverable([&context] { context.run(); }))
            return;
        *callStackHead() = head;
        if (context.stopped())
            return;
    }
}

// Which EventLoops object and index the current thread runs; set once when the thread starts.
thread_local const EventLoops* tlsOwner = nullptr;
thread_local int tlsIndex = -1;
}  // namespace

struct EventLoops::Loop {
    asio::io_context context{1};
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> guard;
    std::thread thread;
};

EventLoops::EventLoops(int threads) : threadCount_(threads) {
    if (threadCount_ <= 0)
        threadCount_ = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    // The contexts exist from construction on, so sockets and timers can be created on them before start().
    for (int i = 0; i < threadCount_; ++i)
        loops_.push_back(std::make_unique<Loop>());
}

EventLoops::~EventLoops() {
    stop();
}

bool EventLoops::start() {
    if (running())
        return true;
    for (int i = 0; i < size(); ++i) {
        Loop& loop = *loops_[i];
        loop.context.restart();
        loop.guard.emplace(loop.context.get_executor());
        try {
            loop.thread = std::thread([this, i, &loop] {
                tlsOwner = this;
                tlsIndex = i;
                runLoop(loop.context, i);
                tlsOwner = nullptr;
                tlsIndex = -1;
            });
        } catch (const std::system_error&) {
            running_.store(true, std::memory_order_release);
            stop();
            return false;
        }
    }
    running_.store(true, std::memory_order_release);
    return true;
}

void EventLoops::stop() {
    if (!running_.exchange(false, std::memory_order_acq_rel))
        return;
    // Dropping the guard lets run() return once the queued handlers are done; stop() afterwards drops
    // whatever a handler still queues (a reconnect timer, say), so the join never waits on a back end.
    for (auto& loop : loops_)
        loop->guard.reset();
    for (auto& loop : loops_) {
        if (loop->thread.joinable()) {
            asio::post(loop->context, [raw = loop.get()] { raw->context.stop(); });
            loop->thread.join();
        }
    }
}

asio::io_context& EventLoops::context(int index) {
    return loops_.at(static_cast<size_t>(index))->context;
}

void EventLoops::post(int index, std::function<void()> task) {
    asio::post(context(index), std::move(task));
}

int EventLoops::next() {
    return static_cast<int>(next_.fetch_add(1, std::memory_order_relaxed) % static_cast<unsigned>(size()));
}

int EventLoops::currentIndex() const {
    return tlsOwner == this ? tlsIndex : -1;
}

}  // namespace kestrum
