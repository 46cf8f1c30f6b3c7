// Faults and exceptions thrown into code under test, and a fault handler that hands SIGSEGV to the thread's
// recovery point the way the application's fault guard does (for test executables that do not link the app).
#pragma once

#include <signal.h>

#include <csignal>
#include <stdexcept>
#include <string>

#include "util/recovery_point.h"

namespace kestrum::testing {

// While it exists, a SIGSEGV on a thread with a recovery point is recovered; anywhere else it ends the
// process as usual.
class ScopedFaultRecovery {
  public:
    ScopedFaultRecovery() {
        struct sigaction action {};
        action.sa_sigaction = &ScopedFaultRecovery::onFault;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, &previous_);
    }
    ~ScopedFaultRecovery() { sigaction(SIGSEGV, &previous_, nullptr); }
    ScopedFaultRecovery(const ScopedFaultRecovery&) = delete;
    ScopedFaultRecovery& operator=(const ScopedFaultRecovery&) = delete;

  private:
    static void onFault(int signal, siginfo_t*, void*) {
        if (recoverFromFault(signal))
            return;
        ::signal(signal, SIG_DFL);
        ::raise(signal);
    }
    struct sigaction previous_ {};
};

// "throw" throws, "segv" raises SIGSEGV on the calling thread; anything else does nothing.
inline void injectFault(const std::string& kind) {
    if (kind == "throw")
        throw std::runtime_error("injected");
    if (kind == "segv")
        ::raise(SIGSEGV);
}

}  // namespace kestrum::testing
