// The run's log file: one numbered line per event, "[num]丨[time]丨[type]丨[content]" + CR LF.
//
// The file lives in runDir/log/, is named after the moment the run started and, when the name asked for it
// with "[end-time]", gets the moment the run ended appended when the writer closes. An existing file is never
// truncated nor replaced: a run that finds its name taken (a restart within the same second) writes to
// "NAME-2.txt", "NAME-3.txt", ..., and a final name that is taken gets such a suffix too. Files are created
// with mode 0640. Control characters (U+0000-U+001F, U+007F) in a line's type and content are written as
// "\r", "\n", "\t" or "\xHH", so one event is always one line. File names on disk are
// UTF-8; the content is internal-encoding bytes written unconverted (or, with LogCharset::Utf8, the same line
// in UTF-8: template, type and content converted).
//
// writeLine is safe from any thread and never touches the file: under LogLock it numbers and formats the line
// and appends it to a buffer. One writer thread, from open to close, hands the buffer to the file with one
// write per batch, at most kBatchDelay after the batch's first line, so a line is in the file within about
// 10 ms (for other programs that read the file while it grows). Lines keep their number order. flush() waits
// until every line written before it is in the file (a recovered fault calls it); close() writes everything
// still buffered before it closes the file. Only the lines of the last moments before the process is killed
// (SIGKILL, a fault that ends it) can be lost. The buffer is bounded: a writer that falls kMaxPending bytes
// behind (a disk slower than the logging) makes writeLine wait for it rather than lose lines.
//
// With a size limit (OpenOptions::maxBytes), a file ends with the line that reaches the limit; it is closed
// exactly as at the end of the run (renamed with its end time) and a new file begins, named after that
// moment; the line numbers go on across the files of one run. With OpenOptions::keep, the oldest closed files
// of the folder beyond that count are deleted whenever a file is closed (and at open): see log_files.h.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace kestrum {

// "%d年%d月%d日" followed by "%d时%d分%d秒", "%d时%d分", "%d时" or nothing, by which time parts are non-zero.
// Internal encoding.
std::string dateTimeText(const std::tm& moment);
std::string dateTimeText(std::time_t moment);

// Encoding of the file's content. Callers always hand over internal-encoding text.
enum class LogCharset { Internal, Utf8 };

// config.ini [sys] log_charset: "utf-8" or "utf8" in any case selects UTF-8; anything else (empty included)
// keeps the internal encoding.
LogCharset parseLogCharset(std::string_view value);

class LogWriter {
  public:
    struct OpenOptions {
        std::string runDir;                    // default directory is runDir + "/log"
        std::optional<std::string> directory;  // used when it is (or can be made) a directory
        std::optional<std::string> fileName;   // internal encoding; "[end-time]" marks rename-at-close
        std::optional<std::string> lineTemplate;
        std::optional<std::string> timeFormat;
        LogCharset charset = LogCharset::Internal;
        uint64_t maxBytes = 0;  // a file that reaches this size is closed and a new one begins; 0: no limit
        int keep = 0;           // closed files kept in the folder; 0: all
    };

    // The longest a line waits in the buffer before the writer thread takes it to the file.
    static constexpr std::chrono::milliseconds kBatchDelay{5};
    // Buffered bytes past which writeLine waits for the writer thread.
    static constexpr size_t kMaxPending = 64u << 20;

    LogWriter();
    ~LogWriter();  // closes (and renames) the file
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // Opens the file and starts the writer thread. Once per run: a second call does nothing.
    void open(const OpenOptions& options);
    // False when no file is open (before open, after close, or when the file could not be created).
    bool writeLine(std::string_view type, std::string_view content);
    // Returns when every line written before the call is in the file. Any thread but the writer's.
    void flush();
    // Writes what is buffered, stops the writer thread, closes the file and gives it its final name.
    void close();

    bool isOpen() const;
    // Path of the open file (UTF-8, as on disk); after close, the final path.
    std::string filePath() const;

  private:
    const std::string& timeText(std::time_t moment);  // under LogLock; one conversion per second
    // The writer thread: takes pending_ to the file, batch by batch, until close() asks it to end.
    void writeLoop();
    // On the writer thread, without LogLock: writes one batch, starting a new file at the size limit.
    void writeBatch(const std::string& batch);
    // Under LogLock, with the writer thread gone: closes the file and gives it its final name.
    void finishFile();
    // Under LogLock, on the writer thread: the full file is finished and the next one begins.
    void rotate();
    // Under LogLock: deletes the oldest closed files beyond keep_.
    void pruneClosedFiles();

    std::mutex lifecycle_;               // open and close, one at a time
    mutable std::mutex logLock_;         // LogLock
    std::condition_variable wake_;       // the writer thread: lines, a flush or the end
    std::condition_variable batchDone_;  // flush() and a writeLine held back: a batch is in the file
    std::thread writer_;
    bool accepting_ = false;  // lines are taken (the writer thread runs and has not drained for close)
    bool stopping_ = false;   // close() asked the writer thread to write what is left and end
    std::string pending_;     // formatted lines not yet handed to the file
    std::chrono::steady_clock::time_point firstPendingAt_;  // when pending_ got its first line
    uint64_t appended_ = 0;                                 // bytes ever appended to pending_
    uint64_t flushed_ = 0;                                  // of those, bytes in the file (or given up on)
    uint64_t flushWanted_ = 0;                              // flush() waits for appended_ up to here
    std::time_t cachedSecond_ = -1;
    std::string cachedTime_;
    int32_t nextNumber_ = 1;
    std::string lineTemplate_;
    int fd_ = -1;
    bool renameAtClose_ = false;
    std::string path_;      // UTF-8
    std::string dir_;       // UTF-8
    std::string fileName_;  // the name asked for at open, "[end-time]" removed; internal encoding
    bool nameHadEndTime_ = false;
    uint64_t maxBytes_ = 0;
    int keep_ = 0;
    uint64_t fileBytes_ = 0;  // bytes in the current file; the writer thread's
    std::string timeFormat_;
    std::atomic<LogCharset> charset_{LogCharset::Internal};  // set by open, read before LogLock
};

// The process log. The application binds its writer and debug switch once at start-up; until then (and after
// unbinding) lines are dropped.
void bindProcessLog(LogWriter* writer, bool debug);
void unbindProcessLog();
bool processDebug();

// The one way to write a log line. A debugOnly line is written only when the debug switch is on.
bool logLine(std::string_view type, std::string_view content, bool debugOnly = false);

// flush() on the process log, when one is bound: after a recovered fault, the lines up to its report are in
// the file even if a later fault ends the process.
void flushProcessLog();

}  // namespace kestrum
