#include "log/log_writer.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>
#include <vector>

#include "log/log_files.h"
#include "support/kestrum_process.h"
#include "util/encoding.h"

namespace kestrum {
namespace {

using testing::gb;

std::tm moment(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

TEST(DateTimeText, DropsTrailingZeroParts) {
    struct Case {
        std::tm t;
        const char* utf8;
    } cases[] = {
        {moment(2024, 3, 5, 9, 7, 5), "2024年3月5日9时7分5秒"},
        {moment(2024, 3, 5, 9, 7, 0), "2024年3月5日9时7分"},
        {moment(2024, 3, 5, 14, 0, 0), "2024年3月5日14时"},
        {moment(2024, 3, 5, 0, 0, 0), "2024年3月5日"},
        {moment(2024, 12, 31, 0, 0, 9), "2024年12月31日0时0分9秒"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(dateTimeText(c.t), gb(c.utf8));
}

class LogWriterTest : public ::testing::Test {
  protected:
    void openLog(std::optional<std::string> templ = std::nullopt) {
        LogWriter::OpenOptions options;
        options.runDir = dir.path();
        options.fileName = gb("2024年3月5日9时7分5秒[end-time].txt");
        options.lineTemplate = templ;
        writer.open(options);
    }
    // The file once every line written so far is in it.
    std::string content() {
        writer.flush();
        return testing::readFile(writer.filePath());
    }

    testing::TempDir dir;
    LogWriter writer;
};

TEST_F(LogWriterTest, NumberedLinesWithTemplateReplacementOrder) {
    EXPECT_FALSE(writer.writeLine("sys", "before open"));
    openLog();
    EXPECT_EQ(writer.filePath(), dir.path() + "/log/2024年3月5日9时7分5秒.txt");
    EXPECT_TRUE(writer.writeLine("crontab", gb("del task：backup")));
    EXPECT_TRUE(writer.writeLine("http", "at [time] keeps [num] and [type]"));
    std::string text = content();
    std::string sep = gb("丨");
    size_t firstEnd = text.find("\r\n");
    ASSERT_NE(firstEnd, std::string::npos);
    std::string first = text.substr(0, firstEnd);
    EXPECT_EQ(first.rfind("1" + sep, 0), 0u);
    EXPECT_NE(first.find(sep + "crontab" + sep + gb("del task：backup")), std::string::npos);
    std::string second = text.substr(firstEnd + 2);
    EXPECT_EQ(second.rfind("2" + sep, 0), 0u);
    EXPECT_EQ(second.find("[time]"), std::string::npos);  // replaced last, so inside content too
    EXPECT_NE(second.find("keeps [num] and [type]\r\n"), std::string::npos);
    EXPECT_EQ(text.back(), '\n');
}

TEST_F(LogWriterTest, CloseRenamesWithTheEndTime) {
    openLog();
    writer.writeLine("sys", "x");
    writer.close();
    EXPECT_FALSE(writer.writeLine("sys", "after close"));
    std::string name = std::filesystem::path(writer.filePath()).filename().string();
    EXPECT_EQ(name.rfind("2024年3月5日9时7分5秒-", 0), 0u) << name;
    EXPECT_EQ(name.substr(name.size() - 4), ".txt");
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "/log/2024年3月5日9时7分5秒.txt"));
}

TEST_F(LogWriterTest, NameWithoutEndTimeIsKept) {
    LogWriter::OpenOptions options;
    options.runDir = dir.path();
    options.directory = dir.path() + "/custom/deeper";
    options.fileName = "plain.txt";
    writer.open(options);
    writer.close();
    EXPECT_EQ(writer.filePath(), dir.path() + "/custom/deeper/plain.txt");
}

// A caller's bytes never break a line: every control character of the type and the content is escaped,
// everything else (backslashes, multibyte characters, the template) is written unchanged.
TEST_F(LogWriterTest, ControlCharactersAreEscapedSoOneEventIsOneLine) {
    openLog(std::string("[num]|[type]|[content]"));
    struct Case {
        std::string type;
        std::string content;
        std::string written;  // the line without number and CR LF
    } cases[] = {
        {"http", "a\r\n2|http|forged", "http|a\\r\\n2|http|forged"},
        {"http", "tab\there\nlf only\rcr only", "http|tab\\there\\nlf only\\rcr only"},
        {"x", std::string("nul\0 esc", 8) + "\x1B" + " del\x7F us\x1F",
         "x|nul\\x00 esc\\x1B del\\x7F us\\x1F"},
        {"x", "back\\slash \\r stays", "x|back\\slash \\r stays"},
        {gb("类\r\n型"), gb("名字\r\n（中文）"), gb("类\\r\\n型|名字\\r\\n（中文）")},
        {"x", "\x20space and \x7E tilde are plain", "x| space and ~ tilde are plain"},
    };
    std::string expected;
    int number = 1;
    for (const Case& c : cases) {
        EXPECT_TRUE(writer.writeLine(c.type, c.content));
        expected += std::to_string(number++) + "|" + c.written + "\r\n";
    }
    EXPECT_EQ(content(), expected);
}

TEST_F(LogWriterTest, FileIsCreatedForOwnerAndGroupOnly) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    openLog();
    ASSERT_TRUE(writer.isOpen());
    struct stat info {};
    ASSERT_EQ(::stat(writer.filePath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u & ~mask);
}

// Two runs that start in the same second ask for the same name: the later one gets "-2" and the earlier
// file keeps its lines; both get their own final name.
TEST_F(LogWriterTest, SameStartNameNeverTruncatesTheOtherRun) {
    openLog();
    writer.writeLine("sys", "first run");
    LogWriter second;
    LogWriter::OpenOptions options;
    options.runDir = dir.path();
    options.fileName = gb("2024年3月5日9时7分5秒[end-time].txt");
    second.open(options);
    ASSERT_TRUE(second.isOpen());
    EXPECT_EQ(second.filePath(), dir.path() + "/log/2024年3月5日9时7分5秒-2.txt");
    second.writeLine("sys", "second run");
    EXPECT_NE(content().find("first run"), std::string::npos);

    writer.close();
    second.close();
    ASSERT_NE(writer.filePath(), second.filePath());
    const std::string first = testing::readFile(writer.filePath());
    const std::string later = testing::readFile(second.filePath());
    EXPECT_NE(first.find("first run"), std::string::npos);
    EXPECT_EQ(first.find("second run"), std::string::npos);
    EXPECT_NE(later.find("second run"), std::string::npos);
    const std::string name = std::filesystem::path(second.filePath()).filename().string();
    EXPECT_EQ(name.rfind("2024年3月5日9时7分5秒-2-", 0), 0u) << name;  // the suffix survives the rename
}

// The final name is taken (another run of the same start ended in the same second): it is not replaced.
TEST_F(LogWriterTest, FinalNameTakenIsNotReplaced) {
    openLog();
    writer.writeLine("sys", "this run");
    // Whatever second the close falls in, its final name is already there.
    std::vector<std::string> taken;
    const std::time_t now = std::time(nullptr);
    for (std::time_t t = now - 1; t <= now + 30; ++t) {
        taken.push_back(dir.path() + "/log/" + gbkToUtf8(gb("2024年3月5日9时7分5秒-") + dateTimeText(t)) +
                        ".txt");
        std::ofstream(taken.back()) << "earlier run";
    }
    writer.close();
    for (const std::string& path : taken)
        EXPECT_EQ(testing::readFile(path), "earlier run") << path;
    const std::string name = std::filesystem::path(writer.filePath()).filename().string();
    EXPECT_EQ(name.substr(name.size() - 6), "-2.txt") << name;
    EXPECT_NE(testing::readFile(writer.filePath()).find("this run"), std::string::npos);
}

TEST(LogCharset, OnlyUtf8SpellingsSelectUtf8) {
    for (const char* value : {"utf-8", "UTF-8", " Utf8 ", "utf8"})
        EXPECT_EQ(parseLogCharset(value), LogCharset::Utf8) << value;
    for (const char* value : {"", "gbk", "gb18030", "utf-16", "utf-8x", "1"})
        EXPECT_EQ(parseLogCharset(value), LogCharset::Internal) << value;
}

// The same lines in both charsets: the UTF-8 file is exactly the internal file converted, separator and
// full-width punctuation included, CR LF and numbering unchanged.
TEST(LogCharset, Utf8FileIsTheInternalFileConverted) {
    testing::TempDir dir;
    const std::string contents[] = {gb("del task：backup"), "plain ascii", gb("名字（中文）。"),
                                    std::string("bad \xFF byte"), gb("两行\r\n一行")};
    std::string files[2];
    for (LogCharset charset : {LogCharset::Internal, LogCharset::Utf8}) {
        LogWriter writer;
        LogWriter::OpenOptions options;
        options.runDir = dir.path();
        options.fileName = charset == LogCharset::Utf8 ? "utf8.txt" : "internal.txt";
        options.timeFormat = "T";  // the same time text in both files
        options.charset = charset;
        writer.open(options);
        for (const std::string& content : contents)
            EXPECT_TRUE(writer.writeLine(gb("类型"), content));
        writer.close();
        files[charset == LogCharset::Utf8] = testing::readFile(writer.filePath());
    }
    EXPECT_EQ(files[1], gbkToUtf8(files[0]));
    EXPECT_EQ(files[1].substr(0, files[1].find("\r\n") + 2), "1丨T丨类型丨del task：backup\r\n");
    EXPECT_NE(files[1].find("4丨T丨类型丨bad \xEF\xBF\xBD byte\r\n"), std::string::npos);
    EXPECT_NE(files[1].find("5丨T丨类型丨两行\\r\\n一行\r\n"), std::string::npos);
    EXPECT_TRUE(isValidUtf8(files[1]));
}

TEST_F(LogWriterTest, DebugOnlyLinesNeedTheSwitchAndConsumeNoNumber) {
    openLog(std::string("[num]|[type]|[content]"));
    bindProcessLog(&writer, false);
    EXPECT_TRUE(logLine("sys", "a"));
    EXPECT_FALSE(logLine("http", "hidden", true));
    EXPECT_TRUE(logLine("sys", "b"));
    bindProcessLog(&writer, true);
    EXPECT_TRUE(logLine("http", "shown", true));
    unbindProcessLog();
    EXPECT_FALSE(logLine("sys", "dropped"));
    EXPECT_EQ(content(), "1|sys|a\r\n2|sys|b\r\n3|http|shown\r\n");
}

TEST_F(LogWriterTest, LinesFromManyThreadsNeverInterleave) {
    openLog(std::string("[num] [content]"));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 250; ++i)
                writer.writeLine("x", std::string(100, static_cast<char>('a' + t)));
        });
    }
    for (auto& thread : threads)
        thread.join();
    std::string text = content();
    size_t pos = 0;
    for (int expected = 1; expected <= 1000; ++expected) {
        size_t end = text.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos);
        std::string line = text.substr(pos, end - pos);
        std::string number = std::to_string(expected) + " ";
        ASSERT_EQ(line.rfind(number, 0), 0u) << line;
        std::string body = line.substr(number.size());
        ASSERT_EQ(body.size(), 100u);
        EXPECT_EQ(body.find_first_not_of(body[0]), std::string::npos);
        pos = end + 2;
    }
}

