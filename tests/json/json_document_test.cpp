#include "json/json_document.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "json/json_node.h"
#include "json/json_store.h"
#include "util/encoding.h"

namespace kestrum {
namespace {

// GB18030 bytes used below.
const std::string kName = "\xC3\xFB\xD7\xD6";    // 名字
const std::string kValue = "\xD6\xB5";           // 值
const std::string kMiddle = "\xD6\xD0";          // 中
const std::string kBackslashTrail = "\x81\x5C";  // 乗: second byte is "\"
const std::string kBraceTrail = "\x81\x7B";      // 亄: second byte is "{"
const std::string kEmoji = "\x94\x39\xFC\x36";   // U+1F600, four bytes

std::string parsedText(std::string_view input, int* code = nullptr) {
    JsonDocument doc;
    doc.parse(input);
    if (code != nullptr)
        *code = doc.lastError();
    return doc.toText();
}

TEST(JsonDocumentParse, TextsAndTheirCanonicalForm) {
    struct Case {
        const char* name;
        std::string input;
        int code;
        std::string output;
    };
    const std::vector<Case> cases = {
        {"empty text", "", 0, "{}"},
        {"empty object", "{}", 0, "{}"},
        {"plain", R"({"a":1,"b":"x","c":[true,false,null]})", 0, R"({"a":1,"b":"x","c":[true,false,null]})"},
        {"blanks dropped", " {\r\n\t\"a\" : 1 ,\n \"b\" : [ 1 , 2 ] } ", 0, R"({"a":1,"b":[1,2]})"},
        {"single quotes", R"({'a':'x"y'})", 0, R"({"a":"x\"y"})"},
        {"unquoted key trimmed", "{  key one  : 1}", 0, R"({"key one":1})"},
        {"quoted key trimmed", R"({"  k  ":1})", 0, R"({"k":1})"},
        {"empty quoted key", R"({"":1,'':2})", 0, R"({"":2})"},
        {"literal kept bare", "{a:hello, b:True, c:NULL}", 0, R"({"a":hello,"b":True,"c":NULL})"},
        {"numbers verbatim", R"({"a":1.50,"b":1E5,"c":-0,"d":+7,"e":00012})", 0,
         R"({"a":1.50,"b":1E5,"c":-0,"d":+7,"e":00012})"},
        {"backslash-u decoded", R"({"s":"a\u0041\u4e2D"})", 0, R"({"s":"aA)" + kMiddle + "\"}"},
        {"control characters escaped", "{\"s\":\"\x01\x07\x0b\x1b\x1f\x7f\"}", 0,
         R"({"s":"\u0001\u0007\u000b\u001b\u001f)"
         "\x7f\"}"},
        {"slash escaped", R"({"p":"a/b"})", 0, R"({"p":"a\/b"})"},
        {"escapes round trip", R"({"e":"\"\\\/\b\f\n\r\t"})", 0, R"({"e":"\"\\\/\b\f\n\r\t"})"},
        {"escaped single quote kept", R"({"k":"it\'s"})", 0, R"({"k":"it\\'s"})"},
        {"doubled backslash then n", R"({"k":"\\n"})", 0, R"({"k":"\\n"})"},
        {"key unescaped", R"({"a\"b":1})", 0, R"({"a\"b":1})"},
        {"duplicate key replaced in place", R"({"a":1,"b":2,"a":3})", 0, R"({"a":3,"b":2})"},
        {"nested", R"({"a":[1,{"b":[]},[[]]],"c":{"d":{}}})", 0, R"({"a":[1,{"b":[]},[[]]],"c":{"d":{}}})"},
        {"array with blanks only", "[ \t ]", 0, "[]"},
        {"empty elements skipped", "[1,,2]", 0, "[1,2]"},
        {"trailing comma before brace", R"({"a":1,})", 0, R"({"a":1,"":})"},
        {"member without value", "{a:}", 0, R"({"a":})"},
        {"member without colon dropped", R"({"a"})", 0, "{}"},
        {"mismatched bracket makes array", R"({"a":1])", 0, "[1]"},
        {"top-level string as written", R"( "a\nb" tail)", 0, R"("a\\nb")"},
        {"top-level literal", "  hello world ", 0, "hello world"},
        {"top-level integer", " 42 ", 0, "42"},
        {"top-level keyword", "true", 0, "true"},
        {"trailing comma in array", "[1, ]", -7, "[]"},
        {"trailing comma nested", R"({"a":[1,2,]})", -7, "{}"},
        {"object under object needs key", "{{}}", -4, "{}"},
        {"colon without key", ":", -4, "{}"},
        {"pending member without key", "[1}", -4, "[]"},
        {"comma outside containers", "1,2", -5, "{}"},
        {"unclosed object", R"({"a":1)", -5, "{}"},
        {"unclosed string", R"({"a":"x)", -5, "{}"},
        {"closing bracket too many", R"({"a":1}})", -5, "{}"},
        {"closing bracket only", "]", -5, "{}"},
        {"colon in array", "[1,2:3]", -8, "[]"},
        {"colon in array before any comma", "[1:2]", -4, "[]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int code = 99;
        EXPECT_EQ(parsedText(c.input, &code), c.output);
        EXPECT_EQ(code, c.code);
    }
}

