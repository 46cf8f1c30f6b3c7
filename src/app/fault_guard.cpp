#include "app/fault_guard.h"

#include <atomic>
#include <csignal>
#include <string>

#include "log/log_writer.h"
#include "util/encoding.h"
#include "util/recovery_point.h"
#include "util/text.h"

namespace kestrum {
namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr int kFaultSignalCount = sizeof kFaultSignals / sizeof kFaultSignals[0];

struct sigaction g_previousPipe;
struct sigaction g_previousFault[kFaultSignalCount];
bool g_installed = false;
std::atomic<uint64_t> g_recovered{0};

const char* signalName(int signal) {
    switch (signal) {
        case SIGSEGV:
            return "SIGSEGV";
        case SIGBUS:
            return "SIGBUS";
        case SIGFPE:
            return "SIGFPE";
        case SIGILL:
            return "SIGILL";
        default:
            return "signal";
    }
}

// Runs on the faulting thread, on its alternate stack. Either jumps back into the thread's recovery point or
// ends the process with the default action.
void onFault(int signal, siginfo_t*, void*) {
    recoverFromFault(signal);
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    raise(signal);
}

void reportFault(const FaultRecord& record) {
    g_recovered.fetch_add(1, std::memory_order_relaxed);
    std::string content;
    if (record.signal != 0) {
        content = std::string("fault") + kFullWidthColon + "signal(" + signalName(record.signal) + ")";
    } else {
        content = std::string("exception") + kFullWidthColon + "what(" + utf8ToGbk(record.what) + ")";
    }
    content += std::string(",thread(") + record.thread + "),unit(" + record.unit + ").";
    logLine("sys/fault", content);
    // The lines up to this report are in the file before the thread goes on, whatever comes next.
    flushProcessLog();
}

}  // namespace

void installFaultGuard() {
    if (g_installed)
        return;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &g_previousPipe);
    // SA_NODEFER: the signal stays unblocked, so the recovery point is set without saving the mask (no
    // sigprocmask per unit of work); a recovery puts the thread's mask back once. SA_ONSTACK: a stack
    // overflow still finds a stack for the handler.
    struct sigaction fault {};
    fault.sa_sigaction = onFault;
    fault.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&fault.sa_mask);
    for (int i = 0; i < kFaultSignalCount; ++i)
        sigaction(kFaultSignals[i], &fault, &g_previousFault[i]);
    setFaultReporter(reportFault);
    g_installed = true;
}

void removeFaultGuard() {
    if (!g_installed)
        return;
    for (int i = 0; i < kFaultSignalCount; ++i)
        sigaction(kFaultSignals[i], &g_previousFault[i], nullptr);
    sigaction(SIGPIPE, &g_previousPipe, nullptr);
    g_installed = false;
}

uint64_t recoveredFaults() {
    return g_recovered.load(std::memory_order_relaxed);
}

}  // namespace kestrum
