// The PROXY protocol header, v1 and v2: a table of headers with what each yields, every well-formed header
// fed in every split, and that a stream which cannot become a header is refused as soon as that shows.
#include "http/proxy_protocol.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrum {
namespace {

const std::string kSignature("\x0D\x0A\x0D\x0A\x00\x0D\x0A\x51\x55\x49\x54\x0A", 12);

// A v2 header: version/command byte, family/transport byte, then `block` (addresses and TLVs).
std::string v2(unsigned char command, unsigned char family, const std::string& block) {
    std::string header = kSignature;
    header += static_cast<char>(command);
    header += static_cast<char>(family);
    header += static_cast<char>(block.size() >> 8);
    header += static_cast<char>(block.size() & 0xFF);
    return header + block;
}

std::string bytes(std::initializer_list<int> values) {
    std::string text;
    for (int v : values)
        text += static_cast<char>(v);
    return text;
}

// 192.0.2.1:51234 -> 198.51.100.7:443
const std::string kInet4Block = bytes({192, 0, 2, 1, 198, 51, 100, 7, 0xC8, 0x22, 0x01, 0xBB});

std::string inet6Block(const std::string& source, const std::string& destination) {
    return source + destination + bytes({0xC8, 0x22, 0x01, 0xBB});
}

struct Case {
    const char* name;
    std::string header;
    ProxyParseStatus status;
    bool hasSource = false;
    const char* source = "";
    uint16_t sourcePort = 0;
    const char* destination = "";
};

std::vector<Case> cases() {
    const std::string loopback6 = bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
    const std::string mapped = bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 10, 1, 2, 3});
    const std::string doc6 = bytes({0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x42});
    const std::string tlv = bytes({0x04, 0x00, 0x03, 'a', 'b', 'c'});  // a NOOP TLV, ignored
    using S = ProxyParseStatus;
    return {
        {"v1 TCP4", "PROXY TCP4 192.0.2.1 198.51.100.7 51234 443\r\n", S::kDone, true, "192.0.2.1", 51234,
         "198.51.100.7"},
        {"v1 TCP6", "PROXY TCP6 2001:db8::42 ::1 51234 443\r\n", S::kDone, true, "2001:db8::42", 51234,
         "::1"},
        {"v1 TCP6 mapped", "PROXY TCP6 ::ffff:10.1.2.3 ::1 1 2\r\n", S::kDone, true, "10.1.2.3", 1, "::1"},
        {"v1 UNKNOWN", "PROXY UNKNOWN\r\n", S::kDone},
        {"v1 UNKNOWN with addresses", "PROXY UNKNOWN ffff:f...f:ffff ffff:f...f:ffff 65535 65535\r\n",
         S::kDone},
        {"v1 longest", "PROXY TCP4 255.255.255.255 255.255.255.255 65535 65535\r\n", S::kDone, true,
         "255.255.255.255", 65535, "255.255.255.255"},
        {"v1 line of 108 bytes", "PROXY UNKNOWN " + std::string(92, 'x') + "\r\n", S::kMalformed},
        {"v1 line of 107 bytes", "PROXY UNKNOWN " + std::string(91, 'x') + "\r\n", S::kDone},
        {"v1 LF alone", "PROXY TCP4 192.0.2.1 198.51.100.7 51234 443\n", S::kMalformed},
        {"v1 CR alone", "PROXY TCP4 192.0.2.1 198.51.100.7 51234 443\rX", S::kMalformed},
        {"v1 double blank", "PROXY TCP4 192.0.2.1  198.51.100.7 51234 443\r\n", S::kMalformed},
        {"v1 field missing", "PROXY TCP4 192.0.2.1 198.51.100.7 51234\r\n", S::kMalformed},
        {"v1 field too many", "PROXY TCP4 192.0.2.1 198.51.100.7 1 2 3\r\n", S::kMalformed},
        {"v1 port too big", "PROXY TCP4 192.0.2.1 198.51.100.7 65536 443\r\n", S::kMalformed},
        {"v1 port leading zero", "PROXY TCP4 192.0.2.1 198.51.100.7 0443 443\r\n", S::kMalformed},
        {"v1 IPv6 in TCP4", "PROXY TCP4 ::1 ::1 1 2\r\n", S::kMalformed},
        {"v1 IPv4 in TCP6", "PROXY TCP6 192.0.2.1 198.51.100.7 1 2\r\n", S::kMalformed},
        {"v1 lower case", "PROXY tcp4 192.0.2.1 198.51.100.7 1 2\r\n", S::kMalformed},
        {"v1 no protocol", "PROXY \r\n", S::kMalformed},
        {"v1 TCP4 alone", "PROXY TCP4\r\n", S::kMalformed},
        {"v1 control byte", std::string("PROXY UNKNOWN \0\r\n", 17), S::kMalformed},
        {"plain HTTP", "GET / HTTP/1.1\r\n\r\n", S::kMalformed},
        {"TLS hello", bytes({0x16, 0x03, 0x01, 0x00, 0x10}), S::kMalformed},
        {"PROXY-like word", "PROXYTCP4 1.2.3.4\r\n", S::kMalformed},
        {"v2 PROXY IPv4", v2(0x21, 0x11, kInet4Block), S::kDone, true, "192.0.2.1", 51234, "198.51.100.7"},
        {"v2 PROXY IPv4 with TLV", v2(0x21, 0x11, kInet4Block + tlv), S::kDone, true, "192.0.2.1", 51234,
         "198.51.100.7"},
        {"v2 PROXY IPv6", v2(0x21, 0x21, inet6Block(doc6, loopback6)), S::kDone, true, "2001:db8::42", 51234,
         "::1"},
        {"v2 PROXY IPv6 mapped", v2(0x21, 0x21, inet6Block(mapped, loopback6)), S::kDone, true, "10.1.2.3",
         51234, "::1"},
        {"v2 LOCAL", v2(0x20, 0x00, ""), S::kDone},
        {"v2 LOCAL with an address block", v2(0x20, 0x11, kInet4Block), S::kDone},
        {"v2 PROXY UNSPEC", v2(0x21, 0x00, ""), S::kDone},
        {"v2 PROXY UNIX", v2(0x21, 0x31, std::string(216, '\0')), S::kDone},
        {"v2 IPv4 block short", v2(0x21, 0x11, kInet4Block.substr(0, 11)), S::kMalformed},
        {"v2 IPv6 block short", v2(0x21, 0x21, std::string(35, '\0')), S::kMalformed},
        {"v2 datagram", v2(0x21, 0x12, kInet4Block), S::kMalformed},
        {"v2 version 1", v2(0x11, 0x11, kInet4Block), S::kMalformed},
        {"v2 command 2", v2(0x22, 0x11, kInet4Block), S::kMalformed},
        {"v2 family 4", v2(0x21, 0x41, kInet4Block), S::kMalformed},
        {"v2 transport 3", v2(0x21, 0x13, kInet4Block), S::kMalformed},
        {"v2 over the cap", v2(0x21, 0x11, kInet4Block + std::string(kMaxProxyV2Length, '\0')),
         S::kMalformed},
        {"v2 at the cap", v2(0x21, 0x11, kInet4Block + std::string(kMaxProxyV2Length - 12, '\0')), S::kDone,
         true, "192.0.2.1", 51234, "198.51.100.7"},
        {"v2 signature broken", "\r\n\r\n" + std::string(1, '\0') + "\r\nQUIT\r", S::kMalformed},
    };
}