TEST(JsonDocumentParse, FailureKeepsRootTypeAndEmptyTextKeepsContent) {
    JsonDocument doc;
    ASSERT_TRUE(doc.parse("[1,2]"));
    EXPECT_FALSE(doc.parse("[3,]"));
    EXPECT_EQ(doc.lastError(), -7);
    EXPECT_EQ(doc.typeAt(""), static_cast<int>(JsonValueType::Array));
    EXPECT_EQ(doc.toText(), "[]");

    ASSERT_TRUE(doc.parse(R"({"a":1})"));
    EXPECT_TRUE(doc.parse(""));  // nothing to parse: the document stays as it was
    EXPECT_EQ(doc.toText(), R"({"a":1})");
    EXPECT_TRUE(doc.parse(R"({"b":2})"));  // a new text replaces the old content
    EXPECT_EQ(doc.toText(), R"({"b":2})");
}

TEST(JsonDocumentParse, MultiByteTextSurvives) {
    // Trail bytes equal to "\" or "{" must not be read as syntax, and characters outside GBK must survive.
    const std::string text = "{\"" + kName + "\":\"" + kValue + kBackslashTrail + kBraceTrail + "\",\"" +
                             kEmoji + "\":\"x" + kEmoji + "\"}";
    JsonDocument doc;
    ASSERT_TRUE(doc.parse(text));
    EXPECT_EQ(doc.toText(), text);
    EXPECT_EQ(doc.getText(kName), kValue + kBackslashTrail + kBraceTrail);
    EXPECT_EQ(doc.getText(kEmoji), "x" + kEmoji);
    std::vector<std::string> names;
    EXPECT_EQ(doc.memberNames("", names), 2);
    EXPECT_EQ(names, (std::vector<std::string>{kName, kEmoji}));
}

