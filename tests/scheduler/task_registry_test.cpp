// Task registry: registration rules, task files, deletion, and the task-file routine.
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "local_http_server.h"
#include "scheduler/registry_state.h"
#include "scheduler/task_registry.h"
#include "scheduler/task_scheduler.h"
#include "scheduler_fixture.h"
#include "util/encoding.h"

namespace kestrum {
namespace {

using namespace std::chrono_literals;
using RegistryTest = testing::SchedulerFixture;

int noop(const std::string&, const std::string&, int64_t) {
    return 0;
}

// A log line with its duration ("seconds(0.012)") replaced by "seconds(*)".
std::string withoutSeconds(std::string line) {
    const size_t at = line.find(",seconds(");
    if (at != std::string::npos)
        line.replace(at + 9, line.find(')', at) - at - 9, "*");
    return line;
}

std::vector<std::string> withoutSeconds(std::vector<std::string> lines) {
    for (std::string& line : lines)
        line = withoutSeconds(line);
    return lines;
}

TEST_F(RegistryTest, LoadsTaskFiles) {
    writeTask("backup", "[sys]\ntime = 0 0 3 * * *\n[info]\ntype=http\n");
    writeTask("\xE5\xA4\x87\xE4\xBB\xBD", "[sys]\ntime=1 * * * * *\n");  // UTF-8 "备份" on disk
    writeTask("empty", "[sys]\ntime=\n");
    writeTask("never", "[sys]\ntime=0 0 0 31 2 *\n");
    writeTask("short", "[sys]\ntime=0 0 0 *\n");
    dir_.write("mod/crontab/tasks/notes.txt", "[sys]\ntime=* * * * * *\n");

    TaskRegistry registry(runDir());
    std::vector<int> counts;
    registry.setTaskCountListener([&](int n) { counts.push_back(n); });
    registry.loadTaskFiles();

    EXPECT_EQ(registry.taskCount(), 2);
    EXPECT_EQ(counts, std::vector<int>{2});
    EXPECT_TRUE(registry.hasTask("\xB1\xB8\xB7\xDD"));  // the task name is in the internal encoding
    EXPECT_EQ(registry.getText("backup.time.second"), "0");
    EXPECT_EQ(registry.getText("backup.time.hours"), "3");
    EXPECT_EQ(registry.getText("backup.time.year"), "");
    EXPECT_NE(
        registry.toText().find("\"backup\":{\"crontab\":\"0 0 3 * * * backup\",\"callback\":1,"
                               "\"max_call_count\":0,\"call_count\":0,\"status\":1,\"handle\":0,"
                               "\"time\":{\"second\":\"0\",\"min\":\"0\",\"hours\":\"3\",\"days\":\"*\","
                               "\"month\":\"*\",\"year\":\"\",\"week\":\"*\"}}"),
        std::string::npos)
        << registry.toText();
    // One line per task file: what was registered, or why not.
    std::vector<std::string> lines = logLines();
    std::sort(lines.begin(), lines.end());
    std::vector<std::string> expected{
        "crontab|load task\xA3\xBAname(\xB1\xB8\xB7\xDD),time(1 * * * * *).",
        "crontab|load task\xA3\xBAname(backup),time(0 0 3 * * *).",
        "crontab|load task\xA3\xBAname(empty),skipped(time empty).",
        "crontab|load task\xA3\xBAname(never),skipped(time never fires),time(0 0 0 31 2 *).",
        "crontab|load task\xA3\xBAname(short),skipped(time never fires),time(0 0 0 *).",
    };
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines, expected);
}

TEST_F(RegistryTest, RunLimitFromTaskFiles) {
    struct Case {
        const char* name;
        std::string sys;
        int32_t limit;
    };
    const Case cases[] = {
        {"no maxdo", "times_maxdo=5\n", 0},
        {"maxdo without times", "maxdo=1\n", 0},
        {"only emptiness of maxdo counts", "maxdo=0\ntimes_maxdo=5\n", 5},
        {"non-numeric times", "maxdo=yes\ntimes_maxdo=abc\n", 0},
        {"empty maxdo", "maxdo=\ntimes_maxdo=4\n", 0},
    };
    int i = 0;
    for (const Case& c : cases) {
        writeTask("t" + std::to_string(i++), "[sys]\ntime=0 0 3 * * *\n" + c.sys);
    }
    TaskRegistry registry(runDir());
    registry.loadTaskFiles();
    i = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(registry.getInt("t" + std::to_string(i++) + ".max_call_count"), c.limit);
    }
}

