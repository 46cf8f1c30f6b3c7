// kestrum [--headless] [--dir RUNDIR] | --check [--dir RUNDIR] | --version | --help (app/command_line.h)
//
// Without --headless the desktop window opens (when it is built in and a display can be opened); its first
// show starts the start-up, and closing it with OK, SIGINT or SIGTERM runs the shutdown. Headless: the
// start-up runs at once on its own thread and status texts go to standard output. SIGTERM or SIGINT begins
// the shutdown: readiness turns "not ready" at once, the listeners keep serving for drain_seconds (a second
// SIGTERM or SIGINT cuts the wait short), then the shutdown routine runs and the process exits with status 0.
// When no configured listener could start, the process ends with status 1 after its shutdown. SIGHUP (both
// front ends) reloads what can change while running (Application::reload).
#include <malloc.h>
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>

#include "app/application.h"
#include "app/command_line.h"
#include "app/status_view.h"
#include "log/log_writer.h"
#ifdef KESTRUM_WITH_UI
#include "ui/desktop.h"
#endif

int main(int argc, char** argv) {
    kestrum::CommandLine command = kestrum::parseCommandLine(argc, argv);
    if (command.action != kestrum::CommandLine::Action::Run)
        return kestrum::runCommand(command);
    const std::string& runDir = command.runDir;
    const bool headless = command.headless;

#ifdef __GLIBC__
    // Blocks of 1 MiB and more (large answers, their JSON text) are mapped on their own and go back to the
    // system when freed. Left to itself glibc raises this threshold after the first such block is freed, and
    // later large answers then stay in the heap as the process's peak size.
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
#endif

    if (!headless) {
#ifdef KESTRUM_WITH_UI
        int status = 0;
        if (kestrum::runDesktop(argc, argv, runDir, status))
            return status;
#else
        std::fprintf(stderr, "kestrum: the desktop window is not built in; running headless\n");
#endif
    }

    // Every thread inherits this mask, so the signals reach only the waits below (SIGHUP: the application's
    // reload thread). SIGUSR1 tells that the start-up could not prepare the servers, SIGUSR2 that it ended
    // with no listener running although one was configured.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    sigaddset(&signals, SIGUSR2);
    sigset_t blocked = signals;
    sigaddset(&blocked, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);

    kestrum::ConsoleStatus console;
    kestrum::Application app(runDir, console);
    std::thread startup([&app] {
        if (!app.startup())
            kill(getpid(), SIGUSR1);
        else if (app.servingNothing())
            kill(getpid(), SIGUSR2);
    });

    int received = 0;
    while (sigwait(&signals, &received) != 0) {
    }
    if (received == SIGUSR1) {
        // The design ends the process at once when the TLS contexts cannot be set up (the log is closed).
        std::fflush(stdout);
        _exit(1);
    }
    int status = 0;
    if (received == SIGUSR2) {
        // Nothing serves: a service manager learns it from the exit status instead of a process that idles.
        kestrum::logLine("server/error", "no listener could start, kestrum ends.");
        std::fprintf(stderr, "kestrum: no listener could start; ending with status 1\n");
        status = 1;
    } else {
        app.beginDrain();
        const int drain = app.drainSeconds();
        if (drain > 0) {
            // Keep serving while load balancers take note; a second SIGTERM or SIGINT ends the wait.
            sigset_t stop;
            sigemptyset(&stop);
            sigaddset(&stop, SIGINT);
            sigaddset(&stop, SIGTERM);
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(drain);
            for (auto now = std::chrono::steady_clock::now(); now < end;
                 now = std::chrono::steady_clock::now()) {
                const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(end - now).count();
                const timespec wait{static_cast<time_t>(left / 1000000000),
                                    static_cast<long>(left % 1000000000)};
                const int got = sigtimedwait(&stop, nullptr, &wait);
                if (got == SIGINT || got == SIGTERM)
                    break;
            }
        }
    }
    app.requestStop();
    startup.join();
    app.shutdown();
    return status;
}