TEST(JsonDocumentParse, UnicodeEscapesAsClientsWriteThem) {
    // Python and PHP escape every non-ASCII character, Go escapes "<", ">" and "&"; a surrogate pair is one
    // character, a surrogate on its own is U+FFFD.
    const std::string kReplacement = "\x84\x31\xA4\x37";  // U+FFFD
    struct Case {
        const char* name;
        std::string value;     // as written between the quotes of the request
        std::string expected;  // getText afterwards
        std::string written;   // toText of the value afterwards
    };
    const std::vector<Case> cases = {
        {"python non-ascii", R"(select '\u4e2d\u6587')", "select '" + kMiddle + "\xCE\xC4'",
         "\"select '" + kMiddle + "\xCE\xC4'\""},
        {"php latin", R"(caf\u00e9)", "caf\xA8\xA6", "\"caf\xA8\xA6\""},
        {"go html escapes", R"(a \u003c 5 \u0026\u0026 b \u003E 1)", "a < 5 && b > 1", "\"a < 5 && b > 1\""},
        {"surrogate pair lower case", R"(\ud83d\ude00!)", kEmoji + "!", "\"" + kEmoji + "!\""},
        {"surrogate pair upper case", R"(\uD83D\uDE00)", kEmoji, "\"" + kEmoji + "\""},
        {"lone high surrogate", R"(a\ud800b)", "a" + kReplacement + "b", "\"a" + kReplacement + "b\""},
        {"lone low surrogate", R"(\udc00)", kReplacement, "\"" + kReplacement + "\""},
        {"high surrogate at the end", R"(x\uD83D)", "x" + kReplacement, "\"x" + kReplacement + "\""},
        {"two high surrogates then low", R"(\uD83D\uD83D\uDE00)", kReplacement + kEmoji,
         "\"" + kReplacement + kEmoji + "\""},
        {"high surrogate before plain escape", R"(\uD83D\u0041)", kReplacement + "A",
         "\"" + kReplacement + "A\""},
        {"high surrogate before bad escape", R"(\uD83D\u12G4)", kReplacement + "\\u12G4",
         "\"" + kReplacement + "\\\\u12G4\""},
        {"nul kept inside the value", R"(a\u0000b)", std::string("a\0b", 3), R"("a\u0000b")"},
        {"escaped quote and backslash", R"(\u0022\u005c\u005cn)", "\"\\\\n", R"("\"\\\\n")"},
        {"control characters", R"(\u0007\u0009\u001F)", "\x07\t\x1f", R"("\u0007\t\u001f")"},
        {"not four hex digits", R"(\u12G4 \u12)", R"(\u12G4 \u12)", R"("\\u12G4 \\u12")"},
        {"short escapes as before", R"(\"\\\/\b\f\n\r\t\'\x)", "\"\\/\b\f\n\r\t\\'\\x",
         R"("\"\\\/\b\f\n\r\t\\'\\x")"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        JsonDocument doc;
        ASSERT_TRUE(doc.parse("{\"v\":\"" + c.value + "\"}"));
        EXPECT_EQ(doc.getText("v"), c.expected);
        EXPECT_EQ(doc.toText("v"), c.written);
    }

    JsonDocument doc;
    ASSERT_TRUE(doc.parse(R"({"\u0041\u00":1,'\u4e2d':2})"));  // keys are decoded too
    EXPECT_EQ(doc.getInt("A\\u00"), 1);
    EXPECT_EQ(doc.getInt(kMiddle), 2);
    ASSERT_TRUE(doc.parse(R"({"s":"a\u0041"})", false));  // decoding off keeps the six characters
    EXPECT_EQ(doc.getText("s"), "a\\u0041");
    EXPECT_EQ(doc.toText(), R"({"s":"a\\u0041"})");
    ASSERT_TRUE(doc.parse(R"( "a\u0041" )"));  // a quoted text at the top level is taken as written
    EXPECT_EQ(doc.toText(), R"("a\\u0041")");
}

TEST(JsonDocumentParse, MovedDocumentTakesTheTree) {
    JsonDocument first;
    ASSERT_TRUE(first.parse("{\"a\":[1,2]}"));
    JsonDocument second(std::move(first));
    EXPECT_EQ(second.toText(), R"({"a":[1,2]})");
    JsonDocument third;
    third = std::move(second);
    EXPECT_EQ(third.getText("a[1]"), "2");
    third.clear();
    EXPECT_FALSE(third.hasRoot());
    EXPECT_EQ(third.toText(), "");
}

TEST(JsonDocumentParse, NulBytesAreOrdinaryCharacters) {
    JsonDocument doc;
    ASSERT_TRUE(doc.parse(std::string_view("{\"a\":1}\0garbage", 15)));
    EXPECT_EQ(doc.toText(), R"({"a":1})");
    ASSERT_TRUE(doc.parse(std::string_view("{\"v\":\"a\0b\",\"n\":2}", 18)));
    EXPECT_EQ(doc.getText("v"), std::string("a\0b", 3));
    EXPECT_EQ(doc.getInt("n"), 2);
    EXPECT_EQ(doc.toText(), R"({"v":"a\u0000b","n":2})");
}

TEST(JsonDocumentParse, DeepNestingNeedsNoNativeStack) {
    const size_t depth = 300000;
    std::string text(depth, '[');
    text += "1";
    text.append(depth, ']');
    JsonDocument doc;
    ASSERT_TRUE(doc.parse(text));
    EXPECT_EQ(doc.toText(), text);
    JsonDocument copy;
    ASSERT_TRUE(copy.parse("{}"));
    ASSERT_TRUE(copy.setDocument("", "deep", doc));
    EXPECT_EQ(copy.toText().size(), text.size() + 9);
    std::string objects;
    for (size_t i = 0; i < depth; ++i)
        objects += "{\"a\":";
    objects += "1";
    objects.append(depth, '}');
    ASSERT_TRUE(doc.parse(objects));
    EXPECT_EQ(doc.toText(), objects);
}

