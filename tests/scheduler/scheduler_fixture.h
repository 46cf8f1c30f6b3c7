// Shared fixture for registry and scheduler tests: a temporary run directory with a tasks folder, and the
// process log bound to a file in it so tests can read the lines written.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "log/log_writer.h"
#include "support/kestrum_process.h"

namespace kestrum::testing {

class SchedulerFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        LogWriter::OpenOptions options;
        options.runDir = dir_.path();
        options.fileName = "test.log";
        options.lineTemplate = "[type]|[content]";
        log_.open(options);
        bindProcessLog(&log_, false);
    }
    void TearDown() override { unbindProcessLog(); }

    const std::string& runDir() const { return dir_.path(); }
    // `name` as on disk (UTF-8).
    void writeTask(const std::string& name, const std::string& content) const {
        dir_.write("mod/crontab/tasks/" + name + ".ini", content);
    }
    // Lines of the log as "type|content" (internal encoding).
    // Waits until the log has a line that starts with `prefix`; that line, or "" after the time-out.
    std::string waitForLine(const std::string& prefix,
                            std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            for (const std::string& line : logLines())
                if (line.rfind(prefix, 0) == 0)
                    return line;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return {};
    }
    std::vector<std::string> logLines() const {
        log_.flush();
        std::string text = dir_.read("log/test.log");
        std::vector<std::string> lines;
        for (size_t start = 0; start < text.size();) {
            size_t end = text.find("\r\n", start);
            if (end == std::string::npos)
                end = text.size();
            lines.push_back(text.substr(start, end - start));
            start = end + 2;
        }
        return lines;
    }

    TempDir dir_;
    mutable LogWriter log_;  // flushed before the file is read
};

}  // namespace kestrum::testing
