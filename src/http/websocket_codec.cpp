// WebSocket frame parsing and encoding, Base64 and the handshake accept key (OpenSSL SHA-1 and Base64).
#include "http/websocket_codec.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

namespace kestrum {

std::string base64Encode(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3), '\0');
    int written =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(written < 0 ? 0 : static_cast<size_t>(written));
    return out;
}

std::string webSocketAcceptKey(std::string_view key) {
    std::string input(key);
    input += "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
    return base64Encode(std::string_view(reinterpret_cast<const char*>(digest), sizeof(digest)));
}

WsParseResult parseWsFrame(std::string_view data, size_t maxPayload, WsFrame& frame, size_t& consumed) {
    consumed = 0;
    if (data.size() < 2)
        return WsParseResult::kNeedMore;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    bool masked = (bytes[1] & 0x80) != 0;
    uint64_t length = bytes[1] & 0x7F;
    size_t headerSize = 2;
    if (length == 126) {
        if (data.size() < 4)
            return WsParseResult::kNeedMore;
        length = (uint64_t{bytes[2]} << 8) | bytes[3];
        headerSize = 4;
    } else if (length == 127) {
        if (data.size() < 10)
            return WsParseResult::kNeedMore;
        length = 0;
        for (int i = 2; i < 10; ++i)
            length = (length << 8) | bytes[i];
        headerSize = 10;
    }
    if (length > maxPayload)
        return WsParseResult::kTooLarge;
    size_t maskOffset = headerSize;
    if (masked)
        headerSize += 4;
    // Compared without adding: with a limit near SIZE_MAX, headerSize + length could wrap around.
    if (data.size() < headerSize || data.size() - headerSize < length)
        return WsParseResult::kNeedMore;

    frame.fin = (bytes[0] & 0x80) != 0;
    frame.rsv = static_cast<uint8_t>((bytes[0] >> 4) & 0x07);
    frame.opcode = static_cast<uint8_t>(bytes[0] & 0x0F);
    frame.masked = masked;
    frame.payload.assign(data.substr(headerSize, static_cast<size_t>(length)));
    if (masked) {
        const unsigned char* mask = bytes + maskOffset;
        for (size_t i = 0; i < frame.payload.size(); ++i)
            frame.payload[i] ^= static_cast<char>(mask[i % 4]);
    }
    consumed = headerSize + static_cast<size_t>(length);
    return WsParseResult::kFrame;
}

bool isWsCloseCodeOnTheWire(uint16_t code) {
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) || (code >= 3000 && code <= 4999);
}

std::string wsClosePayload(uint16_t code) {
    return {static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
}

std::string wsCloseReplyPayload(std::string_view payload) {
    if (payload.empty())
        return {};
    uint16_t code = kWsProtocolError;
    if (payload.size() >= 2) {
        uint16_t received = static_cast<uint16_t>((static_cast<unsigned char>(payload[0]) << 8) |
                                                  static_cast<unsigned char>(payload[1]));
        if (isWsCloseCodeOnTheWire(received))
            code = received;
    }
    return wsClosePayload(code);
}

std::string encodeWsFrame(bool fin, uint8_t rsv, uint8_t opcode, std::string_view payload, bool masked,
                          uint32_t maskKey) {
    std::string out;
    out.reserve(payload.size() + 14);
    out += static_cast<char>((fin ? 0x80 : 0) | ((rsv & 0x07) << 4) | (opcode & 0x0F));
    const char maskBit = masked ? static_cast<char>(0x80) : 0;
    if (payload.size() < 126) {
        out += static_cast<char>(maskBit | static_cast<char>(payload.size()));
    } else if (payload.size() <= 0xFFFF) {
        out += static_cast<char>(maskBit | 126);
        out += static_cast<char>((payload.size() >> 8) & 0xFF);
        out += static_cast<char>(payload.size() & 0xFF);
    } else {
        out += static_cast<char>(maskBit | 127);
        for (int shift = 56; shift >= 0; shift -= 8)
            out += static_cast<char>((uint64_t{payload.size()} >> shift) & 0xFF);
    }
    if (!masked) {
        out += payload;
        return out;
    }
    char mask[4] = {static_cast<char>(maskKey >> 24), static_cast<char>(maskKey >> 16),
                    static_cast<char>(maskKey >> 8), static_cast<char>(maskKey)};
    out.append(mask, 4);
    for (size_t i = 0; i < payload.size(); ++i)
        out += static_cast<char>(payload[i] ^ mask[i % 4]);
    return out;
}

}  // namespace kestrum
