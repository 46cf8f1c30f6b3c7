// Starting programs for "run" tasks without a shell, capturing their output, and watching them end.
#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

namespace kestrum {

// Splits `text` into words the way a POSIX shell does, without any expansion: blanks separate words; '...'
// keeps everything literally; "..." keeps everything but a backslash before $ ` " \ or a line break; outside
// quotes a backslash keeps the next character. False (and `words` unchanged) for an unterminated quote.
bool splitShellWords(std::string_view text, std::vector<std::string>& words);

// How a watched program ended.
struct ProgramEnd {
    enum class How { Exited, Signalled, StillRunning };  // StillRunning: the watch was stopped
    How how = How::StillRunning;
    int code = 0;              // exit status, or the signal number
    std::string output;        // the first bytes of its standard output and error, interleaved as written
    size_t outputDropped = 0;  // bytes read beyond those and discarded
};

// A started program whose standard output and error go into one pipe of ours. Move-only; the destructor
// closes the pipe (a program still running then gets EPIPE on its next write) without waiting for it.
class ProgramChild {
  public:
    ProgramChild() = default;
    ProgramChild(ProgramChild&& other) noexcept;
    ProgramChild& operator=(ProgramChild&& other) noexcept;
    ProgramChild(const ProgramChild&) = delete;
    ProgramChild& operator=(const ProgramChild&) = delete;
    ~ProgramChild();

    int pid() const { return pid_; }

  private:
    friend bool launchProgram(const std::string&, std::string_view, ProgramChild&, std::string&);
    friend ProgramEnd watchProgram(ProgramChild&, size_t, const std::atomic<bool>*);
    int pid_ = -1;
    int output_ = -1;  // read end, non-blocking
};

// Starts `path` (UTF-8) with the words of `params` as arguments when it is an executable file, otherwise
// hands `path` to xdg-open. The program runs in the current working directory, in a session of its own, with
// standard input from /dev/null and standard output and error into one pipe of ours (never into kestrum's
// own); no other descriptor of ours is inherited. False when it could not be started, with the reason in
// `error` (an unterminated quote in `params`, or why exec failed). Any thread; does not wait for the program.
bool launchProgram(const std::string& path, std::string_view params, ProgramChild& child, std::string& error);

// Reads the program's output until it has ended, keeping the first `keep` bytes and discarding the rest (so
// it never blocks on a full pipe), then reaps it. Blocks: for task threads, not network threads. When `stop`
// turns true the watch ends within a fraction of a second with How::StillRunning; the program runs on.
ProgramEnd watchProgram(ProgramChild& child, size_t keep, const std::atomic<bool>* stop = nullptr);

}  // namespace kestrum
