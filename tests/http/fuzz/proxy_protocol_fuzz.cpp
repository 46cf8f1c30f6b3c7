// Feeds arbitrary bytes to the PROXY protocol header reader in pieces of the size the input chooses. Checks
// that the pieces give the same outcome as the whole stream at once, that a header never claims more bytes
// than arrived or than the limits allow, that every shorter prefix of a header asks for more, and that "need
// more" is never said once the limit is reached.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "http/proxy_protocol.h"

using kestrum::ProxyHeader;
using kestrum::ProxyHeaderReader;
using kestrum::ProxyParseStatus;

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const size_t piece = 1 + (data[0] & 0x7F);
    std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);

    ProxyHeader whole;
    std::string error;
    const ProxyParseStatus status = kestrum::parseProxyHeader(stream, whole, error);
    if (status == ProxyParseStatus::kNeedMore)
        check(stream.size() < kestrum::kMaxProxyHeaderLength);
    if (status == ProxyParseStatus::kMalformed)
        check(!error.empty());
    if (status == ProxyParseStatus::kDone) {
        check(whole.length <= stream.size() && whole.length <= kestrum::kMaxProxyHeaderLength);
        check(whole.version == 1 || whole.version == 2);
        if (whole.version == 1)
            check(whole.length <= kestrum::kMaxProxyV1Length);
        check(whole.hasSource == !whole.sourceAddress.empty());
        for (size_t n = 0; n < whole.length; ++n) {
            ProxyHeader partial;
            check(kestrum::parseProxyHeader(stream.substr(0, n), partial, error) ==
                  ProxyParseStatus::kNeedMore);
        }
    }

    ProxyHeaderReader reader;
    size_t offered = 0;
    size_t headerBytes = 0;
    ProxyParseStatus pieces = ProxyParseStatus::kNeedMore;
    while (pieces == ProxyParseStatus::kNeedMore && offered < stream.size()) {
        std::string_view next = stream.substr(offered, piece);
        size_t consumed = 0;
        pieces = reader.feed(next, consumed);
        check(consumed <= next.size());
        if (pieces != ProxyParseStatus::kMalformed)
            headerBytes += consumed;
        offered += next.size();
    }
    check(pieces == status);
    if (status == ProxyParseStatus::kDone) {
        check(headerBytes == whole.length);
        const ProxyHeader& h = reader.header();
        check(h.length == whole.length && h.sourceAddress == whole.sourceAddress &&
              h.sourcePort == whole.sourcePort && h.destinationAddress == whole.destinationAddress &&
              h.destinationPort == whole.destinationPort && h.local == whole.local && h.ipv6 == whole.ipv6);
    }
    return 0;
}
