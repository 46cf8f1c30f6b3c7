#include "app/config_check.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <string_view>

#include "app/startup_report.h"
#include "http/callers.h"
#include "http/tls_context.h"
#include "log/log_writer.h"
#include "redis/command_rules.h"
#include "scheduler/cron.h"
#include "scheduler/task_registry.h"
#include "util/address_range.h"
#include "util/encoding.h"
#include "util/ini.h"
#include "util/local_address.h"
#include "util/text.h"

namespace kestrum {
namespace {

// Which files a key table applies to: the main file, one module file, or every task file.
enum class FileKind { Main, Mysql, Redis, Crontab, Task };

// The keys the program reads, per file and section. A section listed with no keys takes any key (the Redis
// [dbsum] lines are database numbers); a section name ending in ".*" stands for every name with that prefix
// and something after it. Extend this table when a key is added anywhere.
struct KnownSection {
    FileKind kind;
    std::string_view section;
    std::initializer_list<std::string_view> keys;
};
const KnownSection kKnownKeys[] = {
    {FileKind::Main, "sys", {"onDebug",         "api_heart_url",   "port_http",      "port_https",
                             "whitelist",       "local_ip",        "ip_lookup_url",  "worker_threads",
                             "network_threads", "max_body",        "idle_timeout",   "header_timeout",
                             "body_timeout",    "max_connections", "metrics_path",   "log_charset",
                             "instance_name",   "ready_path",      "drain_seconds",  "log_max_mb",
                             "log_keep",        "trusted_proxies", "proxy_protocol", "request_timeout"}},
    {FileKind::Mysql,
     "sys",
     {"on", "connectSum", "adress", "user", "password", "database", "api_url", "connect_timeout", "port",
      "max_answer", "statement_timeout", "statement_cache", "max_batch"}},
    // The pools of callers' own MySQL accounts ([account.NAME]).
    {FileKind::Mysql,
     "account.*",
     {"connectSum", "adress", "user", "password", "database", "connect_timeout", "port", "max_answer",
      "statement_timeout", "statement_cache", "max_batch"}},
    {FileKind::Redis, "sys", {"on", "ip", "port", "password", "isUnicode", "api_url", "max_answer"}},
    {FileKind::Redis, "order", {"deny"}},
    {FileKind::Redis, "dbsum", {}},
    {FileKind::Crontab, "sys", {"on", "api_url", "lease_db", "lease_prefix", "lease_fallback"}},
    {FileKind::Task, "sys", {"time", "maxdo", "times_maxdo"}},
    {FileKind::Task, "info", {"on", "type", "method", "url", "data", "path", "params", "sql", "overlap"}},
};

bool sectionMatches(std::string_view pattern, std::string_view name) {
    if (pattern.size() < 2 || pattern.substr(pattern.size() - 2) != ".*")
        return equalsIgnoreCase(pattern, name);
    const std::string_view prefix = pattern.substr(0, pattern.size() - 1);
    return name.size() > prefix.size() && equalsIgnoreCase(prefix, name.substr(0, prefix.size()));
}

bool isDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool isIpv4(const std::string& text) {
    in_addr address{};
    return ::inet_pton(AF_INET, text.c_str(), &address) == 1;
}

class Checker {
  public:
    explicit Checker(std::string runDir) : runDir_(std::move(runDir)) {}

    std::vector<ConfigProblem> run() {
        std::error_code ec;
        if (!std::filesystem::is_directory(runDir_, ec)) {
            add("", "", "", "", "the run directory " + runDir_ + " does not exist");
            return std::move(problems_);
        }
        checkMain();
        mysqlOn_ = checkModule("mod/mysql/config.ini", FileKind::Mysql);
        if (mysqlOn_)
            checkMysql();
        if (checkModule("mod/redis/config.ini", FileKind::Redis))
            checkRedis();
        if (checkModule("mod/crontab/config.ini", FileKind::Crontab)) {
            checkLease();
            checkTasks();
        }
        checkCallers();
        checkTls();
        return std::move(problems_);
    }

  private:
    void add(std::string file, std::string section, std::string key, const std::string& value,
             std::string what) {
        problems_.push_back(
            {std::move(file), std::move(section), std::move(key), gbkToUtf8(value), std::move(what)});
    }

