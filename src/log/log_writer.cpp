#include "log/log_writer.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "log/log_files.h"
#include "util/encoding.h"
#include "util/ini.h"
#include "util/recovery_point.h"
#include "util/text.h"

namespace kestrum {
namespace {

const char* const kDefaultTemplate = "[num]丨[time]丨[type]丨[content]";  // UTF-8 source; converted once
const char* const kDefaultTimeFormat = "%y-%m-%d %H:%M:%S";

void replaceAll(std::string& text, std::string_view from, std::string_view to) {
    if (from.empty())
        return;
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

// Room a log buffer keeps between batches; a burst of long lines (a large Redis value) gives back the rest.
constexpr size_t kKeptCapacity = 1u << 20;

// Log files hold what callers sent (statements, keys, request headers): owner and group only.
constexpr mode_t kFileMode = 0640;
// Runs of the same second share a start-time name; the later ones get "-2", "-3", ... up to this.
constexpr int kMaxNameSuffix = 9999;

bool isControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

// A caller's text with every control character written as an escape ("\r", "\n", "\t", "\xHH"), so that
// one event stays one line whatever the text holds. Control bytes never occur inside a multibyte character
// of the internal encoding or of UTF-8, so the text is scanned byte by byte. Clean text (the usual case) is
// returned as it is, without a copy.
std::string_view escapeControls(std::string_view text, std::string& storage) {
    auto first = std::find_if(text.begin(), text.end(),
                              [](char c) { return isControl(static_cast<unsigned char>(c)); });
    if (first == text.end())
        return text;
    static constexpr char kHex[] = "0123456789ABCDEF";
    storage.assign(text.begin(), first);
    for (auto it = first; it != text.end(); ++it) {
        const auto c = static_cast<unsigned char>(*it);
        if (!isControl(c)) {
            storage += static_cast<char>(c);
        } else if (c == '\r') {
            storage += "\\r";
        } else if (c == '\n') {
            storage += "\\n";
        } else if (c == '\t') {
            storage += "\\t";
        } else {
            storage += "\\x";
            storage += kHex[c >> 4];
            storage += kHex[c & 0x0F];
        }
    }
    return storage;
}

// `path` with "-N" before its extension; N = 1 is the path itself.
std::filesystem::path withSuffix(const std::filesystem::path& path, int n) {
    if (n == 1)
        return path;
    return path.parent_path() / (path.stem().string() + "-" + std::to_string(n) + path.extension().string());
}

// Creates the first free one of `wanted`, its "-2", "-3", ... names: a file of another run is never
// truncated. The descriptor, or -1; `chosen` is the name created (`wanted` when none could be).
int createFresh(const std::filesystem::path& wanted, std::string& chosen) {
    chosen = wanted.string();
    for (int n = 1; n <= kMaxNameSuffix; ++n) {
        const std::string candidate = withSuffix(wanted, n).string();
        const int fd = ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kFileMode);
        if (fd >= 0) {
            chosen = candidate;
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

// Moves `from` to `to` unless `to` exists: 0, or the reason (EEXIST when the name is taken).
int moveWithoutReplacing(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // A file system without that kind of rename: a new link fails on an existing name as well.
    if (::link(from.c_str(), to.c_str()) != 0)
        return errno;
    ::unlink(from.c_str());
    return 0;
}

// time() reads the coarse clock, which can lag the precise one by a few milliseconds; lines written right
// after a task fires at the start of a second must show that second.
std::time_t preciseNow() {
    return std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
}

void writeAll(int fd, const char* data, size_t left) {
    while (left > 0) {
        ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        data += n;
        left -= static_cast<size_t>(n);
    }
}

std::tm localTime(std::time_t moment) {
    std::tm tm{};
    localtime_r(&moment, &tm);
    return tm;
}

// Creates `dir` with all missing parents; true when it exists as a directory afterwards.
bool makeSureDirectory(const std::string& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return std::filesystem::is_directory(dir, ec);
}

std::atomic<LogWriter*> g_processLog{nullptr};
std::atomic<bool> g_debug{false};

}  // namespace

LogCharset parseLogCharset(std::string_view value) {
    const std::string trimmed = trimText(value);
    return equalsIgnoreCase(trimmed, "utf-8") || equalsIgnoreCase(trimmed, "utf8") ? LogCharset::Utf8
                                                                                   : LogCharset::Internal;
}

std::string dateTimeText(const std::tm& t) {
    char buffer[128];
    std::string text = utf8ToGbk("年月日时分秒");  // six two-byte characters
    auto part = [&](int index) { return text.substr(static_cast<size_t>(index) * 2, 2); };
    std::snprintf(buffer, sizeof buffer, "%d", t.tm_year + 1900);
    std::string out = buffer + part(0);
    out += std::to_string(t.tm_mon + 1) + part(1);
    out += std::to_string(t.tm_mday) + part(2);
    if (t.tm_sec != 0) {
        out += std::to_string(t.tm_hour) + part(3) + std::to_string(t.tm_min) + part(4) +
               std::to_string(t.tm_sec) + part(5);
    } else if (t.tm_min != 0) {
        out += std::to_string(t.tm_hour) + part(3) + std::to_string(t.tm_min) + part(4);
    } else if (t.tm_hour != 0) {
        out += std::to_string(t.tm_hour) + part(3);
    }
    return out;
}

std::string dateTimeText(std::time_t moment) {
    return dateTimeText(localTime(moment));
}

LogWriter::LogWriter() : timeFormat_(kDefaultTimeFormat) {}

LogWriter::~LogWriter() {
    close();
}

void LogWriter::open(const OpenOptions& options) {
    std::lock_guard lifecycle(lifecycle_);
    GuardedLock lock(logLock_);
    if (fd_ >= 0)
        return;  // opened once per run
    std::string defaultDir = options.runDir + "/log";
    std::string dir;
    if (options.directory && !options.directory->empty()) {
        std::string wanted = gbkToUtf8(*options.directory);
        std::error_code ec;
        if (std::filesystem::is_directory(wanted, ec) || makeSureDirectory(wanted))
            dir = wanted;
    }
    if (dir.empty()) {
        dir = defaultDir;
        makeSureDirectory(dir);
    }
    std::string name;
    if (options.fileName) {
        name = *options.fileName;
        renameAtClose_ = name.find("[end-time]") != std::string::npos;
        replaceAll(name, "[end-time]", "");
    } else {
        name = dateTimeText(preciseNow()) + ".txt";
        renameAtClose_ = true;
    }
    dir_ = dir;
    fileName_ = name;
    nameHadEndTime_ = renameAtClose_;
    maxBytes_ = options.maxBytes;
    keep_ = options.keep;
    fileBytes_ = 0;
    fd_ = createFresh(std::filesystem::path(dir) / gbkToUtf8(name), path_);
    pruneClosedFiles();
    nextNumber_ = 1;
    lineTemplate_ = options.lineTemplate ? *options.lineTemplate : utf8ToGbk(kDefaultTemplate);
    if (options.timeFormat)
        timeFormat_ = *options.timeFormat;
    if (options.charset == LogCharset::Utf8) {
        lineTemplate_ = gbkToUtf8(lineTemplate_);
        timeFormat_ = gbkToUtf8(timeFormat_);
    }
    charset_.store(options.charset, std::memory_order_relaxed);
    cachedSecond_ = -1;
    if (fd_ < 0)
        return;
    try {
        writer_ = std::thread([this] { writeLoop(); });
    } catch (const std::system_error&) {
        // Without its thread the log cannot take lines: the run goes on without a log, as with no file.
        ::close(fd_);
        fd_ = -1;
        return;
    }
    accepting_ = true;
}

bool LogWriter::writeLine(std::string_view type, std::string_view content) {
    // A UTF-8 log converts the caller's parts before LogLock; template and time format were converted at
    // open.
    std::string utf8Type;
    std::string utf8Content;
    if (charset_.load(std::memory_order_relaxed) == LogCharset::Utf8) {
        utf8Type = gbkToUtf8(type);
        utf8Content = gbkToUtf8(content);
        type = utf8Type;
        content = utf8Content;
    }
    std::string escapedType;
    std::string escapedContent;
    type = escapeControls(type, escapedType);
    content = escapeControls(content, escapedContent);
    GuardedLock lock(logLock_);
    if (!accepting_ || fd_ < 0)
        return false;
    if (pending_.size() >= kMaxPending) {
        // The file takes the lines more slowly than they come: wait for it rather than grow without bound.
        flushWanted_ = std::max(flushWanted_, appended_);
        wake_.notify_one();
        lock.wait(batchDone_, [this] { return pending_.size() < kMaxPending || !accepting_; });
        if (!accepting_)
            return false;
    }
    std::string line = lineTemplate_;
    replaceAll(line, "[num]", std::to_string(nextNumber_));
    replaceAll(line, "[type]", type);
    replaceAll(line, "[content]", content);
    replaceAll(line, "[time]", timeText(preciseNow()));
    line += "\r\n";
    ++nextNumber_;  // a failed write is not reported; the number still advances
    // The first line of a batch wakes the writer thread (a system call only when it sleeps); the others
    // join the batch it is collecting.
    const bool first = pending_.empty();
    if (first)
        firstPendingAt_ = std::chrono::steady_clock::now();
    pending_ += line;
    appended_ += line.size();
    lock.unlock();
    if (first)
        wake_.notify_one();
    return true;
}

void LogWriter::flush() {
    GuardedLock lock(logLock_);
    const uint64_t target = appended_;
    if (!accepting_ || flushed_ >= target)
        return;
    flushWanted_ = std::max(flushWanted_, target);
    wake_.notify_one();
    lock.wait(batchDone_, [this, target] { return flushed_ >= target || !accepting_; });
}

void LogWriter::writeLoop() {
    pthread_setname_np(pthread_self(), "log writer");
    std::string batch;
    std::unique_lock lock(logLock_);
    for (;;) {
        wake_.wait(lock, [this] { return !pending_.empty() || stopping_; });
        if (pending_.empty())
            break;  // stopping, and everything is written
        // Lines that come in the next moments join this batch, unless a flush or the end is waited for.
        wake_.wait_until(lock, firstPendingAt_ + kBatchDelay,
                         [this] { return stopping_ || flushWanted_ > flushed_; });
        batch.swap(pending_);
        const uint64_t through = appended_;
        lock.unlock();
        writeBatch(batch);
        // The two buffers trade places batch by batch and keep their room, unless a burst made it large.
        if (batch.capacity() > kKeptCapacity)
            std::string().swap(batch);
        batch.clear();
        lock.lock();
        flushed_ = through;
        batchDone_.notify_all();
    }
    // Lines that come from now on are refused: nothing is left behind unwritten.
    accepting_ = false;
    batchDone_.notify_all();
}

void LogWriter::writeBatch(const std::string& batch) {
    size_t at = 0;
    while (at < batch.size()) {
        size_t end = batch.size();
        if (maxBytes_ != 0) {
            // The file ends with the line that reaches the limit; the rest goes to the next file.
            const uint64_t room = maxBytes_ > fileBytes_ ? maxBytes_ - fileBytes_ : 1;
            const size_t last =
                batch.find('\n', at + static_cast<size_t>(std::min<uint64_t>(room - 1, end - at)));
            if (last != std::string::npos)
                end = last + 1;
        }
        if (fd_ >= 0)
            writeAll(fd_, batch.data() + at, end - at);
        fileBytes_ += end - at;
        at = end;
        if (maxBytes_ != 0 && fileBytes_ >= maxBytes_ && fd_ >= 0) {
            GuardedLock lock(logLock_);
            rotate();
        }
    }
}

const std::string& LogWriter::timeText(std::time_t moment) {
    if (moment != cachedSecond_) {
        std::tm now = localTime(moment);
        std::string time = timeFormat_;
        replaceAll(time, "%M", std::to_string(now.tm_min));
        replaceAll(time, "%y", std::to_string(now.tm_year + 1900));
        replaceAll(time, "%m", std::to_string(now.tm_mon + 1));
        replaceAll(time, "%d", std::to_string(now.tm_mday));
        replaceAll(time, "%H", std::to_string(now.tm_hour));
        replaceAll(time, "%S", std::to_string(now.tm_sec));
        cachedTime_ = std::move(time);
        cachedSecond_ = moment;
    }
    return cachedTime_;
}

void LogWriter::close() {
    std::lock_guard lifecycle(lifecycle_);
    if (writer_.joinable()) {
        {
            GuardedLock lock(logLock_);
            stopping_ = true;
        }
        wake_.notify_one();
        writer_.join();
    }
    GuardedLock lock(logLock_);
    stopping_ = false;
    if (fd_ < 0)
        return;
    finishFile();
    pruneClosedFiles();
}

void LogWriter::finishFile() {
    ::close(fd_);
    fd_ = -1;
    if (!renameAtClose_)
        return;
    renameAtClose_ = false;
    // The end time goes after the whole name, a "-N" of the start included. A name another run already
    // ended with (both ended in the same second) is not replaced: this one gets a "-N" of its own.
    const std::filesystem::path current(path_);
    const std::filesystem::path renamed =
        current.parent_path() / (current.stem().string() + "-" + gbkToUtf8(dateTimeText(preciseNow())) +
                                 current.extension().string());
    for (int n = 1; n <= kMaxNameSuffix; ++n) {
        const std::string candidate = withSuffix(renamed, n).string();
        const int result = moveWithoutReplacing(path_, candidate);
        if (result == 0)
            path_ = candidate;
        if (result != EEXIST)
            break;  // moved, or not movable at all: the file keeps its start-time name
    }
}

void LogWriter::rotate() {
    finishFile();
    // The next file is named like the first one: after the moment it begins when the first name carried
    // the end time, else the same name, which the writer then gives a "-N".
    std::string name = fileName_;
    if (nameHadEndTime_) {
        const std::string extension = std::filesystem::path(fileName_).extension().string();
        name = dateTimeText(preciseNow()) + extension;
    }
    renameAtClose_ = nameHadEndTime_;
    fileBytes_ = 0;
    fd_ = createFresh(std::filesystem::path(dir_) / gbkToUtf8(name), path_);
    pruneClosedFiles();
}

void LogWriter::pruneClosedFiles() {
    if (keep_ > 0 && !dir_.empty())
        pruneClosedLogs(dir_, keep_);
}

bool LogWriter::isOpen() const {
    GuardedLock lock(logLock_);
    return fd_ >= 0;
}

std::string LogWriter::filePath() const {
    GuardedLock lock(logLock_);
    return path_;
}

void bindProcessLog(LogWriter* writer, bool debug) {
    g_debug.store(debug);
    g_processLog.store(writer);
}

void unbindProcessLog() {
    g_processLog.store(nullptr);
}

bool processDebug() {
    return g_debug.load();
}

void flushProcessLog() {
    LogWriter* writer = g_processLog.load(std::memory_order_acquire);
    if (writer != nullptr)
        writer->flush();
}

bool logLine(std::string_view type, std::string_view content, bool debugOnly) {
    if (debugOnly && !g_debug.load(std::memory_order_relaxed))
        return false;
    LogWriter* writer = g_processLog.load(std::memory_order_acquire);
    if (writer == nullptr)
        return false;
    return writer->writeLine(type, content);
}

}  // namespace kestrum
