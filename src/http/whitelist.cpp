// Loading the IP whitelist from its configuration text.
#include <string>

#include "http/http_api_server.h"
#include "util/sync_map.h"
#include "util/text.h"

namespace kestrum {

namespace {

// Length in bytes of the GB18030 character that starts at `pos`: 1, 2 or 4. Walking by characters keeps a
// trail byte of one character and the lead byte of the next from being mistaken for a full-width comma.
size_t characterLength(std::string_view text, size_t pos) {
    unsigned char lead = static_cast<unsigned char>(text[pos]);
    if (lead < 0x81 || lead == 0xFF || pos + 1 >= text.size())
        return 1;
    unsigned char second = static_cast<unsigned char>(text[pos + 1]);
    if (second >= 0x30 && second <= 0x39)
        return pos + 3 < text.size() ? 4 : text.size() - pos;
    return 2;
}

}  // namespace

void loadWhitelist(SyncMap& whitelist, std::string_view configText, const std::string& localAddress) {
    whitelist.clear();
    std::string normalized;
    normalized.reserve(configText.size());
    for (size_t pos = 0; pos < configText.size();) {
        size_t length = characterLength(configText, pos);
        std::string_view character = configText.substr(pos, length);
        if (character == kFullWidthComma || character == " ") {
            normalized += ',';
        } else {
            normalized += character;
        }
        pos += length;
    }
    // Every piece counts, empty ones included, exactly as written.
    size_t start = 0;
    while (true) {
        size_t comma = normalized.find(',', start);
        std::string piece =
            normalized.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        whitelist.set(piece == "localhost" ? localAddress : piece, "1");
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
}

}  // namespace kestrum