    // Loads a file and reports sections, keys and lines that no read takes. `missing` is what a missing file
    // means; empty when a missing file is no problem.
    IniFile load(const std::string& file, FileKind kind, const std::string& missing) {
        IniFile ini = IniFile::load(runDir_ + "/" + file);
        if (!ini.exists()) {
            if (!missing.empty())
                add(file, "", "", "", "file missing: " + missing);
            return ini;
        }
        for (const IniFile::Section& section : ini.sections()) {
            const KnownSection* known = nullptr;
            for (const KnownSection& candidate : kKnownKeys) {
                if (candidate.kind == kind && sectionMatches(candidate.section, section.name))
                    known = &candidate;
            }
            const std::string name = gbkToUtf8(section.name);
            if (known == nullptr) {
                if (section.name.empty())
                    add(file, "", "", "", "lines before the first [section] header are ignored");
                else
                    add(file, name, "", "", "unknown section (ignored)");
                continue;
            }
            std::vector<std::string> seen;
            for (const IniFile::Entry& entry : section.entries) {
                if (entry.key.empty()) {
                    add(file, name, "", entry.value, "line without \"=\" (ignored)");
                    continue;
                }
                const std::string key = gbkToUtf8(entry.key);
                if (known->keys.size() != 0 &&
                    std::none_of(known->keys.begin(), known->keys.end(),
                                 [&](std::string_view k) { return equalsIgnoreCase(k, entry.key); })) {
                    add(file, name, key, entry.value, "unknown key (ignored)");
                    continue;
                }
                if (std::any_of(seen.begin(), seen.end(),
                                [&](const std::string& k) { return equalsIgnoreCase(k, key); }))
                    add(file, name, key, entry.value, "repeated key: only the first one counts");
                seen.push_back(key);
            }
        }
        return ini;
    }

    // A key that must be empty or a whole decimal number.
    void number(const std::string& file, const IniFile& ini, const char* key, const char* section = "sys") {
        std::string value = ini.get(section, key);
        if (!value.empty() && !isDigits(value))
            add(file, section, key, value, "is not a number");
    }

    void checkMain() {
        const std::string file = "config.ini";
        IniFile ini = load(file, FileKind::Main, "every setting takes its default, both listeners stay off");
        if (!ini.exists())
            return;
        std::string debug = ini.get("sys", "onDebug");
        if (!debug.empty() && debug != "0" && debug != "1")
            add(file, "sys", "onDebug", debug, "only 1 turns the debug lines on; this value leaves them off");
        std::string heart = ini.get("sys", "api_heart_url", "/api/this/heart");
        if (heart.empty() || heart.front() != '/')
            add(file, "sys", "api_heart_url", heart,
                "does not start with \"/\": no request reaches the heartbeat");
        httpsPort_ = ini.get("sys", "port_https");
        const std::string httpPort = ini.get("sys", "port_http");
        for (const char* key : {"port_http", "port_https"}) {
            std::string value = ini.get("sys", key);
            if (!value.empty() && readPortText(value) == 0)
                add(file, "sys", key, value, std::string(kPortRule));
        }
        if (!httpPort.empty() && readPortText(httpPort) != 0 && httpPort == httpsPort_)
            add(file, "sys", "port_https", httpsPort_,
                "the same port as port_http: the HTTPS listener cannot start");
        const std::string whitelist = ini.get("sys", "whitelist");
        if (whitelist.empty())
            add(file, "sys", "whitelist", "", "empty: no client is served");
        for (const char* key : {"whitelist", "trusted_proxies"}) {
            for (const AddressList::Bad& bad : parseAddressList(ini.get("sys", key)).bad) {
                // A range whose prefix part is wrong says what is wrong with it; anything else gets the rule.
                const size_t slash = bad.entry.find('/');
                const bool range = slash != std::string::npos && parseIpv4(bad.entry.substr(0, slash));
                add(file, "sys", key, bad.entry,
                    range ? bad.error + ": it admits nobody"
                          : "is neither an IPv4 address, a CIDR range (like 10.0.0.0/8) nor localhost: it "
                            "admits nobody");
            }
        }
        const std::string proxyProtocol = ini.get("sys", "proxy_protocol");
        if (proxyProtocol == "1" && ini.get("sys", "trusted_proxies").empty())
            add(file, "sys", "proxy_protocol", proxyProtocol,
                "without trusted_proxies every connection is closed");
        std::string localIp = ini.get("sys", "local_ip");
        localIp_ = localIp;
        if (!localIp.empty() && !isIpv4(localIp))
            add(file, "sys", "local_ip", localIp, "is not an IPv4 address");
        std::string charset = ini.get("sys", "log_charset");
        if (!charset.empty() && parseLogCharset(charset) != LogCharset::Utf8)
            add(file, "sys", "log_charset", charset,
                "only utf-8 is known; this value keeps the log in GB18030");
        for (const char* key : {"worker_threads", "network_threads", "max_body", "idle_timeout",
                                "header_timeout", "body_timeout", "request_timeout", "max_connections",
                                "drain_seconds", "log_max_mb", "log_keep"})
            number(file, ini, key);
        const std::string drain = ini.get("sys", "drain_seconds");
        if (isDigits(drain) && (drain.size() > 4 || std::stoi(drain) > 3600))
            add(file, "sys", "drain_seconds", drain, "is more than 3600: the drain lasts an hour");
        const std::string ready = ini.get("sys", "ready_path");
        if (!ready.empty() && ready.front() != '/')
            add(file, "sys", "ready_path", ready,
                "does not start with \"/\": no request reaches the readiness check");
        else if (!ready.empty() && (ready == heart || ready == ini.get("sys", "metrics_path")))
            add(file, "sys", "ready_path", ready,
                "is also the heartbeat or metrics path, which is answered instead");
    }

