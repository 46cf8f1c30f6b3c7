// Splitting of command templates into argument vectors, and reply rendering.
#include <gtest/gtest.h>
#include <hiredis/hiredis.h>

#include <random>

#include "redis/command_words.h"

namespace kestrum {
namespace {

struct WordsCase {
    const char* name;
    std::string commandTemplate;
    std::vector<std::string> params;
    std::vector<std::string> words;  // expected; empty means a failure is expected
};

TEST(CommandWords, SplitsLikeRedisCliAndFillsParametersWhole) {
    const std::vector<WordsCase> cases = {
        {"plain words, extra blanks", "  SET  a   b ", {}, {"SET", "a", "b"}},
        {"parameters keep blanks and quotes",
         "SET {1} {2}",
         {"my key", "say \"hi\" 'x'"},
         {"SET", "my key", "say \"hi\" 'x'"}},
        {"missing parameter is an empty word", "SET {1} {3}", {"k", "v"}, {"SET", "k", ""}},
        {"order without parameters: {1} is empty", "SET {1} x", {}, {"SET", "", "x"}},
        {"parameter inside a word", "GET user:{1}:name", {"42"}, {"GET", "user:42:name"}},
        {"parameter text is never re-split or unescaped",
         "SET k {1}",
         {"a\\n\" b"},
         {"SET", "k", "a\\n\" b"}},
        {"double quotes group with escapes", "SET k \"a b\\n\\x41\\\"\"", {}, {"SET", "k", "a b\nA\""}},
        {"single quotes group, only \\' inside", "SET k 'it\\'s \\n'", {}, {"SET", "k", "it's \\n"}},
        {"empty quoted word", "SET k \"\"", {}, {"SET", "k", ""}},
        {"two backquotes are a double quote", "SET k ``a b``", {}, {"SET", "k", "a b"}},
        {"template escapes are data", "SET k a\\tb\\r\\nc\\'d\\{1\\}", {"P"}, {"SET", "k", "a\tb\r\nc'd{1}"}},
        {"other backslashes stay", "SET k a\\zb", {}, {"SET", "k", "a\\zb"}},
        {"escaped backslash cannot escape the quote", "SET k \"a\\\\\"", {}, {"SET", "k", "a\\"}},
        {"placeholder with huge index is empty", "SET k {99999999999}", {"p"}, {"SET", "k", ""}},
        {"unterminated placeholder is text", "SET k {1", {"p"}, {"SET", "k", "{1"}},
        {"unbalanced double quote", "SET k \"abc", {}, {}},
        {"unbalanced single quote", "SET k 'abc", {}, {}},
        {"closing quote glued to text", "SET k \"a\"b", {}, {}},
        {"nothing to run", "   ", {}, {}},
        {"empty text", "", {}, {}},
    };
    for (const WordsCase& c : cases) {
        std::vector<std::string> words;
        std::string error;
        bool ok = buildCommandWords(c.commandTemplate, c.params, false, words, error);
        EXPECT_EQ(ok, !c.words.empty()) << c.name;
        if (ok) {
            EXPECT_EQ(words, c.words) << c.name;
        } else {
            EXPECT_FALSE(error.empty()) << c.name;
        }
    }
}

TEST(CommandWords, InternalMultibyteTrailBytesAreNotSyntax) {
    // GB18030 trail bytes may equal '\' (0x5C) or '{' (0x7B): inside a character they are data, so a closing
    // quote after one still closes, "\t" is no tab, and "{1}" is no placeholder.
    const std::string text =
        "SET \"\x95\x5c\" \x81\x7b"
        "1} \x95\x5ct \x81\x30\x81\x30";
    std::vector<std::string> words;
    std::string error;
    ASSERT_TRUE(buildCommandWords(text, {"P"}, true, words, error)) << error;
    EXPECT_EQ(words, (std::vector<std::string>{"SET", "\x95\x5c",
                                               "\x81\x7b"
                                               "1}",
                                               "\x95\x5ct", "\x81\x30\x81\x30"}));
}

TEST(CommandWords, RandomInputNeverBreaksParametersOrTheSplitter) {
    // Bytes that mean something somewhere: quotes, escapes, braces, blanks, GB18030 lead and trail bytes.
    const std::string alphabet = std::string("\\\"'`{}1x \t\r\n") + "\x81\x5c\x7b\x30\xff";
    std::mt19937 random(7);
    auto randomText = [&](size_t maxLength) {
        std::string text(random() % (maxLength + 1), ' ');
        for (char& c : text)
            c = alphabet[random() % alphabet.size()];
        return text;
    };
    for (int round = 0; round < 3000; ++round) {
        const std::string p1 = randomText(12), p2 = randomText(12);
        for (bool multibyte : {false, true}) {
            std::vector<std::string> words;
            std::string error;
            ASSERT_TRUE(buildCommandWords("SET {1} {2}", {p1, p2}, multibyte, words, error));
            ASSERT_EQ(words, (std::vector<std::string>{"SET", p1, p2}));
            // Any template: a result or an error, never a crash or an empty command.
            if (buildCommandWords(randomText(24), {p1}, multibyte, words, error))
                EXPECT_FALSE(words.empty());
            else
                EXPECT_FALSE(error.empty());
        }
    }
}

TEST(ReplyToText, EveryReplyKind) {
    std::string result, error;
    redisReply status{};
    status.type = REDIS_REPLY_STATUS;
    status.str = const_cast<char*>("OK");
    status.len = 2;
    ASSERT_TRUE(replyToText(&status, true, result, error));
    EXPECT_EQ(result, "OK");

    redisReply number{};
    number.type = REDIS_REPLY_INTEGER;
    number.integer = -42;
    ASSERT_TRUE(replyToText(&number, true, result, error));
    EXPECT_EQ(result, "-42");

    redisReply nil{};
    nil.type = REDIS_REPLY_NIL;
    result = "stale";
    ASSERT_TRUE(replyToText(&nil, true, result, error));
    EXPECT_EQ(result, "");

    redisReply bulk{};
    bulk.type = REDIS_REPLY_STRING;
    bulk.str = const_cast<char*>(
        "q\"\\\n\x01"
        "\xE4\xB8\xAD");  // quote, backslash, LF, control, UTF-8 "中"
    bulk.len = 8;
    redisReply inner[2]{};
    inner[0].type = REDIS_REPLY_INTEGER;
    inner[0].integer = 7;
    inner[1].type = REDIS_REPLY_NIL;
    redisReply* innerElements[] = {&inner[0], &inner[1]};
    redisReply nested{};
    nested.type = REDIS_REPLY_ARRAY;
    nested.elements = 2;
    nested.element = innerElements;
    redisReply* outerElements[] = {&bulk, &nested, &status};
    redisReply array{};
    array.type = REDIS_REPLY_ARRAY;
    array.elements = 3;
    array.element = outerElements;
    ASSERT_TRUE(replyToText(&array, true, result, error));
    EXPECT_EQ(result, "[\"q\\\"\\\\\\n\\u0001\xD6\xD0\",[7,null],\"OK\"]");  // "中" in GBK is D6 D0

    redisReply empty{};
    empty.type = REDIS_REPLY_ARRAY;
    ASSERT_TRUE(replyToText(&empty, true, result, error));
    EXPECT_EQ(result, "[]");

    redisReply failure{};
    failure.type = REDIS_REPLY_ERROR;
    failure.str = const_cast<char*>("ERR unknown command");
    failure.len = 19;
    result = "kept";
    EXPECT_FALSE(replyToText(&failure, true, result, error));
    EXPECT_EQ(error, "ERR unknown command");
    EXPECT_EQ(result, "kept");
}

}  // namespace
}  // namespace kestrum
