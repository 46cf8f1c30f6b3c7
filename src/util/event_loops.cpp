// The network threads: one io_context and one thread per loop.
#include "util/event_loops.h"

#include <algorithm>
#include <asio/detail/call_stack.hpp>
#include <asio/detail/op_queue.hpp>
#include <asio/detail/scheduler.hpp>
#include <asio/detail/scheduler_thread_info.hpp>
#include <asio/detail/thread_context.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "util/cpu_count.h"
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

// With one thread per context, what a handler posts to its own loop waits in run()'s frame (a private queue,
// with its own work count) until the handler returns. A fault's jump skips that hand-over, which would lose
// the posted work: answers for other connections, completions of cancelled waits. The signal handler moves
// the queue out of the dead frame before the jump (pointer moves only); the recovery hands it to the loop.
struct FaultSalvage {
    asio::detail::scheduler* scheduler = nullptr;
    ThreadCallStack::context* head = nullptr;  // the call stack as it was before run()
    asio::detail::op_queue<asio::detail::scheduler_operation> posted;
    long work = 0;
    bool inHandler = false;

    static void beforeJump(void* target) {
        auto* salvage = static_cast<FaultSalvage*>(target);
        auto* info =
            static_cast<asio::detail::scheduler_thread_info*>(ThreadCallStack::contains(salvage->scheduler));
        salvage->inHandler = info != nullptr;
        if (info == nullptr)
            return;
        salvage->posted.push(info->private_op_queue);
        salvage->work = info->private_outstanding_work;
        info->private_outstanding_work = 0;
    }

    // First thing after the jump: the call stack is put back (the abandon actions may post to this loop),
    // then the posted work goes to the loop's queue with the work count run() would have settled (the
    // faulting handler counts as finished).
    static void resume(void* target) {
        auto* salvage = static_cast<FaultSalvage*>(target);
        *callStackHead() = salvage->head;
        if (!salvage->inHandler)
            return;
        salvage->inHandler = false;
        if (salvage->work > 1) {
            for (long i = 1; i < salvage->work; ++i)
                salvage->scheduler->work_started();
        } else if (salvage->work < 1) {
            salvage->scheduler->work_finished();
        }
        salvage->work = 0;
        salvage->scheduler->post_deferred_completions(salvage->posted);
    }
};

// Runs the loop until it is stopped. An event that throws or faults is abandoned (see util/recovery_point.h)
// and the loop goes on with the next one; one sigsetjmp per recovery, none per event.
void runLoop(asio::io_context& context, int index) {
    RecoveryThread recovery("network", index);
    FaultSalvage salvage;
    salvage.scheduler = &asio::use_service<asio::detail::scheduler>(context);
    salvage.head = *callStackHead();
    ThreadCallStack::context* const head = salvage.head;
    recovery.onBeforeJump(&FaultSalvage::beforeJump, &salvage);
    recovery.onResume(&FaultSalvage::resume, &salvage);
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
        threadCount_ = usableCpuCount();
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

void EventLoops::runAndWait(int index, const std::function<void()>& task) {
    if (!running() || currentIndex() == index) {
        task();
        return;
    }
    struct Done {
        std::mutex mutex;
        std::condition_variable changed;
        bool done = false;
    };
    // The waiter is let go when the posted work is destroyed: after it ran, when it threw, or when the loop
    // dropped it unrun.
    struct Release {
        std::shared_ptr<Done> state;
        ~Release() {
            std::lock_guard lock(state->mutex);
            state->done = true;
            state->changed.notify_all();
        }
    };
    auto state = std::make_shared<Done>();
    std::shared_ptr<Release> release(new Release{state});
    asio::post(context(index), [release = std::move(release), &task] { task(); });
    std::unique_lock lock(state->mutex);
    state->changed.wait(lock, [&state] { return state->done; });
}

int EventLoops::next() {
    return static_cast<int>(next_.fetch_add(1, std::memory_order_relaxed) % static_cast<unsigned>(size()));
}

int EventLoops::currentIndex() const {
    return tlsOwner == this ? tlsIndex : -1;
}

}  // namespace kestrum
