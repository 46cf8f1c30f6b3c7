// What a user sees when something is wrong at start: the plain-words lines on standard error next to the log
// lines and status texts the program keeps; the port text rule; --version and --help.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

#include "app/startup_report.h"
#include "support/kestrum_process.h"

namespace kestrum {
namespace {

using testing::CommandResult;
using testing::gb;
using testing::KestrumProcess;
using testing::RunDir;
using testing::runKestrum;

TEST(PortTextTest, OnlyPlainNumbersFromOneTo65535AreListenerPorts) {
    const struct {
        const char* text;
        int port;
    } cases[] = {
        {"8080", 8080}, {"1", 1},     {"65535", 65535}, {"abc", 0},   {"0", 0},
        {"65536", 0},   {"08080", 0}, {"-1", 0},        {"80 80", 0}, {"", 0},
        {"+80", 0},     {"8080x", 0}, {"99999999", 0},  {"１２", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(readPortText(c.text), c.port) << '"' << c.text << '"';
}

class StartupMessagesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir.installCertificates();
        for (const char* module : {"mysql", "redis", "crontab"})
            dir.write(std::string("mod/") + module + "/config.ini", "[sys]\non=0\n");
    }
    RunDir dir;
    KestrumProcess kestrum;
};

const std::string kNoListener = "kestrum: no listener could start; ending with status 1\n";

TEST_F(StartupMessagesTest, PortTextThatIsNoNumberFailsTheListener) {
    // "abc" used to listen on a port of the system's choice and to report success.
    for (const std::string text : {"abc", "0", "08080"}) {
        SCOPED_TRACE(text);
        RunDir run;
        run.installCertificates();
        run.write("config.ini", "[sys]\nlocal_ip=127.0.0.1\nport_http=" + text + "\n");
        for (const char* module : {"mysql", "redis", "crontab"})
            run.write(std::string("mod/") + module + "/config.ini", "[sys]\non=0\n");
        KestrumProcess process;
        ASSERT_TRUE(process.start(run.path()));
        // The only listener configured did not start: the process ends by itself, with status 1.
        EXPECT_EQ(process.waitExit(), 1);
        EXPECT_NE(process.output().find("http: http://fail\n"), std::string::npos);
        EXPECT_EQ(process.errorOutput(), "kestrum: HTTP listener not started: config.ini [sys] port_http=" +
                                             text + " " + std::string(kPortRule) + "\n" + kNoListener);
        std::string log = run.logText();
        EXPECT_NE(
            log.find("server/http" + gb("丨start fail：port(") + text + "),reason(the poar maybe useing)."),
            std::string::npos);
        EXPECT_EQ(log.find("start success"), std::string::npos);
        EXPECT_EQ(log.find("prepare listen"), std::string::npos);
    }
}

TEST_F(StartupMessagesTest, PortInUseIsNamed) {
    int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(blocker, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(blocker, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string port = std::to_string(ntohs(address.sin_port));

    dir.write("config.ini", "[sys]\nlocal_ip=127.0.0.1\nport_https=" + port + "\n");
    ASSERT_TRUE(kestrum.start(dir.path()));
    EXPECT_EQ(kestrum.waitExit(), 1);
    EXPECT_EQ(kestrum.errorOutput(), "kestrum: HTTPS listener not started: port " + port +
                                         " on 127.0.0.1 is already in use by another program\n" +
                                         kNoListener);
    ::close(blocker);
}

TEST_F(StartupMessagesTest, LogFolderThatCannotBeWrittenIsNamedAndTheRunGoesOn) {
    dir.write("config.ini", "[sys]\nlocal_ip=127.0.0.1\n");
    dir.write("log", "a file where the log folder should be\n");
    ASSERT_TRUE(kestrum.start(dir.path()));
    ASSERT_TRUE(kestrum.waitForOutput("https: https://off"));
    EXPECT_EQ(kestrum.errorOutput(),
              "kestrum: " + dir.path() + "/log is not a folder; this run keeps no log\n");
    EXPECT_EQ(kestrum.stop(), 0);
}

TEST_F(StartupMessagesTest, MissingConfigFileIsNamed) {
    ASSERT_TRUE(kestrum.start(dir.path()));
    ASSERT_TRUE(kestrum.waitForOutput("https: https://off"));
    EXPECT_EQ(kestrum.errorOutput(),
              "kestrum: no " + dir.path() +
                  "/config.ini: every setting takes its default, both listeners stay off\n");
    EXPECT_EQ(kestrum.stop(), 0);
}

// The second context's files end the process even with HTTPS off; the message says which file and why.
TEST_F(StartupMessagesTest, TlsFailureNamesTheFileAndEndsTheProcess) {
    const std::string key = dir.path() + "/ssl-cert/server2.key";
    const std::string reencrypt = "openssl pkey -in '" + key +
                                  "' -passin pass:xqzv -aes256 -passout pass:nope -out '" + key +
                                  ".new' && mv '" + key + ".new' '" + key + "'";
    ASSERT_EQ(std::system(reencrypt.c_str()), 0);
    dir.write("config.ini",
              "[sys]\nlocal_ip=127.0.0.1\nport_http=" + std::to_string(testing::freePort()) + "\n");
    ASSERT_TRUE(kestrum.start(dir.path()));
    EXPECT_EQ(kestrum.waitExit(), 1);
    EXPECT_EQ(kestrum.errorOutput(),
              "kestrum: cannot start: ssl-cert/server2.key: wrong password (the key must be encrypted with "
              "\"xqzv\")\n"
              "kestrum: the TLS files server2.cer, server2.key and ca2.crt (served to clients that name a "
              "host) are "
              "needed at every start, even when port_https is empty; see README.md, \"TLS files\"\n");
    EXPECT_NE(dir.logText().find("server/error" + gb("丨SPECIAL_SERVER_INDEX < 0")), std::string::npos);
}

TEST_F(StartupMessagesTest, BrokenDefaultContextIsAWarningWhenHttpsIsOn) {
    dir.write("ssl-cert/ca.crt", "not a certificate\n");
    dir.write("config.ini",
              "[sys]\nlocal_ip=127.0.0.1\nport_https=" + std::to_string(testing::freePort()) + "\n");
    ASSERT_TRUE(kestrum.start(dir.path()));
    ASSERT_TRUE(kestrum.waitForOutput("https: https://127.0.0.1:"));
    EXPECT_EQ(kestrum.errorOutput(),
              "kestrum: warning: ssl-cert/ca.crt: holds no PEM CA certificate; HTTPS clients that name no "
              "host will "
              "fail their handshake\n");
    EXPECT_EQ(kestrum.stop(), 0);
}

TEST(CommandLineTest, VersionHelpAndWrongOptions) {
    CommandResult version = runKestrum({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(std::regex_match(version.out, std::regex("kestrum \\d+\\.\\d+\\.\\d+\n"))) << version.out;

    CommandResult help = runKestrum({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* option : {"--dir RUNDIR", "--headless", "--check", "--version", "--help", "README.md"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;

    CommandResult wrong = runKestrum({"--chek"});
    EXPECT_EQ(wrong.status, 2);
    EXPECT_EQ(wrong.out, "");
    EXPECT_EQ(wrong.err.rfind("kestrum: unknown option --chek\nusage: kestrum", 0), 0u) << wrong.err;

    CommandResult noFolder = runKestrum({"--check", "--dir"});
    EXPECT_EQ(noFolder.status, 2);
    EXPECT_EQ(noFolder.err.rfind("kestrum: --dir needs a folder\n", 0), 0u) << noFolder.err;
}

}  // namespace
}  // namespace kestrum
