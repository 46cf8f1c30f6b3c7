// The client address behind trusted proxies: right-most untrusted entry, several header lines, spoofed
// entries to the left, and the strict refusals.
#include "http/forwarded_for.h"

#include <gtest/gtest.h>

#include <vector>

namespace kestrum {
namespace {

TEST(ForwardedForTest, Table) {
    const AddressSet trusted = parseAddressList("10.0.0.0/8, 192.168.1.5").set;
    using Kind = ForwardedClient::Kind;
    struct Case {
        const char* name;
        std::vector<std::string_view> values;
        Kind kind;
        const char* address;
    } cases[] = {
        {"no header", {}, Kind::kAbsent, ""},
        {"empty header", {""}, Kind::kAbsent, ""},
        {"only separators", {" , ,"}, Kind::kAbsent, ""},
        {"one client", {"203.0.113.7"}, Kind::kFound, "203.0.113.7"},
        {"client then proxies", {"203.0.113.7, 10.1.1.1, 192.168.1.5"}, Kind::kFound, "203.0.113.7"},
        {"spoofed entry on the left", {"1.2.3.4, 203.0.113.7, 10.1.1.1"}, Kind::kFound, "203.0.113.7"},
        {"junk on the left is not read", {"not-an-address, 203.0.113.7"}, Kind::kFound, "203.0.113.7"},
        {"two header lines", {"1.2.3.4, 203.0.113.7", "10.1.1.1"}, Kind::kFound, "203.0.113.7"},
        {"client in the last line", {"10.1.1.1", "203.0.113.9"}, Kind::kFound, "203.0.113.9"},
        {"blanks, tabs, empty entries", {" \t203.0.113.7 ,, 10.1.1.1\t, "}, Kind::kFound, "203.0.113.7"},
        {"only proxies: the left-most", {"10.9.9.9, 10.1.1.1", "192.168.1.5"}, Kind::kFound, "10.9.9.9"},
        {"port", {"203.0.113.7:5000"}, Kind::kMalformed, ""},
        {"port behind a proxy", {"203.0.113.7:5000, 10.1.1.1"}, Kind::kMalformed, ""},
        {"IPv6", {"2001:db8::1"}, Kind::kMalformed, ""},
        {"bracketed IPv6", {"[2001:db8::1]:80"}, Kind::kMalformed, ""},
        {"a word", {"unknown"}, Kind::kMalformed, ""},
        {"leading zero", {"203.0.113.07"}, Kind::kMalformed, ""},
        {"a range", {"10.0.0.0/8"}, Kind::kMalformed, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ForwardedClient client = forwardedClient(c.values, trusted);
        EXPECT_EQ(client.kind, c.kind);
        EXPECT_EQ(client.address, c.address);
        EXPECT_EQ(client.error.empty(), c.kind != Kind::kMalformed);
    }
}

TEST(ForwardedForTest, NoTrustedProxiesTakesTheLastEntry) {
    std::vector<std::string_view> values{"1.2.3.4, 5.6.7.8"};
    ForwardedClient client = forwardedClient(values, AddressSet());
    EXPECT_EQ(client.address, "5.6.7.8");
}

}  // namespace
}  // namespace kestrum
