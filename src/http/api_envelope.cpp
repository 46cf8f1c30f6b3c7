// The API answer envelope.
#include "http/api_envelope.h"

#include <charconv>

#include "json/json_document.h"
#include "json/json_escape.h"
#include "util/encoding.h"

namespace kestrum {

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";
// The constant parts around errcode and errmsg, in the order the writer puts them.
constexpr std::string_view kCodeOpen = "{\"errcode\":";
constexpr std::string_view kMessageOpen = ",\"errmsg\":\"";
constexpr std::string_view kClose = "\"}";

void appendCode(std::string& out, int64_t errcode) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof(digits), errcode).ptr;
    out.append(digits, size_t(end - digits));
}

}  // namespace

std::string buildEnvelope(std::optional<int64_t> errcode, std::optional<std::string_view> errmsg,
                          const JsonDocument* data) {
    if (data == nullptr) {
        const std::string_view message = errmsg.value_or("success");
        std::string out;
        out.reserve(kCodeOpen.size() + 20 + kMessageOpen.size() + message.size() + kClose.size());
        out += kCodeOpen;
        appendCode(out, errcode.value_or(200));
        out += kMessageOpen;
        appendJsonStringInternal(out, message);
        out += kClose;
        return out;
    }
    // With data, the document writes it (numbers copied by value get their text regenerated); starting from
    // the fixed text keeps the member order errcode, errmsg, data.
    JsonDocument document;
    document.parse(R"({"errcode":200,"errmsg":"success"})");
    document.setInt64("errcode", errcode.value_or(200));
    document.setText("errmsg", errmsg.value_or("success"));
    if (data != nullptr)
        document.setDocument("", "data", *data);
    return document.toText();
}

std::string envelopeBody(std::string_view envelopeText) {
    return gbkToUtf8Bytes(envelopeText);
}

std::string envelopeAnswer(int64_t errcode, std::string_view errmsgUtf8) {
    std::string out;
    out.reserve(kBom.size() + kCodeOpen.size() + 20 + kMessageOpen.size() + errmsgUtf8.size() +
                kClose.size());
    out += kBom;
    out += kCodeOpen;
    appendCode(out, errcode);
    out += kMessageOpen;
    appendJsonStringUtf8(out, errmsgUtf8);
    out += kClose;
    return out;
}

bool isAnswerBody(std::string_view answer) {
    return answer.starts_with(kBom);
}

std::string answerBody(std::string answer) {
    return isAnswerBody(answer) ? std::move(answer) : envelopeBody(answer);
}

std::string notAllowedEnvelope(std::string_view what) {
    return buildEnvelope(kNotAllowed, "not allowed: " + std::string(what));
}

int envelopeHttpStatus(std::string_view envelopeText, bool callers) {
    if (!callers)
        return 200;
    if (isAnswerBody(envelopeText))
        envelopeText.remove_prefix(kBom.size());
    // Envelopes are built from a fixed text: errcode comes first, as a plain integer.
    constexpr std::string_view kStart = "{\"errcode\":";
    if (!envelopeText.starts_with(kStart))
        return 200;
    const std::string_view code = envelopeText.substr(kStart.size(), 4);
    if (code == "403," || code == "403}")
        return 403;
    if (code == "429," || code == "429}")
        return 429;
    return 200;
}

}  // namespace kestrum
