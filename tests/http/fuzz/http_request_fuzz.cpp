// Feeds arbitrary bytes to the HTTP request parser the way a connection does, twice: once as one read, once
// in pieces whose sizes the input chooses, keeping what the parser did not take and offering it again ahead
// of the next piece. Both runs must see the same requests, interim answers and end; the limits must hold, a
// stream that ended takes nothing more, and "all used" is the only way to ask for more.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "http/http_request_parser.h"

using kestrum::HttpRequest;
using kestrum::HttpRequestParser;

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

struct Outcome {
    std::vector<std::string> events;
    HttpRequestParser::Status end = HttpRequestParser::Status::kNeedMore;
    kestrum::UpgradeKind upgradeKind = kestrum::UpgradeKind::kOther;
    std::string rest;

    bool operator==(const Outcome&) const = default;
};

std::string describe(const HttpRequest& request, size_t maxBody, size_t maxHeaderBytes) {
    size_t headerBytes = request.url.size();
    std::string text;
    text += request.method + '\n' + request.url + '\n' + request.path + '\n';
    text += request.keepAlive ? 'k' : '-';
    text += request.http10 ? '0' : '-';
    text += request.upgrade ? 'u' : '-';
    for (const auto& [name, value] : request.headers) {
        headerBytes += name.size() + value.size();
        text += '\n' + name + '\0' + value;
    }
    check(headerBytes <= maxHeaderBytes);
    check(request.body.size() <= maxBody);
    check(request.path.size() <= request.url.size());
    return text + '\n' + request.body;
}

Outcome run(std::string_view input, const std::vector<size_t>& pieces, size_t maxBody,
            size_t maxHeaderBytes) {
    HttpRequestParser parser(maxBody, maxHeaderBytes);
    Outcome outcome;
    std::string pending;
    size_t from = 0;
    for (size_t piece : pieces) {
        pending.append(input.substr(from, piece));
        from += piece;
        size_t position = 0;
        for (;;) {
            const size_t left = pending.size() - position;
            HttpRequestParser::Result result = parser.feed(pending.data() + position, left);
            check(result.used <= left);
            position += result.used;
            if (parser.takeContinue())
                outcome.events.push_back("100 Continue");
            check(!parser.takeContinue());
            if (result.status == HttpRequestParser::Status::kRequest) {
                outcome.events.push_back(describe(parser.takeRequest(), maxBody, maxHeaderBytes));
                continue;
            }
            if (result.status == HttpRequestParser::Status::kNeedMore) {
                check(position == pending.size());
                pending.clear();
                break;
            }
            outcome.end = result.status;
            if (result.status == HttpRequestParser::Status::kUpgrade) {
                outcome.events.push_back(describe(parser.takeRequest(), maxBody, maxHeaderBytes));
                outcome.upgradeKind = parser.upgradeKind();
                outcome.rest = pending.substr(position);
                outcome.rest.append(input.substr(from));
            }
            HttpRequestParser::Result after = parser.feed(pending.data(), pending.size());
            check(after.used == 0 && after.status == result.status);
            return outcome;
        }
    }
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    // First byte: the limits (body 0, 16, 4 KiB or 16 MiB; header bytes 8, 64, 1 KiB or the server's);
    // second: the seed of the piece sizes, up to 1, 4, 16 ... 16 Ki bytes.
    static const size_t kBodyLimits[4] = {0, 16, 4096, 16 << 20};
    static const size_t kHeaderLimits[4] = {8, 64, 1024, kestrum::kMaxHeaderBytes};
    const size_t maxBody = kBodyLimits[data[0] & 3];
    const size_t maxHeaderBytes = kHeaderLimits[(data[0] >> 2) & 3];
    const size_t pieceRange = size_t{1} << (2 * (data[1] & 7));
    uint32_t state = 0x9E3779B9u ^ data[1] ^ (static_cast<uint32_t>(data[0]) << 8);
    std::string_view input(reinterpret_cast<const char*>(data + 2), size - 2);

    std::vector<size_t> pieces;
    for (size_t left = input.size(); left > 0;) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        size_t piece = 1 + state % pieceRange;
        if (piece > left)
            piece = left;
        pieces.push_back(piece);
        left -= piece;
    }
    Outcome whole = run(input, {input.size()}, maxBody, maxHeaderBytes);
    Outcome split = run(input, pieces, maxBody, maxHeaderBytes);
    check(whole == split);
    return 0;
}
