// The API answer envelope.
#include "http/api_envelope.h"

#include "json/json_document.h"
#include "util/encoding.h"

namespace kestrum {

std::string buildEnvelope(std::optional<int64_t> errcode, std::optional<std::string_view> errmsg,
                          const JsonDocument* data) {
    // Starting from the fixed text keeps the member order errcode, errmsg (, data) whatever is set
    // afterwards.
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

std::string notAllowedEnvelope(std::string_view what) {
    return buildEnvelope(kNotAllowed, "not allowed: " + std::string(what));
}

int envelopeHttpStatus(std::string_view envelopeText, bool callers) {
    if (!callers)
        return 200;
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
