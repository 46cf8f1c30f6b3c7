#include "support/mariadb_server.h"

#include "support/kestrum_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace kestrum::testing {

namespace {

namespace fs = std::filesystem;

// Starts args[0] with stdout to `outFd` (or, when it is -1, to `logPath`) and stderr to `logPath`. -1 on
// failure.
pid_t spawn(const std::vector<std::string>& args, int outFd, const std::string& logPath, bool dieWithParent) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    int logFd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (logFd < 0)
        return -1;
    int nullFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        if (dieWithParent) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent)
                _exit(127);
        }
        dup2(outFd >= 0 ? outFd : logFd, STDOUT_FILENO);
        dup2(logFd, STDERR_FILENO);
        dup2(nullFd, STDIN_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    ::close(logFd);
    ::close(nullFd);
    return pid;
}

int waitExit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// True when nothing listens on address:port (a bind succeeds).
bool portFree(const std::string& address, int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    bool free = bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    ::close(fd);
    return free;
}

bool socketAccepts(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    ::close(fd);
    return ok;
}

std::string tail(const std::string& text, size_t bytes = 1500) {
    return text.size() <= bytes ? text : text.substr(text.size() - bytes);
}

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "'";
}

}  // namespace

MariadbServer::~MariadbServer() {
    stop();
}

bool MariadbServer::start(const Options& options) {
    stop();
    options_ = options;
    error_.clear();
    if (!prepareServerDirectory(options.directory, "kestrum-mariadb", directory_, ownsDirectory_, error_))
        return false;
    socket_ = directory_ + "/mysqld.sock";
    std::string dataDir = directory_ + "/data";
    std::error_code ec;
    fs::create_directories(directory_ + "/tmp", ec);

    if (!fs::exists(dataDir + "/mysql")) {
        std::string log = directory_ + "/install.log";
        pid_t pid =
            spawn({"mariadb-install-db", "--no-defaults", "--user=root", "--datadir=" + dataDir,
                   "--auth-root-authentication-method=socket", "--skip-test-db", "--skip-name-resolve"},
                  -1, log, true);
        if (pid < 0 || waitExit(pid) != 0) {
            error_ = "mariadb-install-db failed: " + tail(readFile(log));
            return false;
        }
    }

    for (int last = 2; last <= 9; ++last) {
        std::string address = "127.0.0." + std::to_string(last);
        if (!portFree(address, options.port))
            continue;
        if (launch(address))
            break;
    }
    if (pid_ <= 0) {
        if (error_.empty())
            error_ = "no loopback address 127.0.0.2-9 with a free port " + std::to_string(options.port);
        return false;
    }

    const std::string user = quoted(options.user);
    std::string setup = "CREATE DATABASE IF NOT EXISTS `" + options.database +
                        "` CHARACTER SET utf8mb4; CREATE USER IF NOT EXISTS " + user + "@'%' IDENTIFIED BY " +
                        quoted(options.password) + "; GRANT ALL PRIVILEGES ON *.* TO " + user + "@'%';";
    if (!execute(setup)) {
        std::string message = error_;
        stop();
        error_ = "creating the database and user failed: " + message;
        return false;
    }
    return true;
}

bool MariadbServer::launch(const std::string& address) {
    host_ = address;
    std::error_code ec;
    fs::remove(socket_, ec);
    std::string log = directory_ + "/server.log";
    pid_ = spawn(
        {"mariadbd", "--no-defaults", "--user=root", "--datadir=" + directory_ + "/data",
         "--socket=" + socket_, "--pid-file=" + directory_ + "/mysqld.pid", "--tmpdir=" + directory_ + "/tmp",
         "--bind-address=" + address, "--port=" + std::to_string(options_.port), "--skip-name-resolve",
         "--max-connections=500", "--innodb-buffer-pool-size=64M", "--innodb-flush-log-at-trx-commit=2",
         "--log-error=" + directory_ + "/error.log"},
        -1, log, true);
    if (pid_ < 0) {
        error_ = "cannot start mariadbd";
        return false;
    }
    if (waitReady(60000))
        return true;
    error_ = "mariadbd did not come up on " + address + ": " + tail(readFile(directory_ + "/error.log"));
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitExit(pid_);
    }
    pid_ = -1;
    return false;
}

bool MariadbServer::waitReady(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;  // exited (for example: the address was taken meanwhile)
            return false;
        }
        if (socketAccepts(socket_))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

bool MariadbServer::killServer() {
    if (pid_ <= 0)
        return false;
    kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitExit(pid_);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
    return true;
}

bool MariadbServer::startServer() {
    if (pid_ > 0)
        return true;
    if (host_.empty())
        return false;
    return launch(host_);
}

void MariadbServer::stop() {
    killServer();
    if (ownsDirectory_ && !directory_.empty()) {
        std::error_code ec;
        fs::remove_all(directory_, ec);
    }
    ownsDirectory_ = false;
    directory_.clear();
    host_.clear();
}

bool MariadbServer::execute(const std::string& sql, std::string* output, const std::string& database) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    std::vector<std::string> args = {"mariadb",
                                     "--no-defaults",
                                     "--protocol=socket",
                                     "--socket=" + socket_,
                                     "--user=root",
                                     "--batch",
                                     "--skip-column-names",
                                     "--default-character-set=utf8mb4",
                                     "-e",
                                     sql};
    if (!database.empty())
        args.push_back(database);
    std::string errorLog = directory_ + "/client.err";
    pid_t pid = spawn(args, fds[1], errorLog, true);
    ::close(fds[1]);
    std::string text;
    char buffer[4096];
    ssize_t got;
    while ((got = read(fds[0], buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)) {
        if (got > 0)
            text.append(buffer, static_cast<size_t>(got));
    }
    ::close(fds[0]);
    int code = pid > 0 ? waitExit(pid) : -1;
    if (output)
        *output = text;
    if (code != 0) {
        error_ = "mariadb client exited with " + std::to_string(code) + ": " + tail(readFile(errorLog));
        return false;
    }
    return true;
}

}  // namespace kestrum::testing