class JsonDocumentRead : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(
            doc_.parse(R"({"i":42,"big":9007199254740993,"f":2.9,"one":1.0,"neg":-2.9,"s":"3abc",)"
                       R"("sp":"  -7x","b":true,"bf":false,"lit":hello,"T":True,"n":null,)"
                       R"("arr":[10,{"x":"y"}],"obj":{"k":"v"},"half":1.50,"e":1e20,"wide":4294967297,)"
                       R"("a.b":{"c":"dotted"},"x[1]":"bracketed","a":{"b":"plain"},"huge":1e400})"));
    }
    JsonDocument doc_;
};

TEST_F(JsonDocumentRead, ConversionsByType) {
    struct Case {
        const char* path;
        int type;
        std::string text;
        int32_t asInt;
        int64_t asInt64;
    };
    const int kLiteral = static_cast<int>(JsonValueType::Literal);
    const std::vector<Case> cases = {
        {"i", 2, "42", 42, 42},
        {"big", 2, "9007199254740993", 1, 9007199254740993},  // every digit, past 2^53
        {"f", 1, "2.9", 0, 2},
        {"one", 1, "1", 0, 1},
        {"neg", 1, "-2.9", 0, -2},
        {"s", 4, "3abc", 3, 0},
        {"sp", 4, "  -7x", -7, 0},
        {"b", 3, "1", 1, 0},
        {"bf", 3, "0", 0, 0},
        {"lit", kLiteral, "", 0, 0},
        {"T", kLiteral, "", 0, 0},
        {"n", 0, "", 0, 0},
        {"arr", 5, "", 0, 0},
        {"obj", 6, "", 0, 0},
        {"half", 1, "1.5", 0, 1},
        {"e", 1, "1e+020", 0, std::numeric_limits<int64_t>::max()},
        {"wide", 2, "4294967297", 1, 4294967297},
        {"huge", 1, "inf", 0, std::numeric_limits<int64_t>::max()},
        {"missing", -1, "", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(doc_.typeAt(c.path), c.type);
        EXPECT_EQ(doc_.getText(c.path), c.text);
        EXPECT_EQ(doc_.getInt(c.path), c.asInt);
        EXPECT_EQ(doc_.getInt64(c.path), c.asInt64);
    }
    EXPECT_DOUBLE_EQ(doc_.getDouble("f"), 2.9);
    EXPECT_DOUBLE_EQ(doc_.getDouble("i"), 42.0);
    EXPECT_DOUBLE_EQ(doc_.getDouble("s"), 0.0);
    EXPECT_TRUE(doc_.getBool("b"));
    EXPECT_FALSE(doc_.getBool("bf"));
    EXPECT_FALSE(doc_.getBool("i"));
    // Numbers keep their source text on output.
    EXPECT_EQ(doc_.toText("half"), "1.50");
    EXPECT_EQ(doc_.toText("big"), "9007199254740993");
    EXPECT_EQ(doc_.toText("lit"), "hello");
}

TEST_F(JsonDocumentRead, Paths) {
    struct Case {
        const char* path;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"arr[0]", "10"},
        {"arr[1].x", "y"},
        {"arr[1]x", "y"},  // a name may follow "]" directly
        {"arr[2]", ""},    // out of range
        {"arr[-1]", ""},
        {"arr[+1].x", "y"},
        {"arr[x]", "10"},  // no digits read as 0
        {"obj[0]", "v"},   // an index on an Object counts members in order
        {"[0]", "42"},
        {"..obj..k.", "v"},  // empty names produce no segment
        {"a.b", "plain"},
        {R"(a\.b.c)", "dotted"},  // escaped separator
        {R"(x\[1\])", "bracketed"},
        {"i.x", ""},    // a name on a scalar
        {"arr.x", ""},  // a name on an Array
        {"obj[0].z", ""},
        {"Obj", ""},  // keys compare exactly
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(doc_.getText(c.path), c.text);
    }
    EXPECT_EQ(doc_.toText("arr[1]"), R"({"x":"y"})");
    EXPECT_EQ(doc_.toText("nothing"), "");
    EXPECT_EQ(doc_.toText("..."), doc_.toText());  // no segment: the root
}

