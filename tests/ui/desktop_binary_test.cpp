// The real binary without --headless: the window on the offscreen platform, ended by SIGTERM; and the
// fall-back to headless when no display can be opened.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QTest>
#include <csignal>

#include "support/http_client.h"
#include "ui_fixture.h"
#include "ui_tests.h"

extern char** environ;

namespace kestrum::uitest {
namespace {

using testing::freePort;
using testing::gb;
using testing::readFile;

// kestrum --dir <runDir> with the environment changed as asked; standard output and error go to files.
class Child {
  public:
    Child(const std::string& runDir, const std::vector<std::pair<std::string, const char*>>& environment,
          const std::string& outputDir) {
        std::vector<std::string> entries;
        for (char** e = environ; *e != nullptr; ++e) {
            std::string entry = *e;
            bool replaced = false;
            for (const auto& [name, value] : environment)
                replaced = replaced || entry.rfind(name + "=", 0) == 0;
            if (!replaced)
                entries.push_back(entry);
        }
        for (const auto& [name, value] : environment) {
            if (value != nullptr)
                entries.push_back(name + "=" + value);
        }
        std::vector<char*> envp;
        for (std::string& entry : entries)
            envp.push_back(entry.data());
        envp.push_back(nullptr);

        out_ = outputDir + "/stdout";
        err_ = outputDir + "/stderr";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::string binary = KESTRUM_BINARY;
        std::string dirFlag = "--dir";
        std::string dir = runDir;
        char* argv[] = {binary.data(), dirFlag.data(), dir.data(), nullptr};
        if (posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv, envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool running() const { return pid_ > 0; }
    std::string output() const { return readFile(out_); }
    std::string errors() const { return readFile(err_); }
    // Sends `signal` and returns the exit status (-1 when it does not end within 15 s).
    int stop(int signal) {
        kill(pid_, signal);
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 15000) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            QTest::qWait(20);
        }
        return -1;
    }

  private:
    pid_t pid_ = -1;
    std::string out_;
    std::string err_;
};

bool waitFor(const std::function<bool()>& condition, int milliseconds = 15000) {
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > milliseconds)
            return false;
        QTest::qWait(20);
    }
    return true;
}

class DesktopBinaryTest : public QObject {
    Q_OBJECT
  private slots:
    void windowRunsAndEndsOnSigterm();
    void noDisplayRunsHeadless();
};

void DesktopBinaryTest::windowRunsAndEndsOnSigterm() {
    const int port = freePort();
    UiRunDir dir("port_http=" + std::to_string(port) + "\nwhitelist=127.0.0.1\n");
    testing::TempDir output;
    Child kestrum(dir.path(), {{"QT_QPA_PLATFORM", "offscreen"}}, output.path());
    QVERIFY(kestrum.running());
    // The window's first show started the start-up: the listener answers.
    QVERIFY(waitFor([&] {
        auto reply = testing::get("127.0.0.1", port, "/api/this/heart", testing::HttpClient::Ms(500));
        return reply && reply->body == std::string("\xEF\xBB\xBF") + "da da da ...";
    }));
    QCOMPARE(kestrum.stop(SIGTERM), 0);
    QVERIFY2(kestrum.errors().empty() || kestrum.errors().find("headless") == std::string::npos,
             kestrum.errors().c_str());
    QVERIFY(kestrum.output().empty());  // status goes to the window, not to standard output
    const std::vector<std::string> logs = dir.logFiles();
    QCOMPARE(logs.size(), size_t(1));
    QVERIFY2(logs[0].find('-') != std::string::npos, logs[0].c_str());  // renamed with the end time
    QVERIFY(dir.logText().find("app/end" + gb("丨will be free.")) != std::string::npos);
}

void DesktopBinaryTest::noDisplayRunsHeadless() {
    UiRunDir dir;
    testing::TempDir output;
    Child kestrum(dir.path(),
                  {{"QT_QPA_PLATFORM", nullptr}, {"DISPLAY", nullptr}, {"WAYLAND_DISPLAY", nullptr}},
                  output.path());
    QVERIFY(kestrum.running());
    QVERIFY(waitFor([&] { return kestrum.output().find("https: https://off") != std::string::npos; }));
    QVERIFY2(kestrum.errors().find("no display could be opened; running headless") != std::string::npos,
             kestrum.errors().c_str());
    QCOMPARE(kestrum.stop(SIGINT), 0);
}

}  // namespace

std::unique_ptr<QObject> makeDesktopBinaryTest() {
    return std::make_unique<DesktopBinaryTest>();
}

}  // namespace kestrum::uitest

#include "desktop_binary_test.moc"
