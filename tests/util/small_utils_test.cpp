#include <gtest/gtest.h>

#include <regex>
#include <thread>
#include <vector>

#include "util/regex_matcher.h"
#include "util/sync_map.h"

namespace kestrum {
namespace {

TEST(RegexMatcher, CollapsesEmptyLines) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"Host:a\r\nAccept:b", "Host:a\r\nAccept:b"},
        {"Host:a\r\n\r\nAccept:b", "Host:a\r\nAccept:b"},
        {"a\r\n \t\r\n\r\nb\r\n\r\nc", "a\r\nb\r\nc"},  // greedy over several lines, every occurrence
        {"a\n\nb", "a\n\nb"},                           // no CR: nothing to remove
    };
    for (const Case& c : cases) {
        RegexMatcher matcher;
        ASSERT_TRUE(matcher.prepare("\\n\\s*\\r", c.in));
        EXPECT_EQ(matcher.replace(""), c.out);
        EXPECT_EQ(collapseEmptyLines(c.in), c.out);
    }
}

TEST(RegexMatcher, InvalidPatternLeavesTheSubject) {
    RegexMatcher matcher;
    EXPECT_FALSE(matcher.prepare("(", "text"));
    EXPECT_EQ(matcher.replace("x"), "text");
}

TEST(SyncMap, ConcurrentSetAndGet) {
    SyncMap map;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&map, t] {
            for (int i = 0; i < 1000; ++i)
                map.set(std::to_string(t * 1000 + i), "1");
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(map.size(), 4000u);
    EXPECT_EQ(map.get("3999"), "1");
    EXPECT_TRUE(map.remove("3999"));
    EXPECT_FALSE(map.get("3999").has_value());
    map.clear();
    EXPECT_EQ(map.size(), 0u);
}

}  // namespace
}  // namespace kestrum
