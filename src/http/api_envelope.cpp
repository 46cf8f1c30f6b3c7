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

}  // namespace kestrum
