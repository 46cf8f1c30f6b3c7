// Test support: temporary run directories and the real kestrum binary as a child process.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

namespace kestrum::testing {

using namespace std::chrono_literals;

// A fresh directory under /tmp, removed with everything in it when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // Writes `content` to path()/relative, creating missing folders.
    void write(const std::string& relative, const std::string& content) const;
    std::string read(const std::string& relative) const;

  private:
    std::string path_;
};

// A run directory for kestrum: config.ini, mod/*/config.ini, ssl-cert/.
class RunDir : public TempDir {
  public:
    // Copies the test certificates (generated once per build tree by scripts/gen-certs.sh) into ssl-cert/.
    void installCertificates() const;
    // Writes mod/mysql, mod/redis and mod/crontab config.ini with "[sys] on=0"; a test that wants a module
    // writes its file afterwards.
    void switchModulesOff() const;
    // The run's log files (names on disk), oldest first.
    std::vector<std::string> logFiles() const;
    // Content of the only (or newest) log file; empty when there is none.
    std::string logText() const;
};

// The home of a server fixture: `wanted` (created when missing, made absolute) when given, otherwise a fresh
// /tmp/<prefix>-XXXXXX that the fixture owns and removes. False with `error` set when neither can be had.
bool prepareServerDirectory(const std::string& wanted, const std::string& prefix, std::string& directory,
                            bool& owned, std::string& error);

// A loopback TCP port that was free a moment ago.
int freePort();

class KestrumProcess {
  public:
    KestrumProcess() = default;
    ~KestrumProcess();  // kills a child that still runs
    KestrumProcess(const KestrumProcess&) = delete;
    KestrumProcess& operator=(const KestrumProcess&) = delete;

    // Starts `kestrum --headless --dir runDir` with standard output (runDir/stdout.txt) and standard error
    // (runDir/stderr.txt) captured; `workDir` defaults to runDir.
    bool start(const std::string& runDir, const std::string& workDir = {});
    // The child gets `name`=`value` in its environment (in place of the test's own value); before start().
    void setEnvironment(const std::string& name, const std::string& value);
    // Waits until standard output holds `text`.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout = 10s) const;
    // Waits until the run's log holds `text`.
    bool waitForLog(const RunDir& dir, const std::string& text,
                    std::chrono::milliseconds timeout = 10s) const;
    std::string output() const;
    std::string errorOutput() const;
    // Waits until standard error holds `text`.
    bool waitForErrorOutput(const std::string& text, std::chrono::milliseconds timeout = 10s) const;
    // Sends `signal` and waits for the exit; returns the exit status (128 + n for a signal, -1 on time-out).
    int stop(int signal = SIGTERM, std::chrono::milliseconds timeout = 15s);
    // Waits for the child to end by itself.
    int waitExit(std::chrono::milliseconds timeout = 15s);
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    std::vector<std::string> environment_;  // "NAME=value" set for the child
    std::string outputPath_;
    std::string errorPath_;
};

// One run of the binary to its end (for --check, --version ...): exit status (-1 when it had to be killed
// after `timeout`) and both outputs.
struct CommandResult {
    int status = -1;
    std::string out;
    std::string err;
};
CommandResult runKestrum(const std::vector<std::string>& args, const std::string& workDir = {},
                         std::chrono::milliseconds timeout = 20s);

// Reads a whole file; empty when missing.
std::string readFile(const std::string& path);
// Internal text (GB18030) of a UTF-8 literal, for comparing with log content.
std::string gb(const std::string& utf8);

}  // namespace kestrum::testing