void expectHeader(const Case& c, ProxyParseStatus status, const ProxyHeader& header) {
    ASSERT_EQ(status, c.status);
    if (status != ProxyParseStatus::kDone)
        return;
    EXPECT_EQ(header.length, c.header.size());
    EXPECT_EQ(header.hasSource, c.hasSource);
    EXPECT_EQ(header.sourceAddress, c.source);
    EXPECT_EQ(header.sourcePort, c.sourcePort);
    EXPECT_EQ(header.destinationAddress, c.destination);
    EXPECT_EQ(header.version, c.header.front() == 'P' ? 1 : 2);
}

TEST(ProxyProtocolTest, HeadersWholeAndWithClientBytesBehind) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        ProxyHeader header;
        std::string error;
        expectHeader(c, parseProxyHeader(c.header, header, error), header);
        if (c.status == ProxyParseStatus::kMalformed) {
            EXPECT_FALSE(error.empty());
        }
        // The client's first bytes right behind the header change nothing.
        ProxyHeader behind;
        expectHeader(c, parseProxyHeader(c.header + "GET / HTTP/1.1\r\n", behind, error), behind);
    }
}

TEST(ProxyProtocolTest, EverySplitGivesTheSameResult) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        const std::string stream = c.header + "client data";
        // Every proper prefix of a good header asks for more.
        if (c.status == ProxyParseStatus::kDone) {
            for (size_t n = 0; n < c.header.size(); ++n) {
                ProxyHeader header;
                std::string error;
                ASSERT_EQ(parseProxyHeader(std::string_view(c.header).substr(0, n), header, error),
                          ProxyParseStatus::kNeedMore)
                    << n;
            }
        }
        // Two pieces cut anywhere, and one byte at a time.
        for (size_t cut = 0; cut <= stream.size(); cut += (cut < 40 ? 1 : 97)) {
            ProxyHeaderReader reader;
            size_t consumed = 0;
            std::string data;
            ProxyParseStatus status = reader.feed(std::string_view(stream).substr(0, cut), consumed);
            if (status == ProxyParseStatus::kDone)
                data = stream.substr(consumed, cut - consumed);
            if (status == ProxyParseStatus::kNeedMore) {
                ASSERT_EQ(consumed, cut);
                status = reader.feed(std::string_view(stream).substr(cut), consumed);
                if (status == ProxyParseStatus::kDone)
                    data = stream.substr(cut + consumed);
            } else {
                data += stream.substr(cut);
            }
            expectHeader(c, status, reader.header());
            if (status == ProxyParseStatus::kDone) {
                EXPECT_EQ(data, "client data") << cut;
            }
        }
        ProxyHeaderReader reader;
        ProxyParseStatus status = ProxyParseStatus::kNeedMore;
        size_t offset = 0;
        size_t consumed = 0;
        while (status == ProxyParseStatus::kNeedMore && offset < stream.size())
            status = reader.feed(std::string_view(stream).substr(offset++, 1), consumed);
        expectHeader(c, status, reader.header());
        if (status == ProxyParseStatus::kDone) {
            EXPECT_EQ(consumed, 1u);
            EXPECT_EQ(offset, c.header.size());
        }
        // Once settled, the reader stays settled and takes nothing more.
        EXPECT_EQ(reader.feed("more", consumed), status);
        EXPECT_EQ(consumed, 0u);
    }
}

