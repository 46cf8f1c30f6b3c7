#include "http/proxy_protocol.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "util/address_range.h"

namespace kestrum {
namespace {

constexpr std::string_view kV1Prefix = "PROXY ";
constexpr std::string_view kV2Signature{"\x0D\x0A\x0D\x0A\x00\x0D\x0A\x51\x55\x49\x54\x0A", 12};
constexpr size_t kV2FixedLength = 16;

ProxyParseStatus fail(std::string& error, const char* what) {
    error = what;
    return ProxyParseStatus::kMalformed;
}

// True while `received` could still be the start of `expected`.
bool startsLike(std::string_view received, std::string_view expected) {
    size_t n = std::min(received.size(), expected.size());
    return received.substr(0, n) == expected.substr(0, n);
}

// A v1 port: decimal 0-65535 without a leading zero.
bool parsePort(std::string_view text, uint16_t& port) {
    if (text.empty() || text.size() > 5 || (text.size() > 1 && text.front() == '0'))
        return false;
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value > 65535)
        return false;
    port = static_cast<uint16_t>(value);
    return true;
}

// Text of a 16-byte IPv6 address; an IPv4-mapped one (::ffff:a.b.c.d) as plain IPv4. Sets `ipv6` accordingly.
std::string ipv6Text(const unsigned char bytes[16], bool& ipv6) {
    static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::memcmp(bytes, kMapped, sizeof kMapped) == 0) {
        ipv6 = false;
        return ipv4Text((Ipv4Address{bytes[12]} << 24) | (Ipv4Address{bytes[13]} << 16) |
                        (Ipv4Address{bytes[14]} << 8) | Ipv4Address{bytes[15]});
    }
    ipv6 = true;
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, bytes, text, sizeof text);
    return text;
}

bool parseV1Address(std::string_view text, bool tcp6, std::string& out, bool& ipv6) {
    if (!tcp6) {
        std::optional<Ipv4Address> address = parseIpv4(text);
        if (!address)
            return false;
        out = ipv4Text(*address);
        ipv6 = false;
        return true;
    }
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN)
        return false;
    char zeroTerminated[INET6_ADDRSTRLEN] = {};
    std::memcpy(zeroTerminated, text.data(), text.size());
    unsigned char bytes[16];
    if (::inet_pton(AF_INET6, zeroTerminated, bytes) != 1)
        return false;
    out = ipv6Text(bytes, ipv6);
    return true;
}

ProxyParseStatus parseV1(std::string_view received, ProxyHeader& header, std::string& error) {
    if (!startsLike(received, kV1Prefix))
        return fail(error, "not a PROXY protocol header");
    // Only printable ASCII up to the CR LF, which must come within the first 107 bytes.
    const size_t limit = std::min(received.size(), kMaxProxyV1Length);
    size_t end = std::string_view::npos;
    for (size_t i = 0; i < limit; ++i) {
        unsigned char c = static_cast<unsigned char>(received[i]);
        if (c == '\r') {
            if (i + 1 < received.size() && received[i + 1] != '\n')
                return fail(error, "PROXY v1: CR not followed by LF");
            if (i + 1 < received.size()) {
                end = i;
                break;
            }
            continue;  // the LF has not arrived yet
        }
        if (c < 0x20 || c > 0x7E)
            return fail(error, "PROXY v1: a control or non-ASCII byte in the header line");
    }
    if (end == std::string_view::npos) {
        if (received.size() >= kMaxProxyV1Length)
            return fail(error, "PROXY v1: no CR LF within 107 bytes");
        return ProxyParseStatus::kNeedMore;
    }
    if (end + 2 > kMaxProxyV1Length)
        return fail(error, "PROXY v1: no CR LF within 107 bytes");

    std::string_view line = received.substr(kV1Prefix.size(), end - kV1Prefix.size());
    header = ProxyHeader{};
    header.version = 1;
    header.length = end + 2;
    size_t space = line.find(' ');
    std::string_view protocol = line.substr(0, space);
    if (protocol == "UNKNOWN")
        return ProxyParseStatus::kDone;  // whatever follows up to the CR LF is ignored
    if (protocol != "TCP4" && protocol != "TCP6")
        return fail(error, "PROXY v1: the protocol is not TCP4, TCP6 or UNKNOWN");
    const bool tcp6 = protocol == "TCP6";
    std::string_view fields[4];
    std::string_view rest = space == std::string_view::npos ? std::string_view{} : line.substr(space + 1);
    if (space == std::string_view::npos)
        return fail(error, "PROXY v1: the addresses and ports are missing");
    for (int i = 0; i < 4; ++i) {
        size_t next = rest.find(' ');
        if ((i < 3) == (next == std::string_view::npos))
            return fail(error,
                        "PROXY v1: not exactly two addresses and two ports separated by single blanks");
        fields[i] = rest.substr(0, next);
        rest = i < 3 ? rest.substr(next + 1) : std::string_view{};
    }
    bool sourceIpv6 = false;
    bool destinationIpv6 = false;
    if (!parseV1Address(fields[0], tcp6, header.sourceAddress, sourceIpv6) ||
        !parseV1Address(fields[1], tcp6, header.destinationAddress, destinationIpv6))
        return fail(error, tcp6 ? "PROXY v1: an address is not IPv6" : "PROXY v1: an address is not IPv4");
    if (!parsePort(fields[2], header.sourcePort) || !parsePort(fields[3], header.destinationPort))
        return fail(error, "PROXY v1: a port is not a number from 0 to 65535");
    header.hasSource = true;
    header.ipv6 = sourceIpv6;
    return ProxyParseStatus::kDone;
}