    // Reads a module file's switch; true when the module runs (and its other keys are read).
    bool checkModule(const std::string& file, FileKind kind) {
        IniFile ini = load(file, kind, "the module starts with its defaults");
        std::string on = ini.get("sys", "on", "1");
        if (on != "0" && on != "1")
            add(file, "sys", "on", on, "only 1 switches the module on; this value leaves it off");
        return on == "1";
    }

    void checkMysql() {
        const std::string file = "mod/mysql/config.ini";
        IniFile ini = IniFile::load(runDir_ + "/" + file);
        number(file, ini, "connectSum");
        number(file, ini, "connect_timeout");
        number(file, ini, "max_answer");
        number(file, ini, "statement_timeout");
        number(file, ini, "statement_cache");
        number(file, ini, "max_batch");
        std::string port = ini.get("sys", "port");
        if (!port.empty() && readPortText(port) == 0)
            add(file, "sys", "port", port, std::string(kPortRule));
    }

    void checkRedis() {
        const std::string file = "mod/redis/config.ini";
        IniFile ini = IniFile::load(runDir_ + "/" + file);
        std::string port = ini.get("sys", "port");
        if (!port.empty() && readPortText(port) == 0)
            add(file, "sys", "port", port, std::string(kPortRule));
        number(file, ini, "max_answer");
        const std::string deny = ini.get("order", "deny");
        const CommandDenyList denyList(deny);
        for (const std::string& entry : denyList.invalid())
            add(file, "order", "deny", deny,
                "\"" + gbkToUtf8(entry) + "\" is neither a command name nor name|subcommand (ignored)");
        const IniFile::Section* dbsum = ini.section("dbsum");
        bool named = false;
        std::vector<std::string> databases;
        if (dbsum != nullptr) {
            for (const IniFile::Entry& line : dbsum->entries) {
                if (line.key.empty())
                    continue;  // reported as a line without "="
                named = true;
                if (!isDigits(line.key)) {
                    add(file, "dbsum", gbkToUtf8(line.key), line.value,
                        "the database number is not a number");
                } else if (std::find(databases.begin(), databases.end(), line.key) != databases.end()) {
                    add(file, "dbsum", line.key, line.value,
                        "database listed twice: only the first line serves requests");
                }
                databases.push_back(line.key);
                if (!isDigits(line.value))
                    add(file, "dbsum", gbkToUtf8(line.key), line.value,
                        "the connection count is not a number");
                else if (std::all_of(line.value.begin(), line.value.end(), [](char c) { return c == '0'; }))
                    add(file, "dbsum", line.key, line.value, "opens no connection: requests for it fail");
            }
        }
        if (!named)
            add(file, "dbsum", "", "", "names no database: every Redis request fails");
    }

