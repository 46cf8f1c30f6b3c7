// The PROXY protocol header that a TCP balancer (HAProxy, nginx, cloud load balancers) sends before the
// client's own bytes, telling the client's address: version 1 (one text line) and version 2 (binary).
//
//   v1: "PROXY TCP4 192.0.2.1 198.51.100.7 51234 443\r\n"   (TCP4, TCP6 or UNKNOWN; at most 107 bytes)
//   v2: the 12-byte signature 0D 0A 0D 0A 00 0D 0A 51 55 49 54 0A, version/command, family/transport, a
//       16-bit length, then the addresses and optional TLVs (ignored); here at most 16 + kMaxProxyV2Length.
//
// The parser looks at the bytes received so far and says "need more", "done" (with the header's length:
// what follows belongs to the client) or "malformed"; it never needs more bytes than the limits above, so a
// peer cannot make it hold more, and a stream that cannot become a header is refused as soon as that shows
// (a plain "GET / HTTP/1.1" fails at its first byte).
//
// A LOCAL command (v2: the balancer's own health check), a v1 UNKNOWN line, and a v2 PROXY of another family
// than IPv4/IPv6 (UNSPEC, UNIX) are well-formed but carry no client address: `hasSource` is false and the
// connection stands for itself. An IPv4 address carried in IPv6 form (::ffff:192.0.2.1) is given as IPv4.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrum {

inline constexpr size_t kMaxProxyV1Length = 107;   // the whole line, CR LF included
inline constexpr size_t kMaxProxyV2Length = 2048;  // the v2 length field: addresses and TLVs
inline constexpr size_t kMaxProxyHeaderLength = 16 + kMaxProxyV2Length;

enum class ProxyParseStatus { kNeedMore, kDone, kMalformed };

struct ProxyHeader {
    int version = 0;         // 1 or 2
    bool local = false;      // v2 LOCAL command
    bool hasSource = false;  // the header names the client
    bool ipv6 = false;       // the client's address is IPv6 (not an IPv4-mapped one)
    std::string sourceAddress;
    uint16_t sourcePort = 0;
    std::string destinationAddress;
    uint16_t destinationPort = 0;
    size_t length = 0;  // bytes of the header; the client's stream starts here
};

// Parses the header at the start of `received` (everything received so far on the connection). kDone fills
// `header`; kMalformed sets `error` (plain words, never the peer's bytes). Pure: the same bytes always give
// the same answer, so it can be called again with more bytes after kNeedMore.
ProxyParseStatus parseProxyHeader(std::string_view received, ProxyHeader& header, std::string& error);

// The same, for a connection that receives its bytes in pieces: keeps only the header's own bytes (at most
// kMaxProxyHeaderLength) between calls. One reader per connection, used from one thread at a time.
class ProxyHeaderReader {
  public:
    // Offers the next piece. On kDone `consumed` is the number of bytes of `piece` that were header bytes:
    // piece.substr(consumed) is the client's first data. On kNeedMore the whole piece was taken. After kDone
    // or kMalformed further calls give the same status and consume nothing.
    ProxyParseStatus feed(std::string_view piece, size_t& consumed);

    ProxyParseStatus status() const { return status_; }
    const ProxyHeader& header() const { return header_; }
    const std::string& error() const { return error_; }

  private:
    std::string buffer_;
    ProxyParseStatus status_ = ProxyParseStatus::kNeedMore;
    ProxyHeader header_;
    std::string error_;
};

}  // namespace kestrum