ProxyParseStatus parseV2(std::string_view received, ProxyHeader& header, std::string& error) {
    if (!startsLike(received, kV2Signature))
        return fail(error, "not a PROXY protocol header");
    auto byte = [&](size_t i) { return static_cast<unsigned char>(received[i]); };
    if (received.size() > 12) {
        if ((byte(12) >> 4) != 2)
            return fail(error, "PROXY v2: the version is not 2");
        if ((byte(12) & 0x0F) > 1)
            return fail(error, "PROXY v2: the command is neither LOCAL nor PROXY");
    }
    if (received.size() > 13) {
        if ((byte(13) >> 4) > 3 || (byte(13) & 0x0F) > 2)
            return fail(error, "PROXY v2: unknown address family or transport");
    }
    if (received.size() < kV2FixedLength)
        return ProxyParseStatus::kNeedMore;
    const size_t length = (size_t{byte(14)} << 8) | byte(15);
    if (length > kMaxProxyV2Length)
        return fail(error, "PROXY v2: the header is longer than kestrum accepts");
    if (received.size() < kV2FixedLength + length)
        return ProxyParseStatus::kNeedMore;

    header = ProxyHeader{};
    header.version = 2;
    header.length = kV2FixedLength + length;
    if ((byte(12) & 0x0F) == 0) {
        // LOCAL: the balancer speaks for itself (a health check); whatever address block follows is ignored.
        header.local = true;
        return ProxyParseStatus::kDone;
    }
    const unsigned family = byte(13) >> 4;
    const unsigned transport = byte(13) & 0x0F;
    if (family == 1 || family == 2) {
        if (transport != 1)
            return fail(error, "PROXY v2: the transport is not a stream");
        const unsigned char* block = reinterpret_cast<const unsigned char*>(received.data()) + kV2FixedLength;
        if (family == 1) {
            if (length < 12)
                return fail(error, "PROXY v2: the IPv4 address block is cut short");
            auto address = [&](size_t at) {
                return ipv4Text((Ipv4Address{block[at]} << 24) | (Ipv4Address{block[at + 1]} << 16) |
                                (Ipv4Address{block[at + 2]} << 8) | Ipv4Address{block[at + 3]});
            };
            header.sourceAddress = address(0);
            header.destinationAddress = address(4);
            header.sourcePort = static_cast<uint16_t>((block[8] << 8) | block[9]);
            header.destinationPort = static_cast<uint16_t>((block[10] << 8) | block[11]);
        } else {
            if (length < 36)
                return fail(error, "PROXY v2: the IPv6 address block is cut short");
            bool destinationIpv6 = false;
            header.sourceAddress = ipv6Text(block, header.ipv6);
            header.destinationAddress = ipv6Text(block + 16, destinationIpv6);
            header.sourcePort = static_cast<uint16_t>((block[32] << 8) | block[33]);
            header.destinationPort = static_cast<uint16_t>((block[34] << 8) | block[35]);
        }
        header.hasSource = true;
    }
    // UNSPEC and UNIX: well-formed, but no client address kestrum could use.
    return ProxyParseStatus::kDone;
}

}  // namespace

ProxyParseStatus parseProxyHeader(std::string_view received, ProxyHeader& header, std::string& error) {
    if (received.empty())
        return ProxyParseStatus::kNeedMore;
    if (received.front() == 'P')
        return parseV1(received, header, error);
    if (received.front() == '\r')
        return parseV2(received, header, error);
    return fail(error, "not a PROXY protocol header");
}

ProxyParseStatus ProxyHeaderReader::feed(std::string_view piece, size_t& consumed) {
    consumed = 0;
    if (status_ != ProxyParseStatus::kNeedMore)
        return status_;
    const size_t before = buffer_.size();
    const size_t take = std::min(piece.size(), kMaxProxyHeaderLength - before);
    buffer_.append(piece.substr(0, take));
    status_ = parseProxyHeader(buffer_, header_, error_);
    switch (status_) {
        case ProxyParseStatus::kNeedMore:
            consumed =
                take;  // every byte so far may still be header (the limit decides before it is reached)
            return status_;
        case ProxyParseStatus::kDone:
            consumed = header_.length - before;
            break;
        case ProxyParseStatus::kMalformed:
            break;
    }
    std::string().swap(buffer_);
    return status_;
}

}  // namespace kestrum
