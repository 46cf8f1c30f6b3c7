// Feeds arbitrary bytes to the WebSocket frame reader the way a connection does: the stream arrives in pieces
// of the sizes the input chooses, frames are taken from the front of what has arrived. Checks that a frame is
// only reported once all of its bytes are there, that a partial frame never consumes anything, that the limit
// holds, that encoding a parsed frame and parsing it again gives the same frame, and that the answer to a
// Close frame carries a valid status code.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "http/websocket_codec.h"

using kestrum::WsFrame;
using kestrum::WsParseResult;

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    // First byte: the payload limit (0, small, 64 KiB, or none at all); second: the size of each arriving
    // piece.
    static const size_t kLimits[4] = {0, 125, 65536, SIZE_MAX};
    const size_t maxPayload = kLimits[data[0] & 3];
    const size_t piece = 1 + (data[1] & 0x3F);
    std::string_view stream(reinterpret_cast<const char*>(data + 2), size - 2);

    std::string buffer;
    size_t offered = 0;
    while (offered < stream.size()) {
        std::string_view next = stream.substr(offered, piece);
        buffer.append(next);
        offered += next.size();
        for (;;) {
            WsFrame frame;
            size_t consumed = 1234;
            WsParseResult result = kestrum::parseWsFrame(buffer, maxPayload, frame, consumed);
            if (result == WsParseResult::kTooLarge)
                return 0;  // the connection closes here
            if (result == WsParseResult::kNeedMore) {
                check(consumed == 0);
                break;
            }
            check(consumed >= 2 && consumed <= buffer.size());
            check(frame.payload.size() <= maxPayload);
            check(frame.payload.size() <= consumed);
            // A frame needs all of its bytes: every shorter prefix asks for more.
            WsFrame partial;
            size_t partialConsumed = 0;
            check(kestrum::parseWsFrame(std::string_view(buffer).substr(0, consumed - 1), maxPayload, partial,
                                        partialConsumed) == WsParseResult::kNeedMore);
            // What the server sends back reads as the same frame.
            std::string encoded = kestrum::encodeWsFrame(frame.fin, frame.rsv, frame.opcode, frame.payload,
                                                         frame.masked, 0x5A3C0F81u);
            WsFrame again;
            size_t againConsumed = 0;
            check(kestrum::parseWsFrame(encoded, SIZE_MAX, again, againConsumed) == WsParseResult::kFrame);
            check(againConsumed == encoded.size() && again.fin == frame.fin && again.rsv == frame.rsv &&
                  again.opcode == frame.opcode && again.masked == frame.masked &&
                  again.payload == frame.payload);
            // The answer to a Close carries no code when it got none, else a code that may be on the wire:
            // the received one when that may be.
            if (frame.opcode == kestrum::kWsClose) {
                std::string reply = kestrum::wsCloseReplyPayload(frame.payload);
                check(reply.size() == (frame.payload.empty() ? 0u : 2u));
                if (!reply.empty()) {
                    auto code = static_cast<uint16_t>((static_cast<unsigned char>(reply[0]) << 8) |
                                                      static_cast<unsigned char>(reply[1]));
                    check(kestrum::isWsCloseCodeOnTheWire(code));
                    check(code == kestrum::kWsProtocolError || frame.payload.substr(0, 2) == reply);
                }
            }
            buffer.erase(0, consumed);
        }
    }
    return 0;
}
