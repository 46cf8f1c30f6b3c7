// The real binary, headless, in a temporary run directory: start-up order, listener outcomes, shutdown and
// the log file's final name.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <fstream>
#include <regex>

#include "support/kestrum_process.h"
#include "support/loopback_server.h"

namespace kestrum {
namespace {

using namespace std::chrono_literals;
using testing::gb;
using testing::KestrumProcess;
using testing::RunDir;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t pos = 0;
    for (size_t end = text.find("\r\n"); end != std::string::npos; end = text.find("\r\n", pos)) {
        out.push_back(text.substr(pos, end - pos));
        pos = end + 2;
    }
    return out;
}

// "type丨content" of a line, without number and time.
std::string typeAndContent(const std::string& line) {
    std::string sep = gb("丨");
    size_t first = line.find(sep);
    size_t second = line.find(sep, first + sep.size());
    return second == std::string::npos ? line : line.substr(second + sep.size());
}

class StartupTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir.installCertificates();
        dir.switchModulesOff();
    }
    RunDir dir;
    KestrumProcess kestrum;
};

TEST_F(StartupTest, ListenersOffRunsTheWholeStartupAndShutdown) {
    dir.write("config.ini", "[sys]\nlocal_ip=127.0.0.1\nonDebug=01\n");
    ASSERT_TRUE(kestrum.start(dir.path()));
    ASSERT_TRUE(kestrum.waitForOutput("https: https://off"));
    EXPECT_NE(kestrum.output().find("http: http://off\n"), std::string::npos);
    EXPECT_NE(kestrum.output().find("heart: /api/this/heart\n"), std::string::npos);
    EXPECT_EQ(kestrum.stop(SIGTERM), 0);

    std::vector<std::string> names = dir.logFiles();
    ASSERT_EQ(names.size(), 1u);
    // Start-time name with the end time appended: 2026年12月9日21时40分46秒-2026年12月9日22时3分.txt
    std::regex finalName(
        "\\d+年\\d+月\\d+日(\\d+时(\\d+分(\\d+秒)?)?)?-\\d+年\\d+月\\d+日(\\d+时(\\d+分(\\d+秒)?)?)?\\.txt");
    EXPECT_TRUE(std::regex_match(names[0], finalName)) << names[0];

    std::vector<std::string> log = lines(dir.logText());
    ASSERT_GE(log.size(), 6u);
    std::vector<std::string> expected = {
        "sys" + gb("丨thanks for use kestrum."),
        "app/init" + gb("丨will be free."),
        "server" + gb("丨ip：local(127.0.0.1),net(),location()."),
        "server" + gb("丨heart pack url：/api/this/heart"),
    };
    EXPECT_EQ(log[0].rfind("1" + gb("丨"), 0), 0u);
    EXPECT_EQ(typeAndContent(log[0]), expected[0]);
    EXPECT_EQ(typeAndContent(log[2]), expected[1]);
    EXPECT_EQ(typeAndContent(log[3]), expected[2]);
    EXPECT_EQ(typeAndContent(log[4]), expected[3]);
    EXPECT_EQ(typeAndContent(log.back()), "app/end" + gb("丨will be free."));
    for (const std::string& line : log) {
        EXPECT_EQ(line.find("server/http"), std::string::npos) << line;  // neither listener was touched
    }
}

TEST_F(StartupTest, LogCharsetUtf8WritesTheLogInUtf8) {
    dir.write("config.ini", "[sys]\nlocal_ip=127.0.0.1\nlog_charset=utf-8\n");
    ASSERT_TRUE(kestrum.start(dir.path()));
    ASSERT_TRUE(kestrum.waitForOutput("https: https://off"));
    EXPECT_EQ(kestrum.stop(SIGTERM), 0);
    std::string log = dir.logText();
    EXPECT_EQ(log.rfind("1丨", 0), 0u);
    EXPECT_NE(log.find("丨server丨ip：local(127.0.0.1),net(),location().\r\n"), std::string::npos);
    EXPECT_NE(log.find("丨app/end丨will be free.\r\n"), std::string::npos);
}

TEST_F(StartupTest, SamePortTwiceFailsTheSecondListener) {
    int port = testing::freePort();
    dir.write("config.ini", "[sys]\nlocal_ip=127.0.0.1\nport_http=" + std::to_string(port) +
                                "\nport_https=" + std::to_string(port) + "\n");
    ASSERT_TRUE(kestrum.start(dir.path()));
    ASSERT_TRUE(kestrum.waitForOutput("https: https://fail"));
    EXPECT_NE(kestrum.output().find("http: http://127.0.0.1:" + std::to_string(port) + "\n"),
              std::string::npos);
    EXPECT_EQ(kestrum.stop(SIGINT), 0);
    std::string log = dir.logText();
    std::string p = std::to_string(port);
    EXPECT_NE(log.find("server/http" + gb("丨start success：port(") + p + ")."), std::string::npos);
    EXPECT_NE(log.find("server/https" + gb("丨start fail：port(") + p + "),reason(the poar maybe useing)."),
              std::string::npos);
}

