// The envelope written directly (its constant parts fixed, the message escaped into the answer) against the
// same envelope built through a JSON document and converted as a whole, on messages that exercise every rule
// of the writer and of the conversions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/api_envelope.h"
#include "json/json_document.h"
#include "util/encoding.h"

namespace kestrum {
namespace {

// The envelope as a document writes it: the fixed text parsed, both members set, the whole written out.
std::string documentEnvelope(int64_t errcode, std::string_view errmsg) {
    JsonDocument document;
    document.parse(R"({"errcode":200,"errmsg":"success"})");
    document.setInt64("errcode", errcode);
    document.setText("errmsg", errmsg);
    return document.toText();
}

// Messages in UTF-8 (some of them not UTF-8 at all).
const std::vector<std::string> kUtf8Messages = {
    "",
    "success.",
    "a/b\\c\"d'e",
    std::string("ctl\b\t\n\f\r\x01\x1f\x7f end", 15),
    std::string("nul\0byte", 8),
    "\xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80 \xC3\xA9 \xEF\xBB\xBF",
    "bad\xFF\xFE tail\xE4\xB8",
    "overlong\xC0\xAF surrogate\xED\xA0\x80 big\xF4\x90\x80\x80",
    "\xE4\xB8/\xE4\xB8\xAD\"",
    "ERR unknown command 'NOSUCH', with args beginning with: '\xE4\xB8\xAD' ",
};

TEST(EnvelopeAnswer, SameBytesAsTheDocumentRoute) {
    for (int64_t code : {int64_t(200), int64_t(100), int64_t(-7), INT64_MIN, INT64_MAX}) {
        for (const std::string& message : kUtf8Messages) {
            EXPECT_EQ(envelopeAnswer(code, message), envelopeBody(documentEnvelope(code, utf8ToGbk(message))))
                << code << " " << message;
        }
    }
}

TEST(EnvelopeAnswer, BuildEnvelopeWithoutDataMatchesTheDocument) {
    // Internal-encoding messages, among them bytes that are no GB18030.
    std::vector<std::string> messages = {"\xD6\xD0\xCE\xC4/\"\\", "\x81\x30\x81\x30 ok", "cut\x81",
                                         "\x80\xFF"};
    for (const std::string& message : kUtf8Messages)
        messages.push_back(utf8ToGbk(message));
    for (const std::string& message : messages) {
        EXPECT_EQ(buildEnvelope(100, message), documentEnvelope(100, message)) << message;
    }
    EXPECT_EQ(buildEnvelope(), R"({"errcode":200,"errmsg":"success"})");
}

TEST(EnvelopeAnswer, BodiesAndEnvelopeTextAreTold) {
    const std::string body = envelopeAnswer(429, "too many");
    EXPECT_TRUE(isAnswerBody(body));
    EXPECT_FALSE(isAnswerBody(buildEnvelope(429, "too many")));
    EXPECT_EQ(answerBody(body), body);
    EXPECT_EQ(answerBody(buildEnvelope(429, "too many")), body);
    EXPECT_EQ(envelopeHttpStatus(body, true), 429);
    EXPECT_EQ(envelopeHttpStatus(body, false), 200);
}

}  // namespace
}  // namespace kestrum
