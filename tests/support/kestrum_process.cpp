#include "support/kestrum_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <iconv.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string_view>
#include <thread>

namespace fs = std::filesystem;

namespace kestrum::testing {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string gb(const std::string& utf8) {
    iconv_t cd = iconv_open("GB18030", "UTF-8");
    std::string out(utf8.size() * 2 + 8, '\0');
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char* dst = out.data();
    size_t dstLeft = out.size();
    iconv(cd, &in, &inLeft, &dst, &dstLeft);
    iconv_close(cd);
    out.resize(out.size() - dstLeft);
    return out;
}

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "kestrum-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr)
        path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!path_.empty())
        fs::remove_all(path_, ec);
}

void TempDir::write(const std::string& relative, const std::string& content) const {
    fs::path file = fs::path(path_) / relative;
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string TempDir::read(const std::string& relative) const {
    return readFile((fs::path(path_) / relative).string());
}

void RunDir::installCertificates() const {
    // One set per build tree; generating keys costs about a second.
    fs::path cache = fs::path(KESTRUM_BINARY).parent_path() / "test-certs";
    if (!fs::exists(cache / "ssl-cert" / "client2.key")) {
        std::string command = "bash '" + std::string(KESTRUM_SOURCE_DIR) + "/scripts/gen-certs.sh' '" +
                              cache.string() + "' >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0)
            return;
    }
    std::error_code ec;
    fs::create_directories(fs::path(path()) / "ssl-cert", ec);
    fs::copy(cache / "ssl-cert", fs::path(path()) / "ssl-cert",
             fs::copy_options::overwrite_existing | fs::copy_options::recursive, ec);
}

void RunDir::switchModulesOff() const {
    for (const char* module : {"mysql", "redis", "crontab"})
        write(std::string("mod/") + module + "/config.ini", "[sys]\non=0\n");
}

std::vector<std::string> RunDir::logFiles() const {
    std::vector<std::pair<fs::file_time_type, std::string>> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(fs::path(path()) / "log", ec)) {
        if (entry.is_regular_file())
            found.emplace_back(entry.last_write_time(), entry.path().filename().string());
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> names;
    for (auto& item : found)
        names.push_back(item.second);
    return names;
}

std::string RunDir::logText() const {
    std::vector<std::string> names = logFiles();
    if (names.empty())
        return {};
    return readFile((fs::path(path()) / "log" / names.back()).string());
}

bool prepareServerDirectory(const std::string& wanted, const std::string& prefix, std::string& directory,
                            bool& owned, std::string& error) {
    if (wanted.empty()) {
        std::string pattern = "/tmp/" + prefix + "-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            error = "mkdtemp failed";
            return false;
        }
        directory = pattern;
        owned = true;
        return true;
    }
    std::error_code ec;
    fs::create_directories(wanted, ec);
    directory = fs::absolute(wanted, ec).string();
    owned = false;
    return true;
}

int freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

KestrumProcess::~KestrumProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool KestrumProcess::start(const std::string& runDir, const std::string& workDir) {
    outputPath_ = runDir + "/stdout.txt";
    errorPath_ = runDir + "/stderr.txt";
    // KESTRUM_TEST_BINARY (an absolute path) runs another build's binary, e.g. the AddressSanitizer one under
    // the ThreadSanitizer tests, so that a sanitizer build need not link its own.
    const char* override = std::getenv("KESTRUM_TEST_BINARY");
    const char* binary = override != nullptr && *override != '\0' ? override : KESTRUM_BINARY;
    // Built before the fork: the child of a threaded process may only make async-signal-safe calls.
    std::vector<char*> envp;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const bool replaced =
            std::any_of(environment_.begin(), environment_.end(), [&](const std::string& own) {
                const size_t nameEnd = own.find('=') + 1;
                return text.substr(0, nameEnd) == std::string_view(own).substr(0, nameEnd);
            });
        if (!replaced)
            envp.push_back(*entry);
    }
    for (std::string& own : environment_)
        envp.push_back(own.data());
    envp.push_back(nullptr);
    const char* const argv[] = {binary, "--headless", "--dir", runDir.c_str(), nullptr};
    pid_t child = ::fork();
    if (child < 0)
        return false;
    if (child == 0) {
        int out = ::open(outputPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0) {
            ::dup2(out, STDOUT_FILENO);
            ::close(out);
        }
        int err = ::open(errorPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0) {
            ::dup2(err, STDERR_FILENO);
            ::close(err);
        }
        if (::chdir((workDir.empty() ? runDir : workDir).c_str()) != 0)
            _exit(126);
        ::execve(binary, const_cast<char* const*>(argv), envp.data());
        _exit(127);
    }
    pid_ = child;
    return true;
}

void KestrumProcess::setEnvironment(const std::string& name, const std::string& value) {
    environment_.push_back(name + "=" + value);
}

namespace {

bool pollUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

}  // namespace

std::string KestrumProcess::output() const {
    return readFile(outputPath_);
}

std::string KestrumProcess::errorOutput() const {
    return readFile(errorPath_);
}

bool KestrumProcess::waitForErrorOutput(const std::string& text, std::chrono::milliseconds timeout) const {
    return pollUntil([&] { return errorOutput().find(text) != std::string::npos; }, timeout);
}

bool KestrumProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) const {
    return pollUntil([&] { return output().find(text) != std::string::npos; }, timeout);
}

bool KestrumProcess::waitForLog(const RunDir& dir, const std::string& text,
                                std::chrono::milliseconds timeout) const {
    return pollUntil([&] { return dir.logText().find(text) != std::string::npos; }, timeout);
}

int KestrumProcess::waitExit(std::chrono::milliseconds timeout) {
    if (pid_ <= 0)
        return -1;
    int status = 0;
    bool ended = pollUntil(
        [&] {
            pid_t done = ::waitpid(pid_, &status, WNOHANG);
            return done == pid_;
        },
        timeout);
    if (!ended)
        return -1;
    pid_ = -1;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

int KestrumProcess::stop(int signal, std::chrono::milliseconds timeout) {
    if (pid_ <= 0)
        return -1;
    ::kill(pid_, signal);
    return waitExit(timeout);
}

CommandResult runKestrum(const std::vector<std::string>& args, const std::string& workDir,
                         std::chrono::milliseconds timeout) {
    CommandResult result;
    TempDir capture;
    const std::string outPath = capture.path() + "/out";
    const std::string errPath = capture.path() + "/err";
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(KESTRUM_BINARY));
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t child = ::fork();
    if (child < 0)
        return result;
    if (child == 0) {
        int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || ::dup2(out, STDOUT_FILENO) < 0 || ::dup2(err, STDERR_FILENO) < 0)
            _exit(126);
        if (!workDir.empty() && ::chdir(workDir.c_str()) != 0)
            _exit(126);
        ::execv(KESTRUM_BINARY, argv.data());
        _exit(127);
    }
    int status = 0;
    bool ended = pollUntil([&] { return ::waitpid(child, &status, WNOHANG) == child; }, timeout);
    if (!ended) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
    } else if (WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.status = 128 + WTERMSIG(status);
    }
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

}  // namespace kestrum::testing
