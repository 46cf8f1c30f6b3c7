// Program start without a shell: fork, then exec in the child, which gets a session of its own. Between
// fork and exec only async-signal-safe calls are made (the argument vector is built beforehand). A pipe with
// close-on-exec reports whether exec succeeded; a second pipe carries the program's standard output and error
// back. The watcher reads that pipe without ever letting it fill, and reaps the program when it has ended
// (not when the pipe closes: a daemon the program left behind may hold it open).
#include "scheduler/program_launcher.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace kestrum {

bool splitShellWords(std::string_view text, std::vector<std::string>& words) {
    std::vector<std::string> out;
    std::string word;
    bool inWord = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (inWord)
                out.push_back(std::move(word));
            word.clear();
            inWord = false;
            continue;
        }
        inWord = true;
        if (c == '\'') {
            size_t close = text.find('\'', i + 1);
            if (close == std::string_view::npos)
                return false;
            word.append(text.substr(i + 1, close - i - 1));
            i = close;
        } else if (c == '"') {
            size_t j = i + 1;
            for (; j < text.size() && text[j] != '"'; ++j) {
                if (text[j] == '\\' && j + 1 < text.size()) {
                    char next = text[j + 1];
                    if (next == '$' || next == '`' || next == '"' || next == '\\') {
                        word.push_back(next);
                        ++j;
                        continue;
                    }
                    if (next == '\n') {
                        ++j;
                        continue;
                    }
                }
                word.push_back(text[j]);
            }
            if (j >= text.size())
                return false;
            i = j;
        } else if (c == '\\') {
            if (i + 1 < text.size()) {
                if (text[i + 1] != '\n')
                    word.push_back(text[i + 1]);
                ++i;
            }
        } else {
            word.push_back(c);
        }
    }
    if (inWord)
        out.push_back(std::move(word));
    words = std::move(out);
    return true;
}

namespace {

bool isExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

void closeIfOpen(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Starts the program; its pid and the read end of its output pipe, or false with the reason.
bool spawn(const std::vector<std::string>& args, bool searchPath, int& pid, int& output, std::string& error) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    int report[2];
    int out[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        return false;
    }
    if (::pipe2(out, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        ::close(report[0]);
        ::close(report[1]);
        return false;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        error = std::strerror(errno);
        for (int fd : {report[0], report[1], out[0], out[1]})
            ::close(fd);
        return false;
    }
    if (child == 0) {
        ::setsid();
        // Lift both pipe ends above the standard descriptors first, so that no dup2 below overwrites one.
        const int writeOut = ::fcntl(out[1], F_DUPFD, 10);
        const int writeReport = ::fcntl(report[1], F_DUPFD, 10);
        const int input = ::open("/dev/null", O_RDONLY);
        if (writeOut < 0 || writeReport < 0 || input < 0)
            ::_exit(127);
        ::dup2(input, 0);
        ::dup2(writeOut, 1);
        ::dup2(writeOut, 2);
        ::dup2(writeReport, 3);
        ::fcntl(3, F_SETFD, FD_CLOEXEC);
        // Our sockets, pipes and files are none of the program's business.
        ::close_range(4, ~0U, 0);
        // The signals a thread of ours blocks are not the program's business either.
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        ::sigaction(SIGPIPE, &fallback, nullptr);
        if (searchPath) {
            ::execvp(argv[0], argv.data());
        } else {
            ::execv(argv[0], argv.data());
        }
        int failure = errno;
        ssize_t ignored = ::write(3, &failure, sizeof failure);
        (void)ignored;
        ::_exit(127);
    }
    ::close(report[1]);
    ::close(out[1]);
    // The pipe reaches end-of-file when exec succeeded (close-on-exec) or the child ended before it.
    int failure = 0;
    ssize_t got;
    do {
        got = ::read(report[0], &failure, sizeof failure);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    if (got != 0) {
        error = got == sizeof failure ? std::strerror(failure) : "could not be started";
        ::close(out[0]);
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        return false;
    }
    ::fcntl(out[0], F_SETFL, ::fcntl(out[0], F_GETFL) | O_NONBLOCK);
    pid = child;
    output = out[0];
    return true;
}

// Reads what the pipe holds now: false at end-of-file (or an error).
bool readAvailable(int fd, size_t keep, ProgramEnd& end) {
    char buffer[4096];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            const size_t room = keep > end.output.size() ? keep - end.output.size() : 0;
            const size_t taken = std::min(room, static_cast<size_t>(n));
            end.output.append(buffer, taken);
            end.outputDropped += static_cast<size_t>(n) - taken;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && errno == EAGAIN;
    }
}

}  // namespace

ProgramChild::ProgramChild(ProgramChild&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), output_(std::exchange(other.output_, -1)) {}

ProgramChild& ProgramChild::operator=(ProgramChild&& other) noexcept {
    if (this != &other) {
        closeIfOpen(output_);
        pid_ = std::exchange(other.pid_, -1);
        output_ = std::exchange(other.output_, -1);
    }
    return *this;
}

ProgramChild::~ProgramChild() {
    closeIfOpen(output_);
}

bool launchProgram(const std::string& path, std::string_view params, ProgramChild& child,
                   std::string& error) {
    if (path.empty() || path.find('\0') != std::string::npos) {
        error = "no program";
        return false;
    }
    std::vector<std::string> args;
    bool searchPath = false;
    if (isExecutableFile(path)) {
        std::vector<std::string> words;
        if (!splitShellWords(params, words)) {
            error = "unterminated quote in params";
            return false;
        }
        args.push_back(path);
        args.insert(args.end(), words.begin(), words.end());
    } else {
        args = {"xdg-open", path};
        searchPath = true;
    }
    ProgramChild started;
    if (!spawn(args, searchPath, started.pid_, started.output_, error))
        return false;
    child = std::move(started);
    return true;
}

ProgramEnd watchProgram(ProgramChild& child, size_t keep, const std::atomic<bool>* stop) {
    constexpr int kPollMs = 200;  // how soon a stop is seen
    ProgramEnd end;
    if (child.pid_ <= 0)
        return end;
    bool open = child.output_ >= 0;
    while (true) {
        if (open) {
            pollfd fd{child.output_, POLLIN, 0};
            if (::poll(&fd, 1, kPollMs) > 0)
                open = readAvailable(child.output_, keep, end);
        }
        int status = 0;
        const pid_t done = ::waitpid(child.pid_, &status, WNOHANG);
        if (done == child.pid_) {
            // What it wrote just before it ended is in the pipe already.
            if (open)
                readAvailable(child.output_, keep, end);
            end.how = WIFSIGNALED(status) ? ProgramEnd::How::Signalled : ProgramEnd::How::Exited;
            end.code = WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status);
            child.pid_ = -1;
            break;
        }
        if (done < 0 && errno != EINTR) {
            // Reaped elsewhere (or not ours): its end cannot be known.
            end.how = ProgramEnd::How::Exited;
            end.code = -1;
            child.pid_ = -1;
            break;
        }
        if (stop != nullptr && stop->load())
            break;
        if (!open)
            ::poll(nullptr, 0, kPollMs);  // the pipe is closed: wait for the end at the same pace
    }
    closeIfOpen(child.output_);
    return end;
}

}  // namespace kestrum