// The numbers of a file's lines "N text\r\n", in file order; empty when a line has another form.
std::vector<int> lineNumbers(const std::string& text) {
    std::vector<int> numbers;
    for (size_t pos = 0; pos < text.size();) {
        const size_t end = text.find("\r\n", pos);
        if (end == std::string::npos)
            return {};
        numbers.push_back(std::stoi(text.substr(pos, end - pos)));
        pos = end + 2;
    }
    return numbers;
}

bool countsFromOne(const std::vector<int>& numbers, int count) {
    if (numbers.size() != static_cast<size_t>(count))
        return false;
    for (int i = 0; i < count; ++i)
        if (numbers[static_cast<size_t>(i)] != i + 1)
            return false;
    return true;
}

// The caller never waits for the file: the writer thread takes a lone line there by itself, soon after.
TEST_F(LogWriterTest, ALineReachesTheFileWithoutAFlush) {
    openLog(std::string("[num] [content]"));
    ASSERT_TRUE(writer.writeLine("x", "alone"));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (testing::readFile(writer.filePath()).empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(testing::readFile(writer.filePath()), "1 alone\r\n");
}

// flush() returns with every earlier line in the file; close() writes what is still buffered before the
// file gets its final name. Bursts far larger than one batch, read straight from the file.
TEST_F(LogWriterTest, FlushAndCloseLeaveNothingInTheBuffer) {
    openLog(std::string("[num] [content]"));
    const std::string text(200, 'v');
    for (int i = 0; i < 20000; ++i)
        ASSERT_TRUE(writer.writeLine("x", text));
    writer.flush();
    EXPECT_TRUE(countsFromOne(lineNumbers(testing::readFile(writer.filePath())), 20000));
    for (int i = 0; i < 20000; ++i)
        ASSERT_TRUE(writer.writeLine("x", text));
    writer.close();
    EXPECT_FALSE(writer.writeLine("x", "after close"));
    writer.flush();  // nothing to wait for
    const std::string name = std::filesystem::path(writer.filePath()).filename().string();
    EXPECT_TRUE(isClosedLogName(name)) << name;
    EXPECT_TRUE(countsFromOne(lineNumbers(testing::readFile(writer.filePath())), 40000));
}

TEST(ClosedLogName, OnlyFinalNamesCount) {
    struct Case {
        const char* name;
        bool closed;
    } cases[] = {
        {"2024年3月5日9时7分5秒-2024年3月5日18时30分.txt", true},
        {"2024年3月5日-2024年3月6日.txt", true},
        {"2024年3月5日9时7分5秒-2-2024年3月5日18时30分5秒-3.txt", true},
        {"2024年3月5日9时7分5秒.txt", false},    // still being written
        {"2024年3月5日9时7分5秒-2.txt", false},  // a second run of the same second, still being written
        {"notes.txt", false},
        {"-2024年3月5日.txt", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(isClosedLogName(c.name), c.closed) << c.name;
}

// A file that reaches the size limit gets its final name as at the end of the run, and the lines go on in
// a new file with the next number: the files of one run together hold every line once, in order.
TEST_F(LogWriterTest, SizeLimitStartsANewFileAndNumberingGoesOn) {
    LogWriter::OpenOptions options;
    options.runDir = dir.path();
    options.fileName = gb("2024年3月5日9时7分5秒[end-time].txt");
    options.lineTemplate = std::string("[num] [content]");
    options.maxBytes = 1000;
    writer.open(options);
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(writer.writeLine("x", std::string(40, 'a')));
    const std::string open = std::filesystem::path(writer.filePath()).filename().string();
    EXPECT_FALSE(isClosedLogName(open)) << open;
    writer.close();

    std::map<int, std::string> lines;  // number -> line
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path() + "/log")) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(isClosedLogName(name)) << name;
        ++files;
        std::string text = testing::readFile(entry.path().string());
        EXPECT_LE(text.size(), 1000u + 46);  // the limit, plus at most the line that reaches it
        ASSERT_EQ(text.substr(text.size() - 2), "\r\n");
        for (size_t pos = 0; pos < text.size();) {
            size_t end = text.find("\r\n", pos);
            std::string line = text.substr(pos, end - pos);
            EXPECT_EQ(line.size(), std::to_string(std::stoi(line)).size() + 41) << line;
            lines[std::stoi(line)] = line;
            pos = end + 2;
        }
    }
    EXPECT_GE(files, 4);
    ASSERT_EQ(lines.size(), 100u);
    EXPECT_EQ(lines.begin()->first, 1);
    EXPECT_EQ(lines.rbegin()->first, 100);
}

