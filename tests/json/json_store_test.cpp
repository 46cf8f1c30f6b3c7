#include "json/json_store.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/json_document.h"

namespace kestrum {
namespace {

TEST(JsonStore, WithoutRootNothingIsCreated) {
    JsonStore store;
    EXPECT_FALSE(store.hasRoot());
    EXPECT_FALSE(store.setText("t.crontab", "x"));
    EXPECT_FALSE(store.setInt("t.status", 1));
    EXPECT_FALSE(store.exists("t"));
    EXPECT_FALSE(store.removeMember("", "t"));
    EXPECT_EQ(store.getText("t"), "");
    EXPECT_EQ(store.getInt("t"), 0);
    EXPECT_EQ(store.toText(), "");
    std::vector<std::string> names{"stale"};
    EXPECT_EQ(store.memberNames("", names), 0);
    EXPECT_TRUE(names.empty());
    EXPECT_FALSE(store.hasRoot());
}

TEST(JsonStore, RegistryLifecycle) {
    JsonStore store;
    int code = 99;
    size_t stop = 99;
    ASSERT_TRUE(store.load("{}", true, &code, &stop));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(stop, 2u);
    EXPECT_FALSE(store.exists(""));  // even with a root
    EXPECT_FALSE(store.exists(".."));

    ASSERT_TRUE(store.setInt("backup.status", 5));
    ASSERT_TRUE(store.setText("backup.crontab", "0 */5 * * * *"));
    ASSERT_TRUE(store.setText("backup.callback", "http://127.0.0.1/x"));
    ASSERT_TRUE(store.setInt("backup.time.second", -3));
    ASSERT_TRUE(store.setInt("report.status", 0));
    EXPECT_EQ(store.getText("backup.status"), "5");
    EXPECT_EQ(store.getInt("backup.status"), 5);
    EXPECT_EQ(store.getInt("backup.time.second"), -3);
    EXPECT_TRUE(store.exists("backup.time.second"));
    EXPECT_FALSE(store.exists("backup.time.minute"));
    EXPECT_EQ(store.toText("report"), R"({"status":0})");
    EXPECT_EQ(
        store.toText("backup"),
        R"({"status":5,"crontab":"0 *\/5 * * * *","callback":"http:\/\/127.0.0.1\/x","time":{"second":-3}})");
    ASSERT_TRUE(store.setInt("backup.status", 1));  // overwritten in place
    std::vector<std::string> names;
    ASSERT_EQ(store.memberNames("backup", names), 4);
    EXPECT_EQ(names.front(), "status");

    // The window counts tasks by reading the store's text back into a document.
    JsonDocument counter;
    ASSERT_TRUE(counter.parse(store.toText()));
    EXPECT_EQ(counter.memberNames("", names), 2);

    const std::string before = store.toText();
    EXPECT_FALSE(store.removeMember("", "missing"));
    EXPECT_EQ(store.toText(), before);
    EXPECT_FALSE(store.removeMember("backup.status", "x"));  // not an Object
    EXPECT_TRUE(store.removeMember("", "backup"));
    EXPECT_FALSE(store.exists("backup"));
    EXPECT_EQ(store.toText(), R"({"report":{"status":0}})");
    ASSERT_TRUE(store.setInt("backup.status", 2));  // a removed key comes back at the end
    EXPECT_EQ(store.toText(), R"({"report":{"status":0},"backup":{"status":2}})");

    ASSERT_TRUE(store.load("{}"));  // a new load starts over
    EXPECT_EQ(store.toText(), "{}");
}

TEST(JsonStore, ConversionsDifferFromTheDocument) {
    const char* text = R"({"b":true,"bf":false,"f":1.50,"neg":-2.9,"i":007,"s":"-12abc","blank":" 5",)"
                       R"("plus":"+4","lit":abc,"n":null,"o":{}})";
    JsonStore store;
    ASSERT_TRUE(store.load(text));
    JsonDocument doc;
    ASSERT_TRUE(doc.parse(text));
    struct Case {
        const char* path;
        std::string storeText;
        int storeInt;
        std::string docText;
        int docInt;
    };
    const std::vector<Case> cases = {
        {"b", "true", 1, "1", 1},    {"bf", "false", 0, "0", 0},
        {"f", "1.50", 1, "1.5", 0},  {"neg", "-2.9", -2, "-2.9", 0},
        {"i", "007", 7, "7", 7},     {"s", "-12abc", -12, "-12abc", -12},
        {"blank", " 5", 0, " 5", 5}, {"plus", "+4", 4, "+4", 4},
        {"lit", "", 0, "", 0},       {"n", "", 0, "", 0},
        {"o", "", 0, "", 0},         {"missing", "", 0, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(store.getText(c.path), c.storeText);
        EXPECT_EQ(store.getInt(c.path), c.storeInt);
        EXPECT_EQ(doc.getText(c.path), c.docText);
        EXPECT_EQ(doc.getInt(c.path), c.docInt);
    }
}

TEST(JsonStore, LoadReportsCodeAndStopAndDecodesEscapes) {
    JsonStore store;
    int code = 0;
    size_t stop = 0;
    EXPECT_FALSE(store.load("[1,]", true, &code, &stop));
    EXPECT_EQ(code, -7);
    EXPECT_EQ(stop, 3u);
    EXPECT_TRUE(store.hasRoot());
    EXPECT_EQ(store.toText(), "[]");

    // The stop position counts bytes of the text given, multi-byte characters included.
    EXPECT_FALSE(store.load("{\"\xD6\xD0\":1", true, &code, &stop));
    EXPECT_EQ(code, -5);
    EXPECT_EQ(stop, 7u);  // the whole text: it ended with the object still open

    ASSERT_TRUE(store.load(R"({"k":"\u4e2d\/"})", true, &code));
    EXPECT_EQ(store.getText("k"), "\xD6\xD0/");
    ASSERT_TRUE(store.load(R"({"k":"\u4e2d"})", false));
    EXPECT_EQ(store.getText("k"), "\\u4e2d");

    ASSERT_TRUE(store.load(std::nullopt, true, &code, &stop));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(store.toText(), "{}");
    EXPECT_EQ(store.toText("", true, true, 0), "{\r\n}");
}

}  // namespace
}  // namespace kestrum
