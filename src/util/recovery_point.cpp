// Recovery points: thread state, work units, tracked locks and the recovery itself.
#include "util/recovery_point.h"

#include <signal.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kestrum {

namespace {

// Constant-initialised: reading it from the signal handler needs no lazy set-up.
thread_local recovery_detail::ThreadState* tlsState = nullptr;
std::atomic<FaultReporter> g_reporter{nullptr};

constexpr size_t kAltStackBytes = 64 * 1024;

void describeUnit(const recovery_detail::Unit& unit, char* out, size_t size) {
    std::snprintf(out, size, "%s id(%llu)", unit.kind, static_cast<unsigned long long>(unit.id));
}

void report(recovery_detail::ThreadState& state, int signal, const char* what) {
    FaultRecord record;
    record.signal = signal;
    std::snprintf(record.what, sizeof record.what, "%s", what);
    std::snprintf(record.thread, sizeof record.thread, "%s", state.name);
    std::snprintf(record.unit, sizeof record.unit, "%s",
                  state.unitText[0] != '\0' ? state.unitText : "event");
    state.unitText[0] = '\0';
    if (FaultReporter reporter = g_reporter.load(std::memory_order_acquire))
        reporter(record);
}

}  // namespace

void setFaultReporter(FaultReporter reporter) {
    g_reporter.store(reporter, std::memory_order_release);
}

bool recoverFromFault(int signal) {
    recovery_detail::ThreadState* state = tlsState;
    if (state == nullptr || !state->armed || state->recovering)
        return false;
    state->armed = 0;
    state->recovering = 1;
    state->signal = signal;
    if (state->beforeJump != nullptr)
        state->beforeJump(state->beforeJumpTarget);
    siglongjmp(state->env, 1);
}

namespace recovery_detail {

ThreadState* current() {
    return tlsState;
}

// On the thread's own stack again, in the frame of runRecoverable: everything the abandoned work held is
// in dead frames above it, so only the thread state is read.
void afterFault(ThreadState& state) {
    if (state.resume != nullptr)
        state.resume(state.resumeTarget);
    // The jump left the handler without the mask restore a return would do. The guard's handler blocks
    // nothing, but a runtime that wraps handlers may (ThreadSanitizer blocks every signal while one runs):
    // the next fault on this thread must still reach the guard.
    pthread_sigmask(SIG_SETMASK, &state.mask, nullptr);
    // 1. Locks: released from the innermost out, the ones still held only.
    const int held = state.heldCount < kMaxHeld ? state.heldCount : kMaxHeld;
    for (int i = held - 1; i >= 0; --i) {
        if (state.held[i].owned)
            state.held[i].mutex->unlock();
    }
    state.heldCount = 0;
    // 2. The jump cut every named unit on the stack short: each is abandoned, innermost first, and the report
    // names the innermost. A fault in an abandon action ends the process (recovering is still set).
    const int units = state.unitCount < kMaxUnits ? state.unitCount : kMaxUnits;
    state.unitCount = 0;
    state.unwinding = false;
    if (units > 0)
        describeUnit(state.units[units - 1], state.unitText, sizeof state.unitText);
    for (int i = units - 1; i >= 0; --i) {
        const Unit unit = state.units[i];
        if (unit.abandon != nullptr)
            unit.abandon(unit.target);
    }
    const int signal = state.signal;
    report(state, signal, "");
    state.signal = 0;
    state.recovering = 0;
}

void afterException(ThreadState& state, const char* what) {
    // The stack has unwound: the units and locks are gone through their destructors, and the innermost unit
    // was abandoned on the way.
    state.unitCount = 0;
    state.heldCount = 0;
    state.unwinding = false;
    report(state, 0, what);
}

}  // namespace recovery_detail

RecoveryThread::RecoveryThread(const char* role, int index) : previous_(tlsState) {
    std::snprintf(state_.name, sizeof state_.name, "%s %d", role, index);
    pthread_sigmask(SIG_SETMASK, nullptr, &state_.mask);
    // The handler of a stack overflow needs a stack of its own.
    altStack_ = std::malloc(kAltStackBytes);
    if (altStack_ != nullptr) {
        stack_t stack{};
        stack.ss_sp = altStack_;
        stack.ss_size = kAltStackBytes;
        altStackSet_ = sigaltstack(&stack, nullptr) == 0;
    }
    tlsState = &state_;
}

RecoveryThread::~RecoveryThread() {
    tlsState = previous_;
    if (altStackSet_) {
        stack_t stack{};
        stack.ss_flags = SS_DISABLE;
        sigaltstack(&stack, nullptr);
    }
    std::free(altStack_);
}

WorkUnit::WorkUnit(const char* kind, uint64_t id, void (*abandon)(void*), void* target) : state_(tlsState) {
    if (state_ == nullptr)
        return;
    depth_ = state_->unitCount++;
    if (depth_ == 0)
        state_->unwinding = false;
    if (depth_ < recovery_detail::kMaxUnits)
        state_->units[depth_] = {kind, id, abandon, target};
    exceptions_ = std::uncaught_exceptions();
}

WorkUnit::~WorkUnit() {
    if (state_ == nullptr)
        return;
    if (std::uncaught_exceptions() > exceptions_ && depth_ < recovery_detail::kMaxUnits) {
        // An exception leaves this unit: it is abandoned. The first one it leaves is the innermost, which
        // the report names.
        const recovery_detail::Unit unit = state_->units[depth_];
        if (!state_->unwinding)
            describeUnit(unit, state_->unitText, sizeof state_->unitText);
        state_->unwinding = true;
        if (unit.abandon != nullptr)
            unit.abandon(unit.target);
    }
    state_->unitCount = depth_;
}

GuardedLock::GuardedLock(std::mutex& mutex) : lock_(mutex), state_(tlsState) {
    if (state_ == nullptr)
        return;
    const int slot = state_->heldCount++;
    if (slot < recovery_detail::kMaxHeld) {
        state_->held[slot] = {&mutex, true};
        slot_ = slot;
    }
}

GuardedLock::~GuardedLock() {
    if (state_ == nullptr)
        return;
    setOwned(false);
    // Locks nest: this one is the innermost still tracked.
    if (state_->heldCount > 0)
        --state_->heldCount;
}

void GuardedLock::lock() {
    lock_.lock();
    setOwned(true);
}

void GuardedLock::unlock() {
    setOwned(false);
    lock_.unlock();
}

void GuardedLock::setOwned(bool owned) {
    if (state_ != nullptr && slot_ >= 0)
        state_->held[slot_].owned = owned;
}

}  // namespace kestrum