    void checkLease() {
        const std::string file = "mod/crontab/config.ini";
        IniFile ini = IniFile::load(runDir_ + "/" + file);
        std::string db = ini.get("sys", "lease_db");
        if (!db.empty() && !isDigits(db))
            add(file, "sys", "lease_db", db, "is not a database number: tasks run without a lease");
    }

    void checkTasks() {
        // The registry the start fills, with the scheduler's own rules; nothing is started or logged.
        TaskRegistry registry(runDir_);
        for (const std::string& path : listFiles(runDir_ + "/mod/crontab/tasks", "*.ini")) {
            std::string fileName = std::filesystem::path(path).filename().string();
            const std::string file = "mod/crontab/tasks/" + fileName;
            const std::string name = utf8ToGbk(fileName.substr(0, fileName.rfind('.')));
            IniFile ini = load(file, FileKind::Task, "");
            checkTaskTime(file, name, ini, registry);
            checkTaskAction(file, ini);
        }
    }

    void checkTaskTime(const std::string& file, const std::string& name, const IniFile& ini,
                       TaskRegistry& registry) {
        std::string time = ini.get("sys", "time");
        if (time.empty()) {
            add(file, "sys", "time", "", "empty or missing: the task is not registered");
            return;
        }
        if (trimText(time).find("  ") != std::string::npos)
            add(file, "sys", "time", time,
                "two blanks in a row: every blank separates a field, so the fields shift");
        auto noop = [](const std::string&, const std::string&, int64_t) { return 0; };
        const bool outside = fieldsOutOfRange(file, time);
        if (!registry.registerTask(time, name, noop) && !outside) {
            std::vector<std::string> moments;
            CronFields fields;
            nextRunTimes(trimText(time) + " " + trimText(name), 1, moments, fields);
            add(file, "sys", "time", time,
                fields.name.empty()
                    ? "has fewer than six fields: the task is not registered"
                    : "never fires (no moment within four years): the task is not registered");
        }
        if (!ini.get("sys", "maxdo").empty()) {
            std::string limit = ini.get("sys", "times_maxdo");
            if (!isDigits(limit))
                add(file, "sys", "times_maxdo", limit, "is not a number: the task runs without limit");
        }
    }

    // One problem per field with a value outside the field's range ("second 61 is outside 0-59"); true when
    // there was one.
    bool fieldsOutOfRange(const std::string& file, const std::string& time) {
        std::vector<std::string> moments;
        CronFields fields;
        nextRunTimes(trimText(time) + " x", 1, moments, fields);
        if (fields.name.empty())
            return false;  // fewer than six fields: said on its own
        struct Field {
            const char* name;
            const std::string* text;
            int lowest;
            int highest;
        };
        const Field table[] = {
            {"second", &fields.second, 0, 59}, {"minute", &fields.minute, 0, 59},
            {"hour", &fields.hour, 0, 23},     {"day", &fields.day, 1, 31},
            {"month", &fields.month, 1, 12},   {"week day", &fields.week, 1, 7},
        };
        bool found = false;
        for (const Field& field : table) {
            for (int value : fieldValues(*field.text, field.lowest, field.highest)) {
                if (value >= field.lowest && value <= field.highest)
                    continue;
                add(file, "sys", "time", time,
                    std::string(field.name) + " " + std::to_string(value) + " is outside " +
                        std::to_string(field.lowest) + "-" + std::to_string(field.highest) +
                        ": that value never matches");
                found = true;
                break;
            }
        }
        return found;
    }

