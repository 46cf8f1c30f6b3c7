// The program with its desktop window: start-up from the window's first show, shutdown when the window is
// closed with OK or the process gets SIGINT or SIGTERM.
#pragma once

#include <string>

namespace kestrum {

// True when the desktop could open a display and ran the program to its end; `exitStatus` is then the
// process's exit status. False, after saying so on standard error, when no display can be opened: the
// caller runs headless instead.
bool runDesktop(int& argc, char** argv, const std::string& runDir, int& exitStatus);

// Whether the windowing system Qt will use can be reached: an X display when the platform is xcb (the
// default), or the platform named in QT_QPA_PLATFORM otherwise.
bool displayAvailable();

}  // namespace kestrum
