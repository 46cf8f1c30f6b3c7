// runTaskFile: the routine of tasks defined by a task file. [info] is read afresh at every run, so edits take
// effect at the next due moment. Failures of the action (network, program start, SQL) are not reported.
#include <sys/stat.h>

#include "log/log_writer.h"
#include "scheduler/http_client.h"
#include "scheduler/program_launcher.h"
#include "scheduler/registry_state.h"
#include "util/encoding.h"
#include "util/ini.h"
#include "util/text.h"

namespace kestrum {

int RegistryState::runTaskFile(const std::string& name, const std::string& timestamp, int64_t /*handle*/) {
    logLine("crontab", std::string("do") + kFullWidthColon + "name(" + name + "),time(" + timestamp + ").");

    const std::string path = taskFilePath(name);
    struct stat st {};
    if (name.find('/') != std::string::npos || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    IniFile ini = IniFile::load(path);
    if (ini.get("info", "on") == "0")
        return 0;

    const std::string type = ini.get("info", "type");
    if (type == "http") {
        const std::string method = asciiLower(ini.get("info", "method"));
        HttpRequestOptions options;
        options.url = gbkToUtf8(ini.get("info", "url"));
        options.abort = &abortTransfers;
        if (method == "post") {
            options.method = kHttpPost;
            options.bodyBytes = gbkToUtf8Bytes(ini.get("info", "data"));
            httpRequest(options);
        } else if (method == "get") {
            httpRequest(options);
        }
    } else if (type == "run") {
        startProgram(gbkToUtf8(ini.get("info", "path")), gbkToUtf8(ini.get("info", "params")));
    } else if (type == "sql") {
        SqlRunner runner;
        {
            std::lock_guard lock(hooksLock_);
            runner = sqlRunner_;
        }
        // The connection speaks UTF-8; the statement is converted like the ones the MySQL endpoint receives.
        if (runner)
            runner(gbkToUtf8(ini.get("info", "sql")));
    }
    return 0;
}

}  // namespace kestrum
