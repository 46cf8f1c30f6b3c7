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

}  // namespace kestrum
