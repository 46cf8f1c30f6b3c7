// ReplyMeter between a RESP stream and hiredis' reader: replies that fit pass unchanged, longer ones are cut
// without being passed on, and the stream stays in step however it is split.
#include <gtest/gtest.h>

#include <hiredis/hiredis.h>

#include <random>
#include <string>
#include <vector>

#include "redis/command_words.h"
#include "redis/reply_meter.h"

namespace kestrum {
namespace {

// A reply as the gateway renders it: text, or the error.
struct Rendered {
    bool ok = false;
    std::string text;
};

// Parses a whole stream with a reader of its own.
std::vector<Rendered> parseAll(const std::string& stream) {
    std::vector<Rendered> replies;
    redisReader* reader = redisReaderCreate();
    EXPECT_EQ(redisReaderFeed(reader, stream.data(), stream.size()), REDIS_OK);
    for (;;) {
        void* reply = nullptr;
        EXPECT_EQ(redisReaderGetReply(reader, &reply), REDIS_OK) << reader->errstr;
        if (reply == nullptr)
            break;
        Rendered rendered;
        std::string error;
        rendered.ok = replyToWireText(static_cast<redisReply*>(reply), true, rendered.text, error);
        if (!rendered.ok)
            rendered.text = error;
        replies.push_back(std::move(rendered));
        freeReplyObject(reply);
    }
    redisReaderFree(reader);
    return replies;
}

struct Metered {
    std::string passed;             // what the reader got
    std::vector<Rendered> replies;  // what it made of it
    std::vector<bool> cut;
};

// Feeds `stream` through a meter in pieces of the given sizes (cycled) and hands what it passes on to a
// reader after each piece, as a connection does.
Metered meter(const std::string& stream, size_t limit, const std::vector<size_t>& pieces) {
    ReplyMeter meter(limit);
    Metered result;
    redisReader* reader = redisReaderCreate();
    size_t at = 0;
    for (size_t k = 0; at < stream.size(); ++k) {
        const size_t take = std::min(pieces[k % pieces.size()], stream.size() - at);
        std::string passed;
        std::string error;
        EXPECT_TRUE(meter.feed(std::string_view(stream).substr(at, take), passed, error)) << error;
        at += take;
        result.passed += passed;
        EXPECT_EQ(redisReaderFeed(reader, passed.data(), passed.size()), REDIS_OK);
        for (;;) {
            void* reply = nullptr;
            EXPECT_EQ(redisReaderGetReply(reader, &reply), REDIS_OK) << reader->errstr;
            if (reply == nullptr)
                break;
            Rendered rendered;
            std::string problem;
            rendered.ok = replyToWireText(static_cast<redisReply*>(reply), true, rendered.text, problem);
            if (!rendered.ok)
                rendered.text = problem;
            result.replies.push_back(std::move(rendered));
            result.cut.push_back(meter.nextReplyCut());
            freeReplyObject(reply);
        }
    }
    redisReaderFree(reader);
    return result;
}

TEST(ReplyMeter, RepliesThatFitPassUnchangedLongerOnesAreCut) {
    const struct {
        const char* resp;
        size_t limit;
        bool cut;
    } cases[] = {
        {"+OK\r\n", 2, false},
        {"+OK\r\n", 1, true},
        {"+a\nb\rc\r\n", 5, false},  // only CR LF ends a line
        {"+a\nb\rc\r\n", 4, true},
        {"-ERR no such key\r\n", 100, false},
        {"-ERR no such key\r\n", 5, true},
        {":-12345\r\n", 6, false},
        {":-12345\r\n", 5, true},
        {"$5\r\nhello\r\n", 5, false},
        {"$5\r\nhello\r\n", 4, true},
        {"$-1\r\n", 0, false},
        {"$0\r\n\r\n", 0, false},
        {"*0\r\n", 2, false},
        {"*-1\r\n", 0, false},
        {"*2\r\n$1\r\na\r\n:7\r\n", 7, false},  // ["a",7]
        {"*2\r\n$1\r\na\r\n:7\r\n", 6, true},
        {"*3\r\n$-1\r\n*0\r\n+s\r\n", 13, false},  // [null,[],"s"]
        {"*3\r\n$-1\r\n*0\r\n+s\r\n", 12, true},
        {"*2\r\n*2\r\n:1\r\n:2\r\n$2\r\nab\r\n", 12, false},  // [[1,2],"ab"]
        {"*2\r\n*2\r\n:1\r\n:2\r\n$2\r\nab\r\n", 11, true},
    };
    for (const auto& c : cases) {
        // Followed by an empty string, which fits any limit.
        const std::string stream = std::string(c.resp) + "$0\r\n\r\n";
        for (size_t piece : {size_t(1), size_t(3), stream.size()}) {
            const Metered m = meter(stream, c.limit, {piece});
            ASSERT_EQ(m.replies.size(), 2u) << c.resp;
            EXPECT_EQ(m.cut[0], c.cut) << c.resp << " limit " << c.limit;
            EXPECT_FALSE(m.cut[1]);
            EXPECT_TRUE(m.replies[1].ok);
            EXPECT_EQ(m.passed.substr(m.passed.size() - 6), "$0\r\n\r\n");
            if (!c.cut) {
                EXPECT_EQ(m.passed, stream) << c.resp;
            }
        }
    }
}

TEST(ReplyMeter, AHugeStringOrArrayIsNeverPassedOn) {
    const size_t limit = 1000;
    const std::string value(50 * 1024 * 1024, 'v');
    std::string stream = "$" + std::to_string(value.size()) + "\r\n" + value + "\r\n";
    // An array that announces more elements than the limit allows: cut at its header.
    stream += "*100000\r\n";
    for (int i = 0; i < 100000; ++i)
        stream += "$20\r\n" + std::string(20, 'e') + "\r\n";
    // One whose elements fit one by one but not together: the first ones pass, the rest are replaced.
    stream += "*100\r\n";
    for (int i = 0; i < 100; ++i)
        stream += "*1\r\n$20\r\n" + std::string(20, 'f') + "\r\n";
    stream += ":1\r\n";

    const Metered m = meter(stream, limit, {16 * 1024, 7, 4093});
    ASSERT_EQ(m.replies.size(), 4u);
    EXPECT_TRUE(m.cut[0]);
    EXPECT_TRUE(m.cut[1]);
    EXPECT_TRUE(m.cut[2]);
    EXPECT_FALSE(m.cut[3]);
    EXPECT_EQ(m.replies[3].text, "1");
    // Replaced: the value, the first array and the late elements of the second.
    const std::string fIn(20, 'f');
    size_t passedElements = 0;
    for (size_t at = m.passed.find(fIn); at != std::string::npos; at = m.passed.find(fIn, at + 1))
        ++passedElements;
    EXPECT_GT(passedElements, 10u);
    EXPECT_LT(passedElements, 50u);
    EXPECT_LT(m.passed.size(), 2 * limit);
}

TEST(ReplyMeter, BytesThatAreNoRespStopTheStream) {
    for (const char* bad :
         {"?x\r\n", "$abc\r\n", "*-2\r\n", "$-7\r\n", ":\r\n", "$12345678901234567890123\r\n"}) {
        ReplyMeter meter(100);
        std::string passed;
        std::string error;
        EXPECT_FALSE(meter.feed(bad, passed, error)) << bad;
        EXPECT_NE(error.find("malformed reply"), std::string::npos) << error;
    }
}

// Random replies (text without characters that need escaping, so a reply's rendered length is what the meter
// counts), random limits and random splits: every reply is cut exactly when its text is longer than the
// limit, the others arrive as they were, and the replies keep their order.
std::string randomReply(std::mt19937& random, int depth) {
    auto pick = [&](int n) { return int(random() % unsigned(n)); };
    auto word = [&] { return std::string(size_t(pick(30)), char('a' + pick(26))); };
    switch (pick(depth < 3 ? 8 : 6)) {
        case 0:
            return "+" + word() + "\r\n";
        case 1:
            return depth == 0 ? "-ERR " + word() + "\r\n" : "+" + word() + "\r\n";
        case 2:
            return ":" + std::to_string(int64_t(random()) - int64_t(random())) + "\r\n";
        case 3:
            return "$-1\r\n";
        case 4:
        case 5: {
            const std::string text = word();
            return "$" + std::to_string(text.size()) + "\r\n" + text + "\r\n";
        }
        case 6:
            return "*-1\r\n";
        default: {
            const int count = pick(6);
            std::string array = "*" + std::to_string(count) + "\r\n";
            for (int i = 0; i < count; ++i)
                array += randomReply(random, depth + 1);
            return array;
        }
    }
}

TEST(ReplyMeter, RandomStreamsStayInStep) {
    std::mt19937 random(20261211);
    for (int round = 0; round < 300; ++round) {
        std::string stream;
        const int count = 1 + int(random() % 20);
        for (int i = 0; i < count; ++i)
            stream += randomReply(random, 0);
        const std::vector<Rendered> original = parseAll(stream);
        ASSERT_EQ(original.size(), size_t(count));
        const size_t limit = random() % 120;
        std::vector<size_t> pieces;
        for (int k = 0; k < 5; ++k)
            pieces.push_back(1 + random() % 40);

        const Metered m = meter(stream, limit, pieces);
        ASSERT_EQ(m.replies.size(), original.size()) << stream;
        for (size_t i = 0; i < original.size(); ++i) {
            EXPECT_EQ(m.cut[i], original[i].text.size() > limit) << original[i].text << " limit " << limit;
            if (!m.cut[i]) {
                EXPECT_EQ(m.replies[i].ok, original[i].ok);
                EXPECT_EQ(m.replies[i].text, original[i].text);
            }
        }
    }
}

}  // namespace
}  // namespace kestrum