TEST(ProxyProtocolTest, RefusedAsSoonAsItCannotBeAHeader) {
    struct Early {
        const char* name;
        std::string prefix;
    } early[] = {
        {"HTTP method", "G"},
        {"HTTP method starting with P", "POST"},
        {"TLS record", bytes({0x16})},
        {"v1 word", "PROXY-"},
        {"v2 signature", "\r\n\r\nX"},
        {"v2 version", kSignature + bytes({0x31})},
        {"v2 family", kSignature + bytes({0x21, 0x51})},
        {"v2 length", kSignature + bytes({0x21, 0x11, 0xFF, 0xFF})},
        {"v1 binary byte", "PROXY TCP4 \x80"},
    };
    for (const Early& e : early) {
        SCOPED_TRACE(e.name);
        ProxyHeader header;
        std::string error;
        EXPECT_EQ(parseProxyHeader(e.prefix, header, error), ProxyParseStatus::kMalformed);
    }
    // A v1 line that never ends is refused at 107 bytes, without waiting for more.
    ProxyHeader header;
    std::string error;
    const std::string endless = "PROXY UNKNOWN " + std::string(200, 'x');
    EXPECT_EQ(parseProxyHeader(std::string_view(endless).substr(0, 106), header, error),
              ProxyParseStatus::kNeedMore);
    EXPECT_EQ(parseProxyHeader(std::string_view(endless).substr(0, 107), header, error),
              ProxyParseStatus::kMalformed);
    EXPECT_EQ(error, "PROXY v1: no CR LF within 107 bytes");
}

}  // namespace
}  // namespace kestrum