TEST(JsonDocumentEmpty, DocumentWithoutRootReadsAsEmpty) {
    JsonDocument doc;
    EXPECT_FALSE(doc.hasRoot());
    EXPECT_EQ(doc.toText(), "");
    EXPECT_EQ(doc.typeAt(""), -1);
    EXPECT_EQ(doc.getText("a"), "");
    std::vector<std::string> names{"stale"};
    EXPECT_EQ(doc.memberNames("", names), 0);
    EXPECT_TRUE(names.empty());
    EXPECT_FALSE(doc.setText("a", "x"));
    EXPECT_FALSE(doc.setInt64("a", 1));
    EXPECT_FALSE(doc.hasRoot());
}

TEST(JsonDocumentWrite, SettersBuildAndConvert) {
    struct Case {
        const char* name;
        const char* start;
        void (*edit)(JsonDocument&);
        std::string output;
    };
    const std::vector<Case> cases = {
        {"index paths turn {} into an array of objects", "{}",
         [](JsonDocument& d) {
             d.setInt64("[0].id", 1);
             d.setText("[0].name", "x");
             d.setInt64("[1].id", 2);
         },
         R"([{"id":1,"name":"x"},{"id":2}])"},
        {"untouched {} stays an object", "{}", [](JsonDocument&) {}, "{}"},
        {"gap filled with null", "[]", [](JsonDocument& d) { d.setInt64("[2]", 7); }, "[null,null,7]"},
        {"overwrite keeps place", R"({"a":{"b":1},"c":2})", [](JsonDocument& d) { d.setText("a", "x"); },
         R"({"a":"x","c":2})"},
        {"scalar becomes object", R"({"c":2})", [](JsonDocument& d) { d.setText("c.d", "y"); },
         R"({"c":{"d":"y"}})"},
        {"root changes type", "{}", [](JsonDocument& d) { d.setInt64("", -5); }, "-5"},
        {"doubles", "{}",
         [](JsonDocument& d) {
             d.setDouble("a", 0.1);
             d.setDouble("b", 1e20);
             d.setDouble("c", 2.5e-7);
             d.setDouble("d", 1.0 / 3.0);
             d.setDouble("e", -0.0);
         },
         R"({"a":0.1,"b":1e+020,"c":2.5e-007,"d":0.3333333333333,"e":-0})"},
        {"integer extremes", "{}",
         [](JsonDocument& d) {
             d.setInt64("min", std::numeric_limits<int64_t>::min());
             d.setInt64("max", std::numeric_limits<int64_t>::max());
         },
         R"({"min":-9223372036854775808,"max":9223372036854775807})"},
        {"text is escaped on output", "{}", [](JsonDocument& d) { d.setText("k/\"", "a\"b/c\\\n"); },
         R"({"k\/\"":"a\"b\/c\\\n"})"},
        {"negative index changes nothing", R"({"a":1})", [](JsonDocument& d) { d.setText("b.c[-1]", "x"); },
         R"({"a":1})"},
        {"absurd index changes nothing", R"({"a":1})",
         [](JsonDocument& d) { d.setText("a[100000000]", "x"); }, R"({"a":1})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        JsonDocument doc;
        ASSERT_TRUE(doc.parse(c.start));
        c.edit(doc);
        EXPECT_EQ(doc.toText(), c.output);
    }
    JsonDocument doc;
    ASSERT_TRUE(doc.parse("{}"));
    EXPECT_FALSE(doc.setText("[-1]", "x"));
    EXPECT_TRUE(doc.setText("[3]", "x"));
    EXPECT_EQ(doc.getText("[3]"), "x");
}