TEST_F(StartupTest, MissingCertificatesEndTheProcessBeforeAnyModuleOrListener) {
    RunDir bare;  // no ssl-cert anywhere
    bare.write("config.ini",
               "[sys]\nlocal_ip=127.0.0.1\nport_http=" + std::to_string(testing::freePort()) + "\n");
    bare.switchModulesOff();
    // The MySQL module is on: the TLS files are checked before its pool connects.
    bare.write("mod/mysql/config.ini", "[sys]\non=1\nconnectSum=1\nadress=127.0.0.1\nport=" +
                                           std::to_string(testing::freePort()) + "\nconnect_timeout=1\n");
    ASSERT_TRUE(kestrum.start(bare.path()));
    int status = kestrum.waitExit();
    EXPECT_EQ(status, 1);
    std::string log = bare.logText();
    EXPECT_NE(log.find("server/error" + gb("丨SPECIAL_SERVER_INDEX < 0")), std::string::npos);
    EXPECT_EQ(log.find("connect database"), std::string::npos);
    EXPECT_EQ(log.find("prepare listen"), std::string::npos);
    EXPECT_EQ(log.find("start success"), std::string::npos);
    // A refused start still gives the log its final name.
    std::vector<std::string> names = bare.logFiles();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].find("[end-time]"), std::string::npos) << names[0];
}

TEST_F(StartupTest, HeadlessEndsWithStatusOneWhenNoListenerCanStart) {
    // Both ports are taken by another program.
    testing::LoopbackServer first;
    testing::LoopbackServer second;
    ASSERT_TRUE(first.listen());
    ASSERT_TRUE(second.listen());
    dir.write("config.ini", "[sys]\nlocal_ip=127.0.0.1\nport_http=" + std::to_string(first.port()) +
                                "\nport_https=" + std::to_string(second.port()) + "\n");
    ASSERT_TRUE(kestrum.start(dir.path()));
    EXPECT_EQ(kestrum.waitExit(), 1);
    EXPECT_NE(kestrum.output().find("http: http://fail\n"), std::string::npos);
    EXPECT_NE(kestrum.output().find("https: https://fail\n"), std::string::npos);
    std::vector<std::string> names = dir.logFiles();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].find("[end-time]"), std::string::npos) << names[0];
    std::vector<std::string> log = lines(dir.logText());
    ASSERT_GE(log.size(), 3u);
    // The failed starts, the reason to end, then the whole shutdown.
    EXPECT_NE(dir.logText().find("server/https" + gb("丨start fail：port(")), std::string::npos);
    EXPECT_NE(dir.logText().find("server/error" + gb("丨no listener could start, kestrum ends.")),
              std::string::npos);
    EXPECT_EQ(typeAndContent(log.back()), "app/end" + gb("丨will be free."));
}

// "Max open files" of /proc/<pid>/limits: {soft, hard} as written there.
std::pair<std::string, std::string> openFilesLimit(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/limits");
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind("Max open files", 0) == 0) {
            std::istringstream fields(line.substr(std::string("Max open files").size()));
            std::pair<std::string, std::string> limit;
            fields >> limit.first >> limit.second;
            return limit;
        }
    }
    return {};
}

TEST_F(StartupTest, DescriptorLimitRaisedToTheHardLimit) {
    rlimit ours{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &ours), 0);
    if (ours.rlim_max != RLIM_INFINITY && ours.rlim_max <= 256)
        GTEST_SKIP() << "hard descriptor limit too low to lower the soft one";
    const std::string hard = ours.rlim_max == RLIM_INFINITY ? "unlimited" : std::to_string(ours.rlim_max);
    struct Case {
        const char* name;
        std::string maxConnections;  // the config.ini value; empty: key absent
        bool logged;
    };
    const uint64_t above = (ours.rlim_max == RLIM_INFINITY ? (1ULL << 40) : ours.rlim_max) + 1;
    const Case cases[] = {
        {"default", "", false},
        {"above the hard limit", std::to_string(above), true},
        {"no limit of our own", "0", false},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        RunDir run;
        run.installCertificates();
        run.switchModulesOff();
        int port = testing::freePort();
        run.write("config.ini",
                  "[sys]\nlocal_ip=127.0.0.1\nport_http=" + std::to_string(port) + "\n" +
                      (test.maxConnections.empty() ? "" : "max_connections=" + test.maxConnections + "\n"));
        // The child inherits a service manager's usual soft limit.
        rlimit low = ours;
        low.rlim_cur = 256;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
        KestrumProcess process;
        bool started = process.start(run.path());
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &ours), 0);
        ASSERT_TRUE(started);
        ASSERT_TRUE(process.waitForOutput("https: https://off"));
        auto limit = openFilesLimit(process.pid());
        EXPECT_EQ(limit.second, hard);
        // An unlimited hard limit becomes the kernel's ceiling.
        if (ours.rlim_max != RLIM_INFINITY) {
            EXPECT_EQ(limit.first, hard);
        }
        EXPECT_NE(limit.first, "256");
        const std::string line = "server" + gb("丨max connections above descriptor limit：max_connections(");
        const std::string log = run.logText();
        if (test.logged) {
            EXPECT_NE(log.find(line + test.maxConnections + "),limit(" + limit.first + ")."),
                      std::string::npos)
                << log;
        } else {
            EXPECT_EQ(log.find(line), std::string::npos) << log;
        }
        EXPECT_EQ(process.stop(SIGTERM), 0);
    }
}

}  // namespace
}  // namespace kestrum
