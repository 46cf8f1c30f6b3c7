#include "app/fault_guard.h"

#include <csignal>

namespace kestrum {
namespace {

struct sigaction g_previousPipe;
bool g_installed = false;

}  // namespace

// A peer that closes its socket while we write must not end the process: SIGPIPE is ignored while the guard
// is in place (writes then fail with EPIPE, which every writer handles).
void installFaultGuard() {
    if (g_installed)
        return;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (sigaction(SIGPIPE, &ignore, &g_previousPipe) == 0)
        g_installed = true;
}

void removeFaultGuard() {
    if (!g_installed)
        return;
    sigaction(SIGPIPE, &g_previousPipe, nullptr);
    g_installed = false;
}

}  // namespace kestrum