TEST(JsonDocumentWrite, EveryTextIsWrittenAsValidJson) {
    // Each control character without a short escape becomes "\u00XX"; the short escapes and "\/" stay;
    // DEL and non-ASCII characters go out as they are.
    const std::string controls = std::string("\0\x01\x07\x08\t\n\x0b\x0c\r\x1b\x1f /\\\"\x7f", 16) + kMiddle;
    JsonDocument doc;
    ASSERT_TRUE(doc.parse("{}"));
    ASSERT_TRUE(doc.setText("v", controls));
    EXPECT_EQ(doc.toText("v"), R"("\u0000\u0001\u0007\b\t\n\u000b\f\r\u001b\u001f \/\\\")"
                               "\x7f" +
                                   kMiddle + "\"");
    EXPECT_EQ(doc.toText("v", false, false), "\"" + controls + "\"");  // escaping off: as it is

    // Every ASCII character, in a value and in a key, reads back unchanged through a strict parser.
    for (int c = 0; c < 0x80; ++c) {
        SCOPED_TRACE(c);
        const std::string text = "a" + std::string(1, static_cast<char>(c)) + "b";
        JsonDocument one;
        ASSERT_TRUE(one.parse("{}"));
        ASSERT_TRUE(one.setText("v", text));
        ASSERT_TRUE(one.setDocument("", c == 0 ? "k" : text, one));
        const std::string written = one.toText();
        nlohmann::json strict = nlohmann::json::parse(gbkToUtf8(written), nullptr, false);
        ASSERT_FALSE(strict.is_discarded()) << written;
        EXPECT_EQ(strict["v"], text);
        EXPECT_EQ(strict[c == 0 ? "k" : text]["v"], text);
        // And the lenient parser reads its own output back to the same value.
        JsonDocument again;
        ASSERT_TRUE(again.parse(written));
        EXPECT_EQ(again.getText("v"), text);
    }
}

TEST(JsonDocumentWrite, SetDocumentCopiesDeeplyWithFreshNumbers) {
    JsonDocument source;
    ASSERT_TRUE(
        source.parse(R"({"n":1.50,"i":007,"s":"x\/","l":hello,"b":true,"z":null,"a":[1.0,{"k":2E2}]})"));
    JsonDocument envelope;
    ASSERT_TRUE(envelope.parse(R"({"errcode":200,"errmsg":"success"})"));
    ASSERT_TRUE(envelope.setInt64("errcode", 401));
    ASSERT_TRUE(envelope.setText("errmsg", "bad"));
    ASSERT_TRUE(envelope.setDocument("", "data", source));
    EXPECT_EQ(envelope.toText(),
              R"({"errcode":401,"errmsg":"bad","data":)"
              R"({"n":1.5,"i":7,"s":"x\/","l":hello,"b":true,"z":null,"a":[1,{"k":200}]}})");
    // The copy is independent of its source.
    ASSERT_TRUE(source.setText("s", "changed"));
    EXPECT_EQ(envelope.getText("data.s"), "x/");

    // A source without a root fails, but the path has been created.
    JsonDocument empty;
    JsonDocument doc;
    ASSERT_TRUE(doc.parse("{}"));
    EXPECT_FALSE(doc.setDocument("x.y", "k", empty));
    EXPECT_EQ(doc.toText(), R"({"x":{"y":null}})");
    // A non-object target becomes an Object; copying a document into itself copies what it was.
    ASSERT_TRUE(doc.setDocument("x.y", "self", doc));
    EXPECT_EQ(doc.toText(), R"({"x":{"y":{"self":{"x":{"y":null}}}}})");
}

// Integers are read exactly over the whole signed and unsigned 64-bit range; beyond it they saturate, and
// their text stays as written.
TEST(JsonDocumentParse, IntegersOfSixtyFourBits) {
    JsonDocument doc;
    ASSERT_TRUE(doc.parse(
        R"({"max":9223372036854775807,"min":-9223372036854775808,)"
        R"("umax":18446744073709551615,"above":18446744073709551616,"below":-9223372036854775809})"));
    const int kInteger = static_cast<int>(JsonValueType::Integer);
    EXPECT_EQ(doc.typeAt("max"), kInteger);
    EXPECT_EQ(doc.getInt64("max"), INT64_MAX);
    EXPECT_EQ(doc.getInt64("min"), INT64_MIN);
    EXPECT_EQ(doc.getText("min"), "-9223372036854775808");
    EXPECT_EQ(doc.typeAt("umax"), kInteger);
    EXPECT_EQ(doc.getText("umax"), "18446744073709551615");
    EXPECT_EQ(doc.getInt64("umax"), INT64_MAX);
    EXPECT_EQ(doc.typeAt("above"), kInteger);
    EXPECT_EQ(doc.getInt64("above"), INT64_MAX);
    EXPECT_EQ(doc.getInt64("below"), INT64_MIN);
    EXPECT_EQ(doc.toText("above"), "18446744073709551616");
    // Written back as read, also through a copy.
    JsonDocument envelope;
    ASSERT_TRUE(envelope.parse("{}"));
    ASSERT_TRUE(envelope.setDocument("", "data", doc));
    EXPECT_EQ(envelope.toText("data.umax"), "18446744073709551615");
    EXPECT_EQ(envelope.toText("data.min"), "-9223372036854775808");
}

