// Program start without a shell: double fork, so the started program is adopted by init and reaped there,
// while the intermediate child is reaped here before returning. Between fork and exec only async-signal-safe
// calls are made (the argument vector is built beforehand). A pipe with close-on-exec reports whether exec
// succeeded.
#include "scheduler/program_launcher.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

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

bool spawnDetached(const std::vector<std::string>& args, bool searchPath) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return false;
    pid_t child = ::fork();
    if (child < 0) {
        ::close(report[0]);
        ::close(report[1]);
        return false;
    }
    if (child == 0) {
        ::close(report[0]);
        pid_t grandchild = ::fork();
        if (grandchild != 0)
            ::_exit(grandchild < 0 ? 1 : 0);
        ::setsid();
        // Our sockets, pipes and files are none of the program's business; keep only the report pipe open
        // (close-on-exec) and the three standard descriptors.
        if (report[1] != 3) {
            ::dup2(report[1], 3);
            ::fcntl(3, F_SETFD, FD_CLOEXEC);
            report[1] = 3;
        }
        ::close_range(4, ~0U, 0);
        if (searchPath) {
            ::execvp(argv[0], argv.data());
        } else {
            ::execv(argv[0], argv.data());
        }
        int error = errno;
        ssize_t ignored = ::write(report[1], &error, sizeof error);
        (void)ignored;
        ::_exit(127);
    }
    ::close(report[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // The pipe reaches end-of-file when exec succeeded (close-on-exec) or the program side ended.
    int error = 0;
    ssize_t got;
    do {
        got = ::read(report[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && got == 0;
}

}  // namespace

bool startProgram(const std::string& path, std::string_view params) {
    if (path.empty() || path.find('\0') != std::string::npos)
        return false;
    if (isExecutableFile(path)) {
        std::vector<std::string> args{path};
        std::vector<std::string> words;
        if (!splitShellWords(params, words))
            return false;
        args.insert(args.end(), words.begin(), words.end());
        return spawnDetached(args, false);
    }
    return spawnDetached({"xdg-open", path}, true);
}

}  // namespace kestrum