// log_keep: the oldest closed files beyond the count go, previous runs' included; a file another run is
// still writing and unrelated files stay.
TEST_F(LogWriterTest, KeepDeletesTheOldestClosedFiles) {
    std::filesystem::create_directories(dir.path() + "/log");
    const std::string older = dir.path() + "/log/2024年3月4日-2024年3月4日9时.txt";
    const std::string otherRun = dir.path() + "/log/2024年3月4日10时.txt";
    const std::string notes = dir.path() + "/log/notes.txt";
    for (const std::string& path : {older, otherRun, notes})
        std::ofstream(path) << "x\r\n";
    std::filesystem::last_write_time(older,
                                     std::filesystem::file_time_type::clock::now() - std::chrono::hours(24));

    LogWriter::OpenOptions options;
    options.runDir = dir.path();
    options.fileName = gb("2024年3月5日9时7分5秒[end-time].txt");
    options.lineTemplate = std::string("[num] [content]");
    options.maxBytes = 500;
    options.keep = 2;
    writer.open(options);
    for (int i = 0; i < 60; ++i) {
        writer.writeLine("x", std::string(40, 'a'));
        // Closed files are ordered by the moment they were closed: give each its own.
        if (i % 10 == 9)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    writer.writeLine("x", "last");  // the current file may have just begun
    writer.flush();
    EXPECT_FALSE(std::filesystem::exists(older));
    EXPECT_TRUE(std::filesystem::exists(otherRun));
    EXPECT_TRUE(std::filesystem::exists(notes));
    int closed = 0;
    int last = 0;  // the highest line number kept in a closed file
    for (const auto& entry : std::filesystem::directory_iterator(dir.path() + "/log")) {
        const std::string name = entry.path().filename().string();
        if (!isClosedLogName(name))
            continue;
        ++closed;
        std::string text = testing::readFile(entry.path().string());
        const size_t lastLine = text.rfind("\r\n", text.size() - 3);
        last = std::max(last, std::stoi(text.substr(lastLine == std::string::npos ? 0 : lastLine + 2)));
    }
    EXPECT_EQ(closed, 2);
    const std::string current = testing::readFile(writer.filePath());
    EXPECT_EQ(std::stoi(current), last + 1);  // the newest closed files are the ones kept
}

}  // namespace
}  // namespace kestrum