TEST(JsonDocumentWrite, NumbersWithGivenDigitsNullsAndSizes) {
    JsonDocument doc;
    ASSERT_TRUE(doc.parse(R"({"list":[1,2,3],"word":hello})"));
    ASSERT_TRUE(doc.setNumber("d", 0.1 + 0.2, "0.30000000000000004"));
    ASSERT_TRUE(doc.setNull("n"));
    EXPECT_EQ(doc.toText(), R"({"list":[1,2,3],"word":hello,"d":0.30000000000000004,"n":null})");
    // The digits survive a copy (into an envelope); an ordinary double is copied as "%.13g".
    JsonDocument envelope;
    ASSERT_TRUE(envelope.parse("{}"));
    ASSERT_TRUE(envelope.setDocument("", "data", doc));
    EXPECT_EQ(envelope.toText("data.d"), "0.30000000000000004");
    EXPECT_EQ(doc.size("list"), 3);
    EXPECT_EQ(doc.size(""), 4);
    EXPECT_EQ(doc.size("word"), -1);
    EXPECT_EQ(doc.size("none"), -1);
    EXPECT_TRUE(doc.has("word"));  // a bare word, whose type reads like a missing member
    EXPECT_EQ(doc.typeAt("word"), -1);
    EXPECT_FALSE(doc.has("none"));
    EXPECT_EQ(doc.typeAt("n"), static_cast<int>(JsonValueType::Null));
}

TEST(JsonDocumentWrite, UnsignedIntegersKeepEveryDigit) {
    JsonDocument doc;
    ASSERT_TRUE(doc.parse("{}"));
    ASSERT_TRUE(doc.setUint64("max", UINT64_MAX));
    ASSERT_TRUE(doc.setUint64("above", 9223372036854775808ull));
    ASSERT_TRUE(doc.setUint64("small", 42));
    const std::string written = R"({"max":18446744073709551615,"above":9223372036854775808,"small":42})";
    EXPECT_EQ(doc.toText(), written);
    EXPECT_EQ(doc.typeAt("max"), static_cast<int>(JsonValueType::Integer));
    EXPECT_EQ(doc.getText("max"), "18446744073709551615");
    EXPECT_EQ(doc.getInt64("max"), INT64_MAX);  // beyond the signed range: saturated
    EXPECT_EQ(doc.getInt64("small"), 42);
    EXPECT_DOUBLE_EQ(doc.getDouble("max"), 18446744073709551615.0);
    // A copy (as into an envelope) keeps the value; overwriting the node leaves nothing of it behind.
    JsonDocument envelope;
    ASSERT_TRUE(envelope.parse("{}"));
    ASSERT_TRUE(envelope.setDocument("", "data", doc));
    EXPECT_EQ(envelope.toText(), R"({"data":)" + written + "}");
    ASSERT_TRUE(doc.setInt64("max", -1));
    EXPECT_EQ(doc.getText("max"), "-1");
    EXPECT_EQ(doc.getInt64("max"), -1);
}

TEST(JsonDocumentWrite, PrettyLayout) {
    JsonDocument doc;
    ASSERT_TRUE(doc.parse(R"({"a":1,"b":{"c":[{"d":2}],"e":{}},"f":"x/y"})"));
    EXPECT_EQ(doc.toText("", true),
              "{\r\n\t\"a\":1,\r\n\t\"b\":{\r\n\t\t\"c\":[{\r\n\t\t\t\t\"d\":2\r\n\t\t\t}],\r\n"
              "\t\t\"e\":{\r\n\t\t}\r\n\t},\r\n\t\"f\":\"x\\/y\"\r\n}");
    EXPECT_EQ(doc.toText("", false, false), R"({"a":1,"b":{"c":[{"d":2}],"e":{}},"f":"x/y"})");
    ASSERT_TRUE(doc.parse("{}"));
    EXPECT_EQ(doc.toText("", true), "{\r\n}");
}

