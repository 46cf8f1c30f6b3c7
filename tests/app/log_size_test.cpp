// config.ini [sys] log_keep and log_max_mb through the kestrum binary.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "log/log_files.h"
#include "support/kestrum_process.h"

namespace kestrum {
namespace {

namespace fs = std::filesystem;
using testing::gb;
using testing::KestrumProcess;
using testing::RunDir;

// Closed files of earlier runs beyond log_keep are deleted when the run's log opens, oldest first; the open
// file of a run that never ended and other files stay. At the end the run's own file counts too.
TEST(LogSizeBinaryTest, KeepDeletesTheOldestClosedFilesOfEarlierRuns) {
    RunDir dir;
    dir.installCertificates();
    dir.switchModulesOff();
    dir.write("config.ini", "[sys]\nlocal_ip=127.0.0.1\nlog_keep=2\nlog_max_mb=1\n");
    const fs::path log = fs::path(dir.path()) / "log";
    fs::create_directories(log);
    const auto now = fs::file_time_type::clock::now();
    const char* const earlier[] = {"2026年1月1日-2026年1月1日1时.txt", "2026年1月2日-2026年1月2日1时.txt",
                                   "2026年1月3日-2026年1月3日1时.txt"};
    for (int i = 0; i < 3; ++i) {
        std::ofstream(log / earlier[i]) << "1\r\n";
        fs::last_write_time(log / earlier[i], now - std::chrono::hours(72 - 24 * i));
    }
    std::ofstream(log / "2026年1月4日.txt") << "crashed run\r\n";
    std::ofstream(log / "notes.txt") << "x\r\n";

    KestrumProcess kestrum;
    ASSERT_TRUE(kestrum.start(dir.path()));
    ASSERT_TRUE(kestrum.waitForLog(dir, gb("will be free.")));
    EXPECT_FALSE(fs::exists(log / earlier[0]));
    EXPECT_TRUE(fs::exists(log / earlier[1]));
    EXPECT_TRUE(fs::exists(log / earlier[2]));
    EXPECT_TRUE(fs::exists(log / "2026年1月4日.txt"));
    EXPECT_TRUE(fs::exists(log / "notes.txt"));
    EXPECT_EQ(kestrum.stop(), 0);

    // Closing this run's file made it the newest closed file: the older of the two left goes.
    EXPECT_FALSE(fs::exists(log / earlier[1]));
    EXPECT_TRUE(fs::exists(log / earlier[2]));
    int closed = 0;
    for (const auto& entry : fs::directory_iterator(log))
        closed += isClosedLogName(entry.path().filename().string()) ? 1 : 0;
    EXPECT_EQ(closed, 2);
}

}  // namespace
}  // namespace kestrum
