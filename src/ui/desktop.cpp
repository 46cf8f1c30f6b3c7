#include "ui/desktop.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/application.h"
#include "ui/artwork.h"
#include "ui/main_window.h"
#include "ui/window_status.h"

namespace kestrum {
namespace {

// Asks libxcb (loaded only for the question) whether the X display can be opened. Qt itself would abort the
// process when it cannot.
bool xDisplayReachable() {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0')
        return false;
    void* library = dlopen("libxcb.so.1", RTLD_LAZY | RTLD_LOCAL);
    if (library == nullptr)
        return false;
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    auto connect = reinterpret_cast<Connect>(dlsym(library, "xcb_connect"));
    auto hasError = reinterpret_cast<HasError>(dlsym(library, "xcb_connection_has_error"));
    auto disconnect = reinterpret_cast<Disconnect>(dlsym(library, "xcb_disconnect"));
    bool reachable = false;
    if (connect != nullptr && hasError != nullptr && disconnect != nullptr) {
        int screen = 0;
        void* connection = connect(nullptr, &screen);
        reachable = connection != nullptr && hasError(connection) == 0;
        if (connection != nullptr)
            disconnect(connection);
    }
    dlclose(library);
    return reachable;
}

}  // namespace

bool displayAvailable() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform != nullptr && *platform != '\0' && std::strncmp(platform, "xcb", 3) != 0)
        return true;  // offscreen, vnc, wayland ...: Qt's own business
    return xDisplayReachable();
}

bool runDesktop(int& argc, char** argv, const std::string& runDir, int& exitStatus) {
    if (!displayAvailable()) {
        std::fprintf(stderr, "kestrum: no display could be opened; running headless\n");
        return false;
    }

    // Blocked in every thread (all of them start after this); the GUI thread reads SIGINT and SIGTERM from a
    // signalfd.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    const int signalFd = signalfd(-1, &blocked, SFD_CLOEXEC | SFD_NONBLOCK);
    // SIGHUP goes to the application's reload thread.
    sigaddset(&blocked, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);

    QApplication qt(argc, argv);
    QApplication::setApplicationName("kestrum");
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(programIcon());

    WindowStatus status;
    Application app(runDir, status);
    MainWindow::Options options;
    options.startupFailed = [] {
        // The servers could not be prepared (TLS): the program ends at once, as it does headless.
        std::fflush(stdout);
        _exit(1);
    };
    MainWindow window(app, status, options);
    QObject::connect(&window, &MainWindow::finished, &qt, &QCoreApplication::quit, Qt::QueuedConnection);

    QSocketNotifier* notifier = nullptr;
    if (signalFd >= 0) {
        notifier = new QSocketNotifier(signalFd, QSocketNotifier::Read, &window);
        QObject::connect(notifier, &QSocketNotifier::activated, &window, [signalFd, &window] {
            signalfd_siginfo info;
            while (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            }
            window.shutDownNow();
        });
    }

    window.show();
    exitStatus = qt.exec();
    delete notifier;
    if (signalFd >= 0)
        close(signalFd);
    return true;
}

}  // namespace kestrum