TEST(JsonDocumentWrite, ManyMembersKeepOrderAcrossRehashing) {
    JsonDocument doc;
    ASSERT_TRUE(doc.parse("{}"));
    const int count = 2000;
    for (int i = 0; i < count; ++i)
        ASSERT_TRUE(doc.setInt64("k" + std::to_string(i * 7919 % count), i));
    ASSERT_TRUE(doc.setInt64("k5", -1));  // replacement keeps the place
    std::vector<std::string> names;
    ASSERT_EQ(doc.memberNames("", names), count);
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(names[i], "k" + std::to_string(i * 7919 % count));
        ASSERT_EQ(doc.getInt64(names[i]), names[i] == "k5" ? -1 : i);
    }
}

TEST(JsonDocumentWrite, CollidingKeysKeepWorking) {
    // U+0160 and U+0241 add the same amount to the key hash, so every key spelled with them collides. The
    // table must keep order, lookups, replacement and removal right when it defends itself against such keys.
    auto collidingKey = [](int k) {
        std::u16string key;
        for (int bit = 0; bit < 12; ++bit)
            key += ((k >> bit) & 1) != 0 ? u'\u0241' : u'\u0160';
        return key;
    };
    ASSERT_EQ(json::keyHash(collidingKey(1)), json::keyHash(collidingKey(2)));
    const int count = 3000;
    std::u16string text = u"{";
    for (int k = 0; k < count; ++k)
        text += (k > 0 ? u",\"" : u"\"") + collidingKey(k) + u"\":" + json::formatInteger(k);
    text += u"}";
    JsonDocument doc;
    ASSERT_TRUE(doc.parse(utf16ToText(text, CodePage::Gbk)));
    std::vector<std::string> names;
    ASSERT_EQ(doc.memberNames("", names), count);
    const std::string key7 = utf16ToText(collidingKey(7), CodePage::Gbk);
    EXPECT_EQ(names[7], key7);
    EXPECT_EQ(doc.getInt(key7), 7);
    EXPECT_EQ(doc.getInt(names[count - 1]), count - 1);
    ASSERT_TRUE(doc.setText(key7, "x"));
    EXPECT_EQ(doc.memberNames("", names), count);
    EXPECT_EQ(doc.toText("[7]"), "\"x\"");

    JsonStore store;
    ASSERT_TRUE(store.load(utf16ToText(text, CodePage::Gbk)));
    EXPECT_TRUE(store.removeMember("", key7));
    EXPECT_FALSE(store.exists(key7));
    EXPECT_EQ(store.memberNames("", names), count - 1);
    EXPECT_EQ(store.getInt(names[7]), 8);
}

TEST(JsonDocumentInternals, KeyHashRunsOverLittleEndianBytesBackwards) {
    // Bytes of "ab" in UTF-16LE are 61 00 62 00; read from the last: 00 62 00 61.
    EXPECT_EQ(json::keyHash(u"ab"), ((0u * 31 + 0x62) * 31 + 0) * 31 + 0x61);
    EXPECT_EQ(json::keyHash(u""), 0u);
    EXPECT_LE(json::keyHash(std::u16string(64, u'\xFFFF')), 0x7FFFFFFFu);
}

TEST(JsonDocumentInternals, DoubleFormatWidensExponent) {
    struct Case {
        double value;
        std::u16string text;
    };
    const std::vector<Case> cases = {{1e20, u"1e+020"},      {1e-5, u"1e-005"},
                                     {1.5e100, u"1.5e+100"}, {123456789012345.0, u"1.234567890123e+014"},
                                     {0.5, u"0.5"},          {1e-300, u"1e-300"}};
    for (const Case& c : cases)
        EXPECT_EQ(json::formatDouble(c.value), c.text);
}

}  // namespace
}  // namespace kestrum
