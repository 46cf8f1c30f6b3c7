#include "app/command_line.h"

#include <cstdio>
#include <filesystem>
#include <string_view>

#include "app/config_check.h"
#include "app/key_commands.h"

namespace kestrum {
namespace {

std::string executableDir() {
    std::error_code ec;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return std::filesystem::current_path(ec).string();
    return self.parent_path().string();
}

// The binary runs from where the package installs it.
bool runsInstalled() {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return !ec && self == std::filesystem::path(KESTRUM_INSTALLED_BINARY);
}

}  // namespace

CommandLine parseCommandLine(int argc, char** argv) {
    CommandLine command;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--headless") {
            command.headless = true;
        } else if (arg == "--dir") {
            if (i + 1 >= argc) {
                command.action = CommandLine::Action::Wrong;
                command.error = "--dir needs a folder";
                return command;
            }
            command.runDir = argv[++i];
        } else if (arg == "--check" && command.action == CommandLine::Action::Run) {
            command.action = CommandLine::Action::Check;
        } else if (arg == "--new-key" && command.action == CommandLine::Action::Run) {
            if (i + 1 >= argc) {
                command.action = CommandLine::Action::Wrong;
                command.error = "--new-key needs the caller's name";
                return command;
            }
            command.action = CommandLine::Action::NewKey;
            command.callerName = argv[++i];
        } else if (arg == "--hash-key" && command.action == CommandLine::Action::Run) {
            command.action = CommandLine::Action::HashKey;
        } else if (arg == "--version" || arg == "-V") {
            command.action = CommandLine::Action::Version;
            return command;
        } else if (arg == "--help" || arg == "-h") {
            command.action = CommandLine::Action::Help;
            return command;
        } else {
            command.action = CommandLine::Action::Wrong;
            command.error = "unknown option " + std::string(arg);
            return command;
        }
    }
    if (command.runDir.empty()) {
        // An installed kestrum keeps its configuration in /etc/kestrum; --check looks there.
        command.runDir = command.action == CommandLine::Action::Check && runsInstalled()
                             ? std::string(KESTRUM_INSTALLED_CONF_DIR)
                             : executableDir();
    }
    std::error_code ec;
    command.runDir = std::filesystem::absolute(command.runDir, ec).lexically_normal().string();
    while (command.runDir.size() > 1 && command.runDir.back() == '/')
        command.runDir.pop_back();
    return command;
}

std::string versionText() {
    return "kestrum " KESTRUM_VERSION;
}

std::string usageText() {
    // The installed README when this binary is the installed one; a source tree's only while it exists.
    std::error_code ec;
    const std::string readme = !runsInstalled() && std::filesystem::exists(KESTRUM_README, ec)
                                   ? std::string(KESTRUM_README)
                                   : std::string(KESTRUM_INSTALLED_README);
    return "usage: kestrum [--headless] [--dir RUNDIR]\n"
           "       kestrum --check [--dir RUNDIR]\n"
           "       kestrum --new-key NAME | --hash-key\n"
           "       kestrum --version | --help\n"
           "\n"
           "  --dir RUNDIR  the run directory: config.ini, mod/, ssl-cert/, log/ (default: the executable's "
           "folder;\n"
           "                for --check of an installed kestrum: " KESTRUM_INSTALLED_CONF_DIR
           ")\n"
           "  --headless    no window: status texts go to standard output; SIGTERM or SIGINT shuts down "
           "(after\n"
           "                drain_seconds), SIGHUP reloads the TLS files and the task files\n"
           "  --check       read every configuration, task and TLS file as a start would and list the "
           "problems;\n"
           "                starts nothing and writes no log; exit status 0 when there is none, 1 otherwise\n"
           "  --new-key NAME  print a fresh random key for the caller NAME and the callers.ini section that\n"
           "                names it (its key_sha256); kestrum keeps only the hash\n"
           "  --hash-key    read a key on standard input and print its key_sha256\n"
           "  --version     print the version\n"
           "  --help        print this text\n"
           "\n"
           "Start-up problems are explained on standard error. Documentation: " +
           readme + "\n";
}

int runCommand(const CommandLine& command) {
    switch (command.action) {
        case CommandLine::Action::Check:
            return runConfigCheck(command.runDir);
        case CommandLine::Action::NewKey:
            return runNewKey(command.callerName, stdout, stderr);
        case CommandLine::Action::HashKey:
            return runHashKey(stdin, stdout, stderr);
        case CommandLine::Action::Version:
            std::printf("%s\n", versionText().c_str());
            return 0;
        case CommandLine::Action::Help:
            std::fputs(usageText().c_str(), stdout);
            return 0;
        case CommandLine::Action::Wrong:
            std::fprintf(stderr, "kestrum: %s\n%s", command.error.c_str(), usageText().c_str());
            return 2;
        case CommandLine::Action::Run:
            break;
    }
    return 0;
}

}  // namespace kestrum