TEST_F(RegistryTest, RegisterTaskRules) {
    TaskRegistry registry(runDir());
    EXPECT_FALSE(registry.registerTask("1 * * * *", "five", noop));
    EXPECT_FALSE(registry.registerTask("0 0 0 31 2 *", "never", noop));
    EXPECT_FALSE(registry.registerTask("1 * * * * *", "  ", noop));
    EXPECT_FALSE(registry.registerTask("1 * * * * *", "nocallback", TaskCallback{}));
    // An empty seventh piece would be the registry's root itself.
    EXPECT_FALSE(registry.registerTask("1 * * * * *  0", "x", noop));
    EXPECT_EQ(registry.toText(), "");

    // Trimmed (ASCII and full-width spaces); a name with an inner space is keyed by its first word.
    EXPECT_TRUE(registry.registerTask("\xA1\xA1 1 * * * * * ", "  my task\xA1\xA1", noop, 4));
    EXPECT_EQ(registry.taskNames(), std::vector<std::string>{"my"});
    EXPECT_EQ(registry.getText("my.crontab"), "1 * * * * * my task");
    EXPECT_EQ(registry.getInt("my.max_call_count"), 4);
    EXPECT_EQ(registry.getInt("my.status"), kTaskRegistered);

    // Path characters in a name stay part of the name.
    EXPECT_TRUE(registry.registerTask("1 * * * * *", "daily.backup[1]", noop));
    EXPECT_TRUE(registry.hasTask("daily.backup[1]"));
    EXPECT_EQ(registry.taskCount(), 2);
}

TEST_F(RegistryTest, RegisteringAgain) {
    TaskRegistry registry(runDir());
    TaskScheduler scheduler(registry);  // not started: used to stop a task
    ASSERT_TRUE(registry.registerTask("1 * * * * *", "job", noop, 2));
    scheduler.stopTasks("job");
    EXPECT_EQ(registry.getInt("job.status"), kTaskEnded);

    // An ended task is stored anew, waiting to be started.
    ASSERT_TRUE(registry.registerTask("2 * * * * *", "job", noop, 5));
    EXPECT_EQ(registry.getInt("job.status"), kTaskRegistered);
    EXPECT_EQ(registry.getInt("job.max_call_count"), 5);
    EXPECT_EQ(registry.getText("job.time.second"), "2");
    EXPECT_EQ(registry.taskCount(), 1);
}

TEST_F(RegistryTest, DeleteTask) {
    TaskRegistry registry(runDir());
    ASSERT_TRUE(registry.registerTask("1 * * * * *", "backup", noop));
    std::vector<int> counts;
    registry.setTaskCountListener([&](int n) { counts.push_back(n); });

    EXPECT_FALSE(registry.deleteTask("nothere"));
    EXPECT_TRUE(registry.deleteTask("  backup  "));
    EXPECT_FALSE(registry.deleteTask("backup"));
    EXPECT_FALSE(registry.deleteTask(""));
    EXPECT_EQ(registry.taskCount(), 0);
    EXPECT_EQ(counts, (std::vector<int>{1, 0, 0, 0}));
    const std::string del = "crontab|del task\xA3\xBA";
    EXPECT_EQ(logLines(),
              (std::vector<std::string>{del + "nothere", del + "  backup  ", del + "backup", del}));
}

TEST_F(RegistryTest, AddTaskFile) {
    writeTask("backup", "[sys]\ntime=0 0 3 * * *\nmaxdo=1\ntimes_maxdo=7\n");
    writeTask("blank", "[sys]\n");
    dir_.write("outside.ini", "[sys]\ntime=* * * * * *\n");
    TaskRegistry registry(runDir());

    EXPECT_FALSE(registry.addTaskFile("missing"));
    EXPECT_FALSE(registry.addTaskFile("../../../outside"));
    EXPECT_TRUE(logLines().empty());

    EXPECT_TRUE(registry.addTaskFile("backup"));
    EXPECT_EQ(registry.getInt("backup.max_call_count"), 7);
    EXPECT_EQ(registry.getInt("backup.callback"), 1);
    // A file without a time is reported as added but registers nothing.
    EXPECT_TRUE(registry.addTaskFile("blank"));
    EXPECT_EQ(registry.taskNames(), std::vector<std::string>{"backup"});
    EXPECT_EQ(logLines(), (std::vector<std::string>{"crontab|add task\xA3\xBA"
                                                    "backup",
                                                    "crontab|add task\xA3\xBA"
                                                    "blank"}));
}

