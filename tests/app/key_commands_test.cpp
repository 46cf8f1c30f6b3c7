// kestrum --new-key and --hash-key: the section --new-key prints identifies the key it prints once pasted
// into callers.ini, --hash-key agrees with it, neither starts the server, and a key never shows up in a
// complaint.
#include "app/key_commands.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "http/callers.h"
#include "support/kestrum_process.h"
#include "util/ini.h"

namespace kestrum {
namespace {

using testing::CommandResult;
using testing::runKestrum;

// Runs `kestrum --hash-key` with `input` on standard input; returns standard output, `status` the exit
// status.
std::string hashKeyCommand(const std::string& input, int& status) {
    testing::TempDir dir;
    dir.write("input", input);
    const std::string command = std::string("'") + KESTRUM_BINARY + "' --hash-key < '" + dir.path() +
                                "/input' 2>'" + dir.path() + "/err'";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    std::string out;
    char buffer[256];
    size_t n = 0;
    while (pipe != nullptr && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    const int raw = pipe != nullptr ? ::pclose(pipe) : -1;
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return out + dir.read("err");
}

TEST(KeyCommandsTest, NewKeySectionIdentifiesTheKeyAndHashKeyAgrees) {
    testing::TempDir dir;
    CommandResult result = runKestrum({"--new-key", "reports.v2"}, dir.path());
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));  // no log, no file

    // The key stands alone on the second line; the section starts at "[".
    const std::string& out = result.out;
    const size_t keyStart = out.find('\n') + 1;
    const std::string key = out.substr(keyStart, out.find('\n', keyStart) - keyStart);
    ASSERT_EQ(key.size(), 43u) << out;
    const std::string section = out.substr(out.find("\n[") + 1);
    EXPECT_EQ(section.find(key), std::string::npos) << "the section must not carry the key itself";

    CallerRules::LoadResult rules = CallerRules::parse(IniFile::parse(section), "127.0.0.1");
    ASSERT_TRUE(rules.rules) << rules.firstProblemLine("callers.ini");
    const Caller* caller = rules.rules->findByKey(key);
    ASSERT_NE(caller, nullptr);
    EXPECT_EQ(caller->name, "reports.v2");
    EXPECT_EQ(caller->rights, 0u);  // the printed section grants nothing until allow is filled in

    int status = -1;
    EXPECT_EQ(hashKeyCommand(key + "\n", status), sha256Hex(caller->keyHashes.at(0)) + "\n");
    EXPECT_EQ(status, 0);

    // Two runs give two different keys.
    CommandResult again = runKestrum({"--new-key", "reports.v2"});
    EXPECT_NE(again.out, result.out);
}

TEST(KeyCommandsTest, HashKeyInput) {
    struct Case {
        const char* name;
        std::string input;
        const char* key;  // nullptr: refused
    } cases[] = {
        {"key and LF", "abc\n", "abc"},
        {"key and CR LF", "abc\r\n", "abc"},
        {"key alone", "abc", "abc"},
        {"padding", "abc==\n", "abc=="},
        {"empty", "", nullptr},
        {"only a line break", "\n", nullptr},
        {"two line breaks", "abc\n\n", nullptr},
        {"two lines", "abc\ndef\n", nullptr},
        {"blank inside", "ab c\n", nullptr},
        {"leading blank", " abc\n", nullptr},
        {"CR alone", "abc\r", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string key;
        std::string error;
        const bool ok = keyFromInput(c.input, key, error);
        EXPECT_EQ(ok, c.key != nullptr);
        if (ok)
            EXPECT_EQ(key, c.key);
        else
            EXPECT_FALSE(error.empty());
    }
}

TEST(KeyCommandsTest, RefusalsSayWhyWithoutShowingTheInput) {
    int status = -1;
    const std::string secret = "not a key but secret";
    std::string said = hashKeyCommand(secret + "\n", status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(
        said,
        "kestrum: standard input is not one key (one line of letters, digits, - . _ ~ + / and trailing =)\n");
    EXPECT_EQ(hashKeyCommand(std::string(5000, 'k'), status),
              "kestrum: standard input is longer than any key\n");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(hashKeyCommand("", status), "kestrum: no key on standard input\n");
    EXPECT_EQ(status, 1);

    CommandResult badName = runKestrum({"--new-key", "my app"});
    EXPECT_EQ(badName.status, 2);
    EXPECT_EQ(badName.out, "");
    EXPECT_EQ(
        badName.err,
        "kestrum: a caller's name is a letter or digit, then letters, digits, \"_\", \"-\" or \".\"; at "
        "most 64\n");
    EXPECT_EQ(runKestrum({"--new-key", "--help"}).status, 2);  // an option is no name
    CommandResult noName = runKestrum({"--new-key"});
    EXPECT_EQ(noName.status, 2);
    EXPECT_EQ(noName.err.rfind("kestrum: --new-key needs the caller's name\nusage: kestrum", 0), 0u)
        << noName.err;

    CommandResult help = runKestrum({"--help"});
    EXPECT_NE(help.out.find("--new-key NAME"), std::string::npos);
    EXPECT_NE(help.out.find("--hash-key"), std::string::npos);
}

}  // namespace
}  // namespace kestrum
