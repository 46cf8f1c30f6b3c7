// Recovery points: a thread that runs units of work (a network event, a worker job, a task run) survives a
// unit that throws or faults.
//
// A thread opts in with a RecoveryThread (alternate signal stack, a name for the report) and runs its work
// through runRecoverable(). Inside, the owner of a piece of work names it with a WorkUnit, which may carry an
// abandon action (close the connection). When the work
//   - throws: the exception ends the unit; every WorkUnit the exception leaves runs its abandon action while
//     the stack unwinds (innermost first), and runRecoverable returns false;
//   - faults (SIGSEGV, SIGBUS, SIGFPE, SIGILL): the fault guard's signal handler calls recoverFromFault(),
//     which jumps back into runRecoverable. Nothing on the stack between the two is run again or destroyed:
//     the locks taken through GuardedLock are released, every unit on the stack runs its abandon action
//     (innermost first), and runRecoverable returns false.
// An abandon action runs in the recovery, on a stack whose upper frames are dead: it should only mark or
// post work (close a connection, schedule a clean-up on the loop), never run the owner's normal code.
// Either way one report goes to the reporter (the application logs it), on the recovered thread, after the
// recovery. A fault while recovering, or on a thread or at a moment without a recovery point, is not
// recovered: recoverFromFault() returns false and the handler ends the process.
//
// Cost on the hot path: a WorkUnit is two stores to a thread-local array; runRecoverable is one sigsetjmp
// without saving the signal mask. A loop that runs many events inside one runRecoverable pays it once.
#pragma once

#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <exception>
#include <mutex>

namespace kestrum {

// What a report says. `signal` is 0 for an exception, whose text is in `what`.
struct FaultRecord {
    int signal = 0;
    char what[128] = {};
    char thread[32] = {};  // "network 1", "worker 3", "task 7"
    char unit[64] = {};    // "connection id(12)", "task id(5)", or "event" when the work had no name
};
using FaultReporter = void (*)(const FaultRecord&);
// Any thread; the reporter runs on the recovered thread and must not block for long.
void setFaultReporter(FaultReporter reporter);

// Called by the fault signal handler on the faulting thread. Jumps into the thread's recovery point and does
// not return when the fault can be recovered; false otherwise. Async-signal-safe.
bool recoverFromFault(int signal);

namespace recovery_detail {

constexpr int kMaxUnits = 4;
constexpr int kMaxHeld = 8;

struct Unit {
    const char* kind;
    uint64_t id;
    void (*abandon)(void*);
    void* target;
};

struct Held {
    std::mutex* mutex;
    bool owned;
};

// Thread state; lives in the RecoveryThread, reached through a constant-initialised thread-local pointer so
// the signal handler can read it.
struct ThreadState {
    sigjmp_buf env;
    volatile sig_atomic_t armed = 0;
    volatile sig_atomic_t recovering = 0;
    volatile sig_atomic_t signal = 0;
    Unit units[kMaxUnits];
    int unitCount = 0;  // may exceed kMaxUnits: deeper units are counted, not kept
    Held held[kMaxHeld];
    int heldCount = 0;       // likewise
    bool unwinding = false;  // an exception's unit has been abandoned already
    char unitText[64] = {};  // the abandoned unit, for the report
    char name[32] = {};
    void (*resume)(void*) = nullptr;  // run first after a fault, before anything else (see RecoveryThread)
    void* resumeTarget = nullptr;
    void (*beforeJump)(void*) = nullptr;  // run in the signal handler, just before the jump
    void* beforeJumpTarget = nullptr;
    sigset_t mask;  // the thread's signal mask outside the handler, put back by a recovery
};

ThreadState* current();
void afterFault(ThreadState& state);
void afterException(ThreadState& state, const char* what);

}  // namespace recovery_detail

// Makes the calling thread one that recovers; from construction to destruction on that thread. `role` and
// `index` name it in reports ("network", 1 -> "network 1").
class RecoveryThread {
  public:
    RecoveryThread(const char* role, int index);
    ~RecoveryThread();
    RecoveryThread(const RecoveryThread&) = delete;
    RecoveryThread& operator=(const RecoveryThread&) = delete;

    // `resume` runs first in every recovery from a fault on this thread, before the locks are released and
    // the abandon actions run: a thread whose loop keeps per-thread bookkeeping in the frames a fault cuts
    // short puts it right here, so that the abandon actions may use the loop again.
    void onResume(void (*resume)(void*), void* target) {
        state_.resume = resume;
        state_.resumeTarget = target;
    }
    // `beforeJump` runs in the fault's signal handler (on the alternate stack) just before the jump, while
    // the frames the jump abandons are still intact: it may copy what it needs out of them. Async-signal-safe
    // work only: no lock, no allocation.
    void onBeforeJump(void (*beforeJump)(void*), void* target) {
        state_.beforeJump = beforeJump;
        state_.beforeJumpTarget = target;
    }

  private:
    recovery_detail::ThreadState state_;
    recovery_detail::ThreadState* previous_;
    void* altStack_ = nullptr;
    bool altStackSet_ = false;
};

// Names the work the thread does now, for the report and the abandon action. Scoped; nests.
class WorkUnit {
  public:
    WorkUnit(const char* kind, uint64_t id, void (*abandon)(void*) = nullptr, void* target = nullptr);
    ~WorkUnit();
    WorkUnit(const WorkUnit&) = delete;
    WorkUnit& operator=(const WorkUnit&) = delete;

  private:
    recovery_detail::ThreadState* state_;
    int depth_ = 0;
    int exceptions_ = 0;
};

// A std::mutex lock that a recovery releases. Use it for locks taken by code that runs inside units of work
// (the log lock, the task registry lock). wait() keeps the tracking right around a condition variable.
class GuardedLock {
  public:
    explicit GuardedLock(std::mutex& mutex);
    ~GuardedLock();
    GuardedLock(const GuardedLock&) = delete;
    GuardedLock& operator=(const GuardedLock&) = delete;

    void lock();
    void unlock();
    std::unique_lock<std::mutex>& native() { return lock_; }
    template <typename Condition, typename Predicate>
    void wait(Condition& condition, Predicate predicate) {
        condition.wait(lock_, predicate);
    }

  private:
    void setOwned(bool owned);
    std::unique_lock<std::mutex> lock_;
    recovery_detail::ThreadState* state_;
    int slot_ = -1;
};

// Runs `work` under the thread's recovery point. True when it returned; false when it threw or faulted and
// was abandoned (reported already). A thread without a RecoveryThread just runs `work` (exceptions go on as
// they would); a nested call runs under the outer point.
template <typename Work>
bool runRecoverable(Work&& work) {
    recovery_detail::ThreadState* state = recovery_detail::current();
    if (state == nullptr || state->armed) {
        work();
        return true;
    }
    if (sigsetjmp(state->env, 0) != 0) {
        recovery_detail::afterFault(*recovery_detail::current());
        return false;
    }
    state->armed = 1;
    try {
        work();
    } catch (const std::exception& error) {
        state->armed = 0;
        recovery_detail::afterException(*state, error.what());
        return false;
    } catch (...) {
        state->armed = 0;
        recovery_detail::afterException(*state, "unknown exception");
        return false;
    }
    state->armed = 0;
    return true;
}

}  // namespace kestrum