TEST_F(RegistryTest, ListFiles) {
    writeTask("a", "");
    writeTask("b", "");
    dir_.write("mod/crontab/tasks/c.txt", "");
    dir_.write("mod/crontab/tasks/sub.ini/x", "");  // a folder is no task file
    std::vector<std::string> files = listFiles(runDir() + "/mod/crontab/tasks/", "*.ini");
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{runDir() + "/mod/crontab/tasks/a.ini",
                                               runDir() + "/mod/crontab/tasks/b.ini"}));
    EXPECT_TRUE(listFiles(runDir() + "/none", "*.ini").empty());
}

// The task-file routine: what each [info] type does.
TEST_F(RegistryTest, RunTaskFileSql) {
    TaskRegistry registry(runDir());
    std::vector<std::string> statements;
    // The file is UTF-8 and read into the internal encoding; the runner must receive UTF-8 again.
    writeTask("q", "[info]\ntype=sql\nsql=insert into t values ('\xE4\xB8\xAD\xE6\x96\x87')\n");
    writeTask("off", "[info]\non=0\ntype=sql\nsql=select 1\n");

    registry.runTaskFile("q", "1700000000000", 1);  // no runner: the MySQL module is off
    std::vector<SqlOutcome> outcomes = {
        {SqlOutcome::Status::Done, 0, ""},
        {SqlOutcome::Status::Failed, 1064, "You have an error in your SQL syntax; near '\xE4\xB8\xAD'\n"},
        {SqlOutcome::Status::Busy, 0, ""},
    };
    registry.setSqlRunner([&](const std::string& sql, const std::string& params) {
        statements.push_back(sql + params);
        SqlOutcome outcome = outcomes.front();
        outcomes.erase(outcomes.begin());
        return outcome;
    });
    registry.runTaskFile("q", "1700000000001", 1);
    registry.runTaskFile("q", "1700000000002", 1);
    registry.runTaskFile("q", "1700000000003", 1);
    registry.runTaskFile("off", "1700000000004", 1);
    registry.runTaskFile("gone", "1700000000005", 1);
    EXPECT_EQ(statements, std::vector<std::string>(3, "insert into t values ('\xE4\xB8\xAD\xE6\x96\x87')"));
    EXPECT_EQ(withoutSeconds(logLines()),
              (std::vector<std::string>{
                  "crontab|do\xA3\xBAname(q),time(1700000000000).",
                  "crontab|done\xA3\xBAname(q),nothing run(mysql off),seconds(*).",
                  "crontab|do\xA3\xBAname(q),time(1700000000001).",
                  "crontab|done\xA3\xBAname(q),sql ok,seconds(*).",
                  "crontab|do\xA3\xBAname(q),time(1700000000002).",
                  // The server's text in the internal encoding, its line break escaped.
                  "crontab|done\xA3\xBAname(q),sql error(1064,You have an error in your SQL syntax; near "
                  "'\xD6\xD0'\\n),seconds(*).",
                  "crontab|do\xA3\xBAname(q),time(1700000000003).",
                  "crontab|done\xA3\xBAname(q),sql busy(no free connection),seconds(*).",
                  "crontab|do\xA3\xBAname(off),time(1700000000004).",
                  "crontab|done\xA3\xBAname(off),nothing run(switched off),seconds(*).",
                  "crontab|do\xA3\xBAname(gone),time(1700000000005).",
                  "crontab|done\xA3\xBAname(gone),nothing run(no task file),seconds(*).",
              }));
}

