// scripts/demo.sh keeps what the user changed: its preparation step, run twice, leaves an edited file and the
// TLS files alone; --reset puts the samples back.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "support/kestrum_process.h"

namespace kestrum {
namespace {

using testing::TempDir;

int prepare(const TempDir& dir, const std::string& extra = {}) {
    std::string command = "bash '" + std::string(KESTRUM_SOURCE_DIR) + "/scripts/demo.sh' --prepare-only " +
                          extra + " --dir '" + dir.path() + "/demo' 2>'" + dir.path() + "/messages'";
    return std::system(command.c_str());
}

TEST(DemoScriptTest, HelpWorksFromAnyDirectory) {
    TempDir dir;
    // A relative path from elsewhere: the script must find itself after it changed directory.
    const std::string script =
        std::filesystem::relative(std::string(KESTRUM_SOURCE_DIR) + "/scripts/demo.sh", dir.path()).string();
    const std::string command = "cd '" + dir.path() + "' && bash '" + script + "' --help 2>usage";
    EXPECT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(dir.read("usage").rfind("usage: scripts/demo.sh [--reset]", 0), 0u) << dir.read("usage");
}

TEST(DemoScriptTest, SecondRunKeepsEditsAndResetRestoresTheSamples) {
    TempDir dir;
    ASSERT_EQ(prepare(dir), 0);
    const std::string sample = dir.read("demo/config.ini");
    const std::string key = dir.read("demo/ssl-cert/server2.key");
    ASSERT_NE(sample.find("port_http=8080"), std::string::npos);
    ASSERT_FALSE(key.empty());
    ASSERT_FALSE(dir.read("demo/mod/crontab/tasks/heart.ini").empty());

    std::string edited = sample;
    edited.replace(edited.find("port_http=8080"), 14, "port_http=9090");
    dir.write("demo/config.ini", edited);
    std::remove((dir.path() + "/demo/mod/crontab/tasks/heart.ini").c_str());

    ASSERT_EQ(prepare(dir), 0);
    EXPECT_EQ(dir.read("demo/config.ini"), edited);
    EXPECT_EQ(dir.read("demo/ssl-cert/server2.key"), key);
    EXPECT_EQ(dir.read("demo/mod/crontab/tasks/heart.ini"), "");  // a deleted task stays deleted
    EXPECT_NE(dir.read("messages").find("kept your files"), std::string::npos);

    ASSERT_EQ(prepare(dir, "--reset"), 0);
    EXPECT_EQ(dir.read("demo/config.ini"), sample);
    EXPECT_NE(dir.read("demo/ssl-cert/server2.key"), key);
    EXPECT_FALSE(dir.read("demo/mod/crontab/tasks/heart.ini").empty());
}

}  // namespace
}  // namespace kestrum
