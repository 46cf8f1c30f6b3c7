// The JSON answer of every API call: {"errcode":..,"errmsg":..[,"data":..]}, sent as UTF-8 with a byte-order
// mark in an HTTP 200 "OK" response.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrum {

class JsonDocument;

// Compact envelope text (internal encoding). Defaults: errcode 200, errmsg "success", no data member.
std::string buildEnvelope(std::optional<int64_t> errcode = std::nullopt,
                          std::optional<std::string_view> errmsg = std::nullopt,
                          const JsonDocument* data = nullptr);

// The response body for an envelope (or any internal text): EF BB BF + UTF-8.
std::string envelopeBody(std::string_view envelopeText);

// The response body of an envelope without data, written straight from a UTF-8 message: the same bytes as
// envelopeBody(buildEnvelope(errcode, the message in the internal encoding)), without the round trip. Bytes
// of `errmsgUtf8` that are no UTF-8 become U+FFFD.
std::string envelopeAnswer(int64_t errcode, std::string_view errmsgUtf8);

// Endpoints hand over either envelope text (internal encoding) or a finished response body; a body starts
// with the byte-order mark, envelope text never does.
bool isAnswerBody(std::string_view answer);
// The response body of either: a body as it is, envelope text converted.
std::string answerBody(std::string answer);

// The refusals of a caller carry an HTTP status of their own besides the envelope's errcode.
inline constexpr int64_t kNoCredentials = 403;  // with HTTP 401: "no valid credentials"
inline constexpr int64_t kNotAllowed = 403;     // with HTTP 403: "not allowed: <what>"
inline constexpr int64_t kTooMany = 429;        // with HTTP 429 and Retry-After
// "not allowed: WHAT".
std::string notAllowedEnvelope(std::string_view what);
// The HTTP status an envelope (or a body made of one) goes out with: 403 or 429 for those refusals of a
// caller (only when callers are in use, `callers`), 200 for everything else.
int envelopeHttpStatus(std::string_view envelopeText, bool callers);

}  // namespace kestrum