TEST_F(RegistryTest, RunTaskFileHttp) {
    testing::LocalHttpServer server([](const testing::RecordedRequest& request) {
        return testing::LocalHttpServer::response(request.target == "/fail" ? 500 : 200, "ok");
    });
    // data "名=值" in the internal encoding goes out as UTF-8 with a byte-order mark.
    writeTask("post",
              "[info]\ntype=http\nmethod=POST\nurl=" + server.url("/p") + "\ndata=\xC3\xFB=\xD6\xB5\n");
    writeTask("get", "[info]\ntype=http\nmethod=get\nurl=" + server.url("/g") + "\n");
    writeTask("put", "[info]\ntype=http\nmethod=put\nurl=" + server.url("/u") + "\n");
    writeTask("upper", "[info]\ntype=HTTP\nmethod=get\nurl=" + server.url("/h") + "\n");
    writeTask("fail", "[info]\ntype=http\nmethod=get\nurl=" + server.url("/fail") + "\n");
    writeTask("refused", "[info]\ntype=http\nmethod=get\nurl=http://127.0.0.1:1/\n");
    TaskRegistry registry(runDir());
    for (const char* name : {"post", "get", "put", "upper", "fail", "refused"})
        registry.runTaskFile(name, "0", 0);

    std::vector<testing::RecordedRequest> requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].target, "/p");
    EXPECT_EQ(requests[0].body, "\xEF\xBB\xBF\xE5\x90\x8D=\xE5\x80\xBC");
    EXPECT_EQ(requests[1].method, "GET");
    EXPECT_EQ(requests[1].target, "/g");

    std::vector<std::string> done;
    for (const std::string& line : withoutSeconds(logLines()))
        if (line.rfind("crontab|done", 0) == 0)
            done.push_back(line);
    ASSERT_EQ(done.size(), 6u);
    EXPECT_EQ(done[0], "crontab|done\xA3\xBAname(post),http(200),seconds(*).");
    EXPECT_EQ(done[1], "crontab|done\xA3\xBAname(get),http(200),seconds(*).");
    EXPECT_EQ(done[2], "crontab|done\xA3\xBAname(put),nothing run(method put),seconds(*).");
    EXPECT_EQ(done[3], "crontab|done\xA3\xBAname(upper),nothing run(type HTTP),seconds(*).");
    EXPECT_EQ(done[4], "crontab|done\xA3\xBAname(fail),http(500),seconds(*).");
    EXPECT_EQ(done[5].rfind("crontab|done\xA3\xBAname(refused),http failed(", 0), 0u) << done[5];
}

TEST_F(RegistryTest, RunTaskFileStartsProgramsWithoutShell) {
    const std::string out = runDir() + "/args.txt";
    dir_.write("tool.sh", "#!/bin/sh\nfor a in \"$@\"; do echo \"[$a]\"; done > " + out + ".part\nmv " + out +
                              ".part " + out + "\n");
    ASSERT_EQ(::chmod((runDir() + "/tool.sh").c_str(), 0755), 0);
    writeTask("run", "[info]\ntype=run\npath=" + runDir() +
                         "/tool.sh\nparams=one \"two words\" 'three $HOME' ;touch\n");
    TaskRegistry registry(runDir());
    registry.runTaskFile("run", "0", 0);

    std::string text;
    for (int i = 0; i < 200 && text.empty(); ++i) {
        std::this_thread::sleep_for(10ms);
        text = dir_.read("args.txt");
    }
    EXPECT_EQ(text, "[one]\n[two words]\n[three $HOME]\n[;touch]\n");
    // The run is over when the program has ended: the watcher has reaped it, nothing is left to wait for.
    EXPECT_NE(waitForLine("crontab|done\xA3\xBAname(run),exit(0),seconds("), "");
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

// A program's end, duration and output become its task's outcome line; output is cut at 4 KiB, its line
// breaks escaped, and it never reaches kestrum's own output.
TEST_F(RegistryTest, RunTaskFileLogsTheProgramsOutcome) {
    struct Case {
        const char* name;
        std::string params;
        std::string done;  // the outcome line, seconds replaced
    } cases[] = {
        {"failing", "-c 'echo \"disk full\" >&2; exit 2'",
         "crontab|done\xA3\xBAname(failing),exit(2),seconds(*),output(disk full\\n)."},
        {"killed", "-c 'kill -KILL $$'", "crontab|done\xA3\xBAname(killed),signal(9),seconds(*)."},
        {"chatty", "-c 'head -c 5000 /dev/zero | tr \"\\0\" y'",
         "crontab|done\xA3\xBAname(chatty),exit(0),seconds(*),output(" + std::string(4096, 'y') +
             "...(904 more bytes))."},
        {"quote", "'unterminated",
         "crontab|done\xA3\xBAname(quote),not started(unterminated quote in params),seconds(*)."},
    };
    TaskRegistry registry(runDir());
    for (const Case& c : cases) {
        writeTask(c.name, "[info]\ntype=run\npath=/bin/sh\nparams=" + c.params + "\n");
        registry.runTaskFile(c.name, "0", 0);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(withoutSeconds(waitForLine("crontab|done\xA3\xBAname(" + std::string(c.name) + ")")),
                  c.done);
    }
    EXPECT_EQ(registry.state()->runs().inFlight("failing"), 0);
}

}  // namespace
}  // namespace kestrum
