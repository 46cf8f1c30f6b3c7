// Reading a UTF-8 body straight into a document against the route through the internal encoding: the same
// tree, the same texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/json_document.h"
#include "util/encoding.h"

namespace kestrum {
namespace {

TEST(JsonUtf8, ParseAndReadAsTheInternalRouteDoes) {
    const std::vector<std::string> bodies = {
        "",
        "\xEF\xBB\xBF",
        "\xEF\xBB\xBF{\"k\":\"\xEF\xBB\xBFv\"}",
        R"({"k":"a/b\\c\"d","n":12.50,"b":true,"l":hello,"big":123456789012345678901,"e":1e2})",
        "{\"k\":\"\xE4\xB8\xAD\xE6\x96\x87\xF0\x9F\x98\x80\",\"\xE9\x94\xAE\":1}",
        R"({"k":"\u4e2d\ud83d\ude00|\ud800|\u002f|\uZZ"})",
        "{\"k\":\"a\xFF\xFE"
        "b\xE4\xB8"
        "c\xC0\xAF"
        "d\xED\xA0\x80"
        "e\"}",
        R"({'k':'x"y', n : 7 })",
        "{\"k\":\"nul\\u0000in\"}",
        "not json",
        R"({"k":[1,2,)",
    };
    for (const std::string& body : bodies) {
        JsonDocument direct;
        JsonDocument internal;
        EXPECT_EQ(direct.parseUtf8(body), internal.parse(utf8BytesToGbk(body))) << body;
        EXPECT_EQ(direct.lastError(), internal.lastError()) << body;
        EXPECT_EQ(direct.toText(), internal.toText()) << body;
        std::vector<std::string> names;
        internal.memberNames("", names);
        names.push_back("missing");
        for (const std::string& name : names) {
            EXPECT_EQ(direct.getText(name), internal.getText(name)) << body << " " << name;
            EXPECT_EQ(direct.getTextUtf8(name), gbkToUtf8(internal.getText(name))) << body << " " << name;
        }
    }
}

TEST(JsonUtf8, CharactersOutsideGbkSurviveTheUtf8Route) {
    // U+E78D is one of the private-use characters that GB18030 no longer maps: through the internal
    // encoding it would turn into replacement characters.
    JsonDocument document;
    document.parseUtf8("{\"k\":\"\xEE\x9E\x8D\"}");
    EXPECT_EQ(document.getTextUtf8("k"), "\xEE\x9E\x8D");
}

}  // namespace
}  // namespace kestrum
