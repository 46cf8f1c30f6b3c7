#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "scheduler/program_launcher.h"

namespace kestrum {
namespace {

TEST(SplitShellWords, Table) {
    struct Case {
        std::string text;
        bool ok;
        std::vector<std::string> words;
    };
    const Case cases[] = {
        {"", true, {}},
        {"  a   b\tc ", true, {"a", "b", "c"}},
        {"'a b' \"c d\"", true, {"a b", "c d"}},
        {"x'y z'w", true, {"xy zw"}},
        {"\"a \\\"q\\\" \\n $x\"", true, {"a \"q\" \\n $x"}},
        {"a\\ b \\'c", true, {"a b", "'c"}},
        {"''", true, {""}},
        {"; | & > $(rm)", true, {";", "|", "&", ">", "$(rm)"}},
        {"'open", false, {"untouched"}},
        {"\"open", false, {"untouched"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<std::string> words{"untouched"};
        EXPECT_EQ(splitShellWords(c.text, words), c.ok);
        EXPECT_EQ(words, c.words);
    }
}

TEST(LaunchProgram, RefusesBadInput) {
    ProgramChild child;
    std::string error;
    EXPECT_FALSE(launchProgram("", "", child, error));
    EXPECT_FALSE(launchProgram("/bin/true", "'unterminated", child, error));
    EXPECT_EQ(error, "unterminated quote in params");
    EXPECT_EQ(child.pid(), -1);
}

// How a program ended and what it wrote: exit status or signal, standard output and error in one stream,
// kestrum's own descriptors never inherited.
TEST(LaunchProgram, WatchReportsTheEndAndTheOutput) {
    struct Case {
        const char* script;
        ProgramEnd::How how;
        int code;
        std::string output;
    } cases[] = {
        {"echo out; echo err >&2; exit 3", ProgramEnd::How::Exited, 3, "out\nerr\n"},
        {"printf \"no line end\"", ProgramEnd::How::Exited, 0, "no line end"},
        {"kill -TERM $$", ProgramEnd::How::Signalled, 15, ""},
        {"read x; echo \"[$x]\"", ProgramEnd::How::Exited, 0, "[]\n"},     // standard input is empty
        {"ls /proc/self/fd", ProgramEnd::How::Exited, 0, "0\n1\n2\n3\n"},  // 3: ls's own listing
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        ProgramChild child;
        std::string error;
        ASSERT_TRUE(launchProgram("/bin/sh", std::string("-c '") + c.script + "'", child, error)) << error;
        const ProgramEnd end = watchProgram(child, 4096);
        EXPECT_EQ(end.how, c.how);
        EXPECT_EQ(end.code, c.code);
        EXPECT_EQ(end.output, c.output);
        EXPECT_EQ(end.outputDropped, 0u);
    }
}

// A program that writes far more than is kept never blocks on a full pipe; one that leaves a background
// process holding its output ends when it ends, not when the pipe closes.
TEST(LaunchProgram, LargeOutputAndLingeringChildrenDoNotHoldTheWatch) {
    ProgramChild child;
    std::string error;
    ASSERT_TRUE(
        launchProgram("/bin/sh", "-c 'head -c 1000000 /dev/zero | tr \"\\0\" x; exit 0'", child, error));
    ProgramEnd end = watchProgram(child, 4096);
    EXPECT_EQ(end.how, ProgramEnd::How::Exited);
    EXPECT_EQ(end.output, std::string(4096, 'x'));
    EXPECT_EQ(end.outputDropped, 1000000u - 4096);

    ASSERT_TRUE(launchProgram("/bin/sh", "-c 'sleep 30 & echo started'", child, error));
    const auto before = std::chrono::steady_clock::now();
    end = watchProgram(child, 4096);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(20));
    EXPECT_EQ(end.how, ProgramEnd::How::Exited);
    EXPECT_EQ(end.output, "started\n");
}

TEST(LaunchProgram, StopEndsTheWatchAndLeavesTheProgramRunning) {
    ProgramChild child;
    std::string error;
    ASSERT_TRUE(launchProgram("/bin/sleep", "30", child, error));
    const int pid = child.pid();
    std::atomic<bool> stop{false};
    std::thread stopper([&stop] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stop.store(true);
    });
    const ProgramEnd end = watchProgram(child, 4096, &stop);
    stopper.join();
    EXPECT_EQ(end.how, ProgramEnd::How::StillRunning);
    EXPECT_EQ(::kill(pid, 0), 0);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

}  // namespace
}  // namespace kestrum