    void checkTaskAction(const std::string& file, const IniFile& ini) {
        const std::string type = ini.get("info", "type");
        const std::string overlap = ini.get("info", "overlap");
        if (!overlap.empty() && overlap != "allow" && overlap != "skip")
            add(file, "info", "overlap", overlap, "is neither allow nor skip: runs may overlap (allow)");
        auto needs = [&](const char* key, const char* what) {
            if (ini.get("info", key).empty())
                add(file, "info", key, "", what);
        };
        if (type == "http") {
            std::string method = ini.get("info", "method");
            if (!equalsIgnoreCase(method, "post") && !equalsIgnoreCase(method, "get"))
                add(file, "info", "method", method, "is neither post nor get: the task does nothing");
            needs("url", "empty or missing: the task calls nothing");
        } else if (type == "run") {
            needs("path", "empty or missing: the task opens nothing");
        } else if (type == "sql") {
            needs("sql", "empty or missing: the task runs nothing");
            if (!mysqlOn_)
                add(file, "info", "type", type, "the MySQL module is off: the task runs nothing");
        } else {
            add(file, "info", "type", type, "unknown task type (http, run or sql): the task does nothing");
        }
    }

    // callers.ini, when there is one: every problem the loader finds, then what it names elsewhere.
    void checkCallers() {
        const std::string file = "callers.ini";
        IniFile ini = IniFile::load(runDir_ + "/" + file);
        if (!ini.exists())
            return;
        CallerRules::LoadResult result = CallerRules::parse(ini, localAddress(localIp_));
        for (const CallerRulesProblem& problem : result.problems)
            add(file, gbkToUtf8(problem.section), problem.key, problem.value, problem.what);
        if (!result.rules)
            return;
        IniFile mysql = IniFile::load(runDir_ + "/mod/mysql/config.ini");
        const std::string leaseDb = IniFile::load(runDir_ + "/mod/crontab/config.ini").get("sys", "lease_db");
        for (const Caller& caller : result.rules->callers()) {
            if (!caller.mysqlAccount.empty() && mysql.section("account." + caller.mysqlAccount) == nullptr)
                add(file, caller.name, "mysql_account", caller.mysqlAccount,
                    "mod/mysql/config.ini has no [account." + caller.mysqlAccount + "] section");
            if (caller.rateShared && leaseDb.empty())
                add(file, caller.name, "rate_shared", "1",
                    "the shared count lives in the Redis database lease_db of mod/crontab/config.ini, which "
                    "is "
                    "empty");
        }
    }

    void checkTls() {
        const std::string folder = tlsFolder(runDir_);
        auto report = [&](const TlsFiles& files, const std::string& consequence) {
            for (const std::string& problem : tlsFilesProblems(files)) {
                size_t colon = problem.find(": ");
                std::string file = colon == std::string::npos ? "" : problem.substr(0, colon);
                std::string what = colon == std::string::npos ? problem : problem.substr(colon + 2);
                add(file, "", "", "", what + consequence);
            }
        };
        report(sniTlsFiles(folder), "; kestrum ends at start without it, even when port_https is empty");
        if (!httpsPort_.empty())
            report(defaultTlsFiles(folder), "; HTTPS clients that name no host fail their handshake");
    }

    std::string runDir_;
    std::vector<ConfigProblem> problems_;
    bool mysqlOn_ = false;
    std::string httpsPort_;
    std::string localIp_;
};

}  // namespace

std::vector<ConfigProblem> checkConfiguration(const std::string& runDir) {
    return Checker(runDir).run();
}

std::string problemLine(const ConfigProblem& problem) {
    std::string line = problem.file;
    if (!problem.section.empty() || !problem.key.empty()) {
        line += ": ";
        if (!problem.section.empty())
            line += "[" + problem.section + "]";
        if (!problem.key.empty()) {
            if (!problem.section.empty())
                line += " ";
            line += problem.key + "=" + problem.value;
        } else if (!problem.value.empty()) {
            line += " " + problem.value;
        }
    }
    if (!line.empty())
        line += ": ";
    return line + problem.what;
}

int runConfigCheck(const std::string& runDir) {
    std::vector<ConfigProblem> problems = checkConfiguration(runDir);
    for (const ConfigProblem& problem : problems)
        std::printf("%s\n", problemLine(problem).c_str());
    if (problems.empty())
        std::printf("kestrum: configuration in %s is fine\n", runDir.c_str());
    else
        std::printf("kestrum: %zu problem%s in %s\n", problems.size(), problems.size() == 1 ? "" : "s",
                    runDir.c_str());
    std::fflush(stdout);
    return problems.empty() ? 0 : 1;
}

}  // namespace kestrum
