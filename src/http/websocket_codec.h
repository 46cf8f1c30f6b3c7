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

// Opcodes (RFC 6455 5.2); 8 and above are control frames.
constexpr uint8_t kWsContinuation = 0;
constexpr uint8_t kWsText = 1;
constexpr uint8_t kWsBinary = 2;
constexpr uint8_t kWsClose = 8;
constexpr uint8_t kWsPing = 9;
constexpr uint8_t kWsPong = 10;

// The largest payload of a control frame.
constexpr size_t kWsMaxControlPayload = 125;
// Close status code for a peer that broke the protocol.
constexpr uint16_t kWsProtocolError = 1002;

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

// True for a Close status code that may travel in a Close frame: 1000-1003, 1007-1014 and 3000-4999 (the
// others are reserved or stand for "no code", "abnormal closure" and "TLS failure", which are never sent).
bool isWsCloseCodeOnTheWire(uint16_t code);

// The payload of a Close frame carrying `code`: the code as two bytes, most significant first.
std::string wsClosePayload(uint16_t code);

// The payload of the Close frame that answers a received Close with `payload`: the same status code (without
// the reason text), nothing when the received one carried none, 1002 when it carried a code that cannot be on
// the wire or a single byte.
std::string wsCloseReplyPayload(std::string_view payload);

// Encodes one frame. `maskKey` is used when `masked` is true (clients mask, servers do not).
std::string encodeWsFrame(bool fin, uint8_t rsv, uint8_t opcode, std::string_view payload,
                          bool masked = false, uint32_t maskKey = 0);

}  // namespace kestrum
