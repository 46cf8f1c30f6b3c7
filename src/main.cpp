// kestrum [--headless] [--dir RUNDIR] | --check [--dir RUNDIR] | --version | --help (app/command_line.h)
//
// Without --headless the desktop window opens (when it is built in and a display can be opened); its first
// show starts the start-up, and closing it with OK, SIGINT or SIGTERM runs the shutdown. Headless: the
// start-up runs at once on its own thread, status texts go to standard output, and SIGINT or SIGTERM runs the
// shutdown routine before the process exits with status 0.
#include <malloc.h>
#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

#include "app/application.h"
#include "app/command_line.h"
#include "app/status_view.h"
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

    // Every thread inherits this mask, so the signals reach only the sigwait below. SIGUSR1 tells that the
    // start-up could not prepare the servers.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    kestrum::ConsoleStatus console;
    kestrum::Application app(runDir, console);
    std::thread startup([&app] {
        if (!app.startup())
            kill(getpid(), SIGUSR1);
    });

    int received = 0;
    while (sigwait(&signals, &received) != 0) {
    }
    if (received == SIGUSR1) {
        // The design ends the process at once when the TLS contexts cannot be set up.
        std::fflush(stdout);
        _exit(1);
    }
    app.requestStop();
    startup.join();
    app.shutdown();
    return 0;
}
