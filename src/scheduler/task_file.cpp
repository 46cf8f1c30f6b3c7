// runTaskFile: the routine of tasks defined by a task file. [info] is read afresh at every run, so edits take
// effect at the next due moment. Every run ends in one "done：" line with its outcome: the answer's status of
// an "http" task, the end of a "run" task's program (exit status or signal, duration and the first bytes of
// its output), the success or error of a "sql" task, or why nothing was run.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <memory>

#include "log/log_writer.h"
#include "scheduler/http_client.h"
#include "scheduler/program_launcher.h"
#include "scheduler/registry_state.h"
#include "util/encoding.h"
#include "util/ini.h"
#include "util/text.h"

namespace kestrum {
namespace {

using SteadyClock = std::chrono::steady_clock;

// The output of a program kept for its log line; the rest is read and discarded.
constexpr size_t kKeptOutput = 4096;

double secondsSince(SteadyClock::time_point start) {
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// "done：name(N),DETAIL,seconds(S)[,output(...)]." and the event for the metrics.
void reportRun(const TaskEvents& events, const std::string& name, RunResult result, const std::string& detail,
               double seconds, const std::string& output = {}) {
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.3f", seconds);
    std::string line =
        std::string("done") + kFullWidthColon + "name(" + name + ")," + detail + ",seconds(" + duration + ")";
    if (!output.empty())
        line += ",output(" + output + ")";
    logLine("crontab", line + ".");
    if (events.runFinished)
        events.runFinished(name, result, seconds);
}

// What a program wrote, as log content: its text in the internal encoding (the log escapes control
// characters), and how much more it wrote.
std::string outputText(const ProgramEnd& end) {
    std::string text = utf8ToGbk(end.output);
    if (end.outputDropped > 0)
        text += "...(" + std::to_string(end.outputDropped) + " more bytes)";
    return text;
}

}  // namespace

int RegistryState::runTaskFile(const std::string& name, const std::string& timestamp, int64_t /*handle*/) {
    logLine("crontab", std::string("do") + kFullWidthColon + "name(" + name + "),time(" + timestamp + ").");
    const auto started = SteadyClock::now();
    const TaskEvents hooks = events();
    auto finish = [&](RunResult result, const std::string& detail) {
        reportRun(hooks, name, result, detail, secondsSince(started));
        return 0;
    };

    const std::string path = taskFilePath(name);
    struct stat st {};
    if (name.find('/') != std::string::npos || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return finish(RunResult::Idle, "nothing run(no task file)");
    IniFile ini = IniFile::load(path);
    if (ini.get("info", "on") == "0")
        return finish(RunResult::Idle, "nothing run(switched off)");

    const std::string type = ini.get("info", "type");
    if (type == "http") {
        const std::string method = asciiLower(ini.get("info", "method"));
        if (method != "post" && method != "get")
            return finish(RunResult::Idle, "nothing run(method " + ini.get("info", "method") + ")");
        HttpRequestOptions options;
        options.url = gbkToUtf8(ini.get("info", "url"));
        options.abort = &abortTransfers;
        if (method == "post") {
            options.method = kHttpPost;
            options.bodyBytes = gbkToUtf8Bytes(ini.get("info", "data"));
        }
        httpRequest(options);
        if (options.statusCode == 0)
            return finish(RunResult::Failure, "http failed(" + utf8ToGbk(options.failure) + ")");
        const bool ok = options.statusCode >= 200 && options.statusCode < 400;
        return finish(ok ? RunResult::Success : RunResult::Failure,
                      "http(" + std::to_string(options.statusCode) + ")");
    }
    if (type == "run") {
        ProgramChild child;
        std::string error;
        if (!launchProgram(gbkToUtf8(ini.get("info", "path")), gbkToUtf8(ini.get("info", "params")), child,
                           error))
            return finish(RunResult::Failure, "not started(" + utf8ToGbk(error) + ")");
        // The program is watched on a thread of its own: the task goes on with its next moments meanwhile,
        // and its run lasts until the program ends.
        runs_.begin(name);
        const int pid = child.pid();
        auto watched = std::make_shared<ProgramChild>(std::move(child));
        auto watch = [this, hooks, name, started, watched, pid](const std::atomic<bool>& stop) {
            const ProgramEnd end = watchProgram(*watched, kKeptOutput, &stop);
            const double seconds = secondsSince(started);
            if (end.how == ProgramEnd::How::StillRunning) {
                logLine("crontab", std::string("left running") + kFullWidthColon + "name(" + name + "),pid(" +
                                       std::to_string(pid) + ").");
            } else if (end.how == ProgramEnd::How::Signalled) {
                reportRun(hooks, name, RunResult::Failure, "signal(" + std::to_string(end.code) + ")",
                          seconds, outputText(end));
            } else {
                reportRun(hooks, name, end.code == 0 ? RunResult::Success : RunResult::Failure,
                          "exit(" + std::to_string(end.code) + ")", seconds, outputText(end));
            }
            runs_.end(name);
        };
        if (!runs_.watch(std::move(watch))) {
            // Shutting down: the program runs on unwatched.
            logLine("crontab", std::string("left running") + kFullWidthColon + "name(" + name + "),pid(" +
                                   std::to_string(pid) + ").");
            runs_.end(name);
        }
        return 0;
    }
    if (type == "sql") {
        SqlRunner runner;
        {
            std::lock_guard lock(hooksLock_);
            runner = sqlRunner_;
        }
        if (!runner)
            return finish(RunResult::Idle, "nothing run(mysql off)");
        // The connection speaks UTF-8; the statement is converted like the ones the MySQL endpoint receives.
        const SqlOutcome outcome = runner(gbkToUtf8(ini.get("info", "sql")), ini.get("info", "params"));
        switch (outcome.status) {
            case SqlOutcome::Status::Done:
                return finish(RunResult::Success, "sql ok");
            case SqlOutcome::Status::Failed:
                return finish(RunResult::Failure, "sql error(" + std::to_string(outcome.errorNumber) + "," +
                                                      utf8ToGbk(outcome.errorText) + ")");
            case SqlOutcome::Status::Busy:
                break;
        }
        return finish(RunResult::Failure, "sql busy(no free connection)");
    }
    return finish(RunResult::Idle, "nothing run(type " + type + ")");
}

}  // namespace kestrum
