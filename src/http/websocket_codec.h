// WebSocket framing (RFC 6455) and the handshake accept key. Pure byte functions: no sockets, any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrum {

// Standard Base64 (with padding) of `bytes`.
std::string base64Encode(std::string_view bytes);

// Sec-WebSocket-Accept for a Sec-WebSocket-Key: Base64(SHA-1(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11")).
std::string webSocketAcceptKey(std::string_view key);

struct WsFrame {
    bool fin = false;
    uint8_t rsv = 0;     // the three reserved bits, RSV1 as 4, RSV2 as 2, RSV3 as 1
    uint8_t opcode = 0;  // 0 continuation, 1 text, 2 binary, 8 close, 9 ping, 10 pong (others passed through)
    bool masked = false;
    std::string payload;  // unmasked
};

enum class WsParseResult { kNeedMore, kFrame, kTooLarge };

// Parses one frame from the front of `data`. On kFrame, `frame` holds it and `consumed` its size in bytes. On
// kNeedMore nothing is consumed. kTooLarge: the frame announces a payload above `maxPayload` (checked as soon
// as the length is readable, so an oversized frame is refused before its payload is buffered).
WsParseResult parseWsFrame(std::string_view data, size_t maxPayload, WsFrame& frame, size_t& consumed);

// Encodes one frame. `maskKey` is used when `masked` is true (clients mask, servers do not).
std::string encodeWsFrame(bool fin, uint8_t rsv, uint8_t opcode, std::string_view payload,
                          bool masked = false, uint32_t maskKey = 0);

}  // namespace kestrum
