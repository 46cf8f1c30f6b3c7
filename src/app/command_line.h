// The command line of kestrum:
//
//   kestrum [--headless] [--dir RUNDIR]    run (with the window, or headless)
//   kestrum --check [--dir RUNDIR]         check the configuration, start nothing
//   kestrum --new-key NAME                 a fresh caller key and its callers.ini section
//   kestrum --hash-key                     the key_sha256 of a key read from standard input
//   kestrum --version | --help
#pragma once

#include <string>

namespace kestrum {

struct CommandLine {
    enum class Action { Run, Check, NewKey, HashKey, Version, Help, Wrong };
    Action action = Action::Run;
    bool headless = false;
    std::string runDir;  // absolute, without a trailing '/'; the executable's folder when --dir is not given
    std::string callerName;  // for NewKey
    std::string error;       // for Wrong: what is wrong with the arguments
};

CommandLine parseCommandLine(int argc, char** argv);

// Carries out every action but Run (help, version, check, the key commands, wrong arguments) and returns the
// exit status.
int runCommand(const CommandLine& command);

std::string versionText();  // "kestrum 1.0.0"
std::string usageText();

}  // namespace kestrum
