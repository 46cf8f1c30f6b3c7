#include "app/key_commands.h"

#include <termios.h>
#include <unistd.h>

#include "http/callers.h"
#include "http/credentials.h"

namespace kestrum {
namespace {

// A key is a few dozen characters; more than this is not a key.
constexpr size_t kLongestInput = 4096;

// Reads standard input to its end, or, from a terminal, one line without echoing it.
bool readInput(std::FILE* in, std::FILE* err, std::string& input) {
    const int fd = ::fileno(in);
    termios saved{};
    const bool terminal = ::isatty(fd) == 1 && ::tcgetattr(fd, &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(fd, TCSANOW, &quiet);
        std::fputs("key (not shown): ", err);
        std::fflush(err);
    }
    int c = 0;
    while (input.size() <= kLongestInput && (c = std::fgetc(in)) != EOF) {
        input += static_cast<char>(c);
        if (terminal && c == '\n')
            break;
    }
    if (terminal) {
        ::tcsetattr(fd, TCSANOW, &saved);
        std::fputs("\n", err);
    }
    return input.size() <= kLongestInput;
}

}  // namespace

std::string newKeyText(std::string_view name, std::string_view key) {
    std::string text;
    text += "key of caller " + std::string(name) +
            " (give it to the caller: kestrum keeps only its hash and cannot show it again):\n";
    text += std::string(key) + "\n\n";
    text +=
        "section for callers.ini (for a second key of an existing caller, add the hash to its key_sha256,\n"
        "after a comma):\n";
    text += "[" + std::string(name) + "]\n";
    text += "key_sha256=" + sha256Hex(sha256(key)) + "\n";
    text += "; what it may use: mysql, redis.get, redis.set, redis.order, websocket, metrics\n";
    text += "allow=\n";
    return text;
}

bool keyFromInput(std::string_view input, std::string& key, std::string& error) {
    if (!input.empty() && input.back() == '\n') {
        input.remove_suffix(1);
        if (!input.empty() && input.back() == '\r')
            input.remove_suffix(1);
    }
    if (input.empty()) {
        error = "no key on standard input";
        return false;
    }
    if (!isBearerKey(input)) {
        error = "standard input is not one key (one line of letters, digits, - . _ ~ + / and trailing =)";
        return false;
    }
    key.assign(input);
    return true;
}

int runNewKey(const std::string& name, std::FILE* out, std::FILE* err) {
    if (!isCallerName(name)) {
        std::fprintf(
            err,
            "kestrum: a caller's name is a letter or digit, then letters, digits, \"_\", \"-\" or \".\"; "
            "at most 64\n");
        return 2;
    }
    const std::string key = newCallerKey();
    if (key.empty()) {
        std::fprintf(err, "kestrum: no random bytes to make a key from\n");
        return 1;
    }
    std::fputs(newKeyText(name, key).c_str(), out);
    std::fflush(out);
    return 0;
}

int runHashKey(std::FILE* in, std::FILE* out, std::FILE* err) {
    std::string input;
    std::string key;
    std::string error;
    if (!readInput(in, err, input)) {
        error = "standard input is longer than any key";
    } else if (keyFromInput(input, key, error)) {
        std::fprintf(out, "%s\n", sha256Hex(sha256(key)).c_str());
        std::fflush(out);
        return 0;
    }
    std::fprintf(err, "kestrum: %s\n", error.c_str());
    return 1;
}

}  // namespace kestrum
