#include "util/encoding.h"

#include <gtest/gtest.h>

#include "support/kestrum_process.h"

namespace kestrum {
namespace {

using testing::gb;

TEST(Encoding, Utf8BytesAlwaysStartWithTheMark) {
    EXPECT_EQ(gbkToUtf8Bytes(""), "\xEF\xBB\xBF");
    EXPECT_EQ(gbkToUtf8Bytes("success"), "\xEF\xBB\xBFsuccess");
    EXPECT_EQ(gbkToUtf8(""), "");
    EXPECT_EQ(gbkToUtf8("success"), "success");
}

TEST(Encoding, ChineseIsThreeUtf8BytesEach) {
    std::string text = gb("中文");
    ASSERT_EQ(text, "\xD6\xD0\xCE\xC4");  // GBK bytes
    EXPECT_EQ(gbkToUtf8Bytes(text), "\xEF\xBB\xBF中文");
    EXPECT_EQ(gbkToUtf8(text).size(), 6u);
    EXPECT_EQ(utf8ToGbk("中文"), text);
}

TEST(Encoding, CharactersOutsideGbkRoundTrip) {
    for (std::string utf8 : {"😀", "한국어", "ภาษาไทย", "a€b", "丨"}) {
        std::string internal = utf8BytesToGbk(utf8);
        EXPECT_EQ(internal.find('?'), std::string::npos) << utf8;
        EXPECT_EQ(gbkToUtf8(internal), utf8);
        EXPECT_EQ(utf16ToText(textToUtf16(internal, CodePage::Gbk), CodePage::Gbk), internal);
    }
    EXPECT_EQ(textToUtf16("😀", CodePage::Utf8), u"😀");
}

TEST(Encoding, InvalidInputBecomesReplacementCharacters) {
    // A lone continuation byte, a truncated sequence and an overlong form: every bad byte becomes U+FFFD,
    // nothing is dropped and the valid text around it stays.
    EXPECT_EQ(gbkToUtf8(utf8ToGbk("a\x80z")), "a\xEF\xBF\xBDz");
    EXPECT_EQ(gbkToUtf8(utf8ToGbk("ab\xE4\xB8")), "ab\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(gbkToUtf8(utf8ToGbk("\xC0\xAFx")), "\xEF\xBF\xBD\xEF\xBF\xBDx");
    EXPECT_EQ(utf16ToText(std::u16string(1, char16_t(0xD800)) + u"x", CodePage::Utf8), "\xEF\xBF\xBDx");
}

TEST(Encoding, RequestBodyMarkIsDropped) {
    EXPECT_EQ(utf8BytesToGbk("\xEF\xBB\xBF{\"a\":1}"), "{\"a\":1}");
    EXPECT_EQ(utf8BytesToGbk(""), "");
}

TEST(Encoding, Utf8Validation) {
    EXPECT_TRUE(isValidUtf8("plain"));
    EXPECT_TRUE(isValidUtf8("中文😀"));
    EXPECT_FALSE(isValidUtf8("\xD6\xD0\xCE\xC4"));  // GBK bytes
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));      // surrogate
    EXPECT_FALSE(isValidUtf8("\xE4\xB8"));          // truncated
}

}  // namespace
}  // namespace kestrum
