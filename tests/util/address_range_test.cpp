// IPv4 addresses, CIDR ranges and address lists: what is accepted, what each refusal says, and that the set
// answers right at the edges of its ranges, merged or not.
#include "util/address_range.h"

#include <gtest/gtest.h>

namespace kestrum {
namespace {

TEST(AddressRangeTest, Entries) {
    using Kind = AddressEntry::Kind;
    struct Case {
        const char* text;
        Kind kind;
        const char* first;
        const char* last;
    } cases[] = {
        {"10.0.0.1", Kind::kAddress, "10.0.0.1", "10.0.0.1"},
        {"0.0.0.0", Kind::kAddress, "0.0.0.0", "0.0.0.0"},
        {"255.255.255.255", Kind::kAddress, "255.255.255.255", "255.255.255.255"},
        {"10.0.0.0/8", Kind::kRange, "10.0.0.0", "10.255.255.255"},
        {"192.168.4.0/22", Kind::kRange, "192.168.4.0", "192.168.7.255"},
        {"10.1.2.3/32", Kind::kRange, "10.1.2.3", "10.1.2.3"},
        {"0.0.0.0/0", Kind::kRange, "0.0.0.0", "255.255.255.255"},
        {"10.0.0.1/8", Kind::kInvalid, "", ""},  // host bits set
        {"10.0.0.0/33", Kind::kInvalid, "", ""},
        {"10.0.0.0/08", Kind::kInvalid, "", ""},
        {"10.0.0.0/", Kind::kInvalid, "", ""},
        {"10.0.0.0/8/8", Kind::kInvalid, "", ""},
        {"256.0.0.1", Kind::kInvalid, "", ""},
        {"010.0.0.1", Kind::kInvalid, "", ""},  // octal to inet_aton
        {"10.0.0", Kind::kInvalid, "", ""},
        {"10.0.0.1.5", Kind::kInvalid, "", ""},
        {"10..0.1", Kind::kInvalid, "", ""},
        {"10.0.0.1:80", Kind::kInvalid, "", ""},
        {" 10.0.0.1", Kind::kInvalid, "", ""},
        {"+1.2.3.4", Kind::kInvalid, "", ""},
        {"1.2.3.4 ", Kind::kInvalid, "", ""},
        {"::1", Kind::kInvalid, "", ""},
        {"localhost", Kind::kInvalid, "", ""},
        {"", Kind::kInvalid, "", ""},
        {"1.2.3.1000", Kind::kInvalid, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        AddressEntry entry = parseAddressEntry(c.text);
        EXPECT_EQ(entry.kind, c.kind);
        if (c.kind == Kind::kInvalid) {
            EXPECT_FALSE(entry.error.empty());
            continue;
        }
        EXPECT_EQ(ipv4Text(entry.range.first), c.first);
        EXPECT_EQ(ipv4Text(entry.range.last), c.last);
    }
    EXPECT_EQ(parseAddressEntry("10.0.0.1/8").error,
              "has bits set after the prefix length: the range would be 10.0.0.0/8");
    EXPECT_EQ(parseAddressEntry("example.com").error,
              "is neither an IPv4 address nor a CIDR range (like 10.0.0.0/8)");
}

TEST(AddressRangeTest, ListSeparatorsLocalhostAndBadEntries) {
    // "，" in the internal encoding is A3 AC; a two-byte character whose trail byte is 0x2C (",") is not cut.
    AddressList list = parseAddressList(
        "10.0.0.1,10.0.0.2\xA3\xAC"
        "10.1.0.0/16  localhost,\t,,bad,\x81\x2C,192.168.0.1/24");
    EXPECT_TRUE(list.localhost);
    ASSERT_EQ(list.bad.size(), 3u);
    EXPECT_EQ(list.bad[0].entry, "bad");
    EXPECT_EQ(list.bad[1].entry, "\x81\x2C");
    EXPECT_EQ(list.bad[2].entry, "192.168.0.1/24");
    for (const char* in : {"10.0.0.1", "10.0.0.2", "10.1.0.0", "10.1.255.255"})
        EXPECT_TRUE(list.set.contains(std::string_view(in))) << in;
    for (const char* out : {"10.0.0.3", "10.2.0.0", "10.0.255.255", "192.168.0.1", "localhost", ""})
        EXPECT_FALSE(list.set.contains(std::string_view(out))) << out;
    EXPECT_TRUE(parseAddressList("").set.empty());
    EXPECT_TRUE(parseAddressList(" , ").bad.empty());
}

TEST(AddressRangeTest, SetMergesAndFindsEdges) {
    AddressSet set;
    auto add = [&](const char* entry) { set.add(parseAddressEntry(entry).range); };
    add("10.0.0.8/29");      // 10.0.0.8 - 10.0.0.15
    add("10.0.0.0/29");      // adjoins: 10.0.0.0 - 10.0.0.15
    add("10.0.0.20");        // apart
    add("10.0.0.16");        // adjoins the first
    add("10.0.0.17");        // 10.0.0.0 - 10.0.0.17
    add("10.0.0.0/30");      // inside
    add("255.255.255.255");  // the very last address
    add("0.0.0.0");          // the very first
    ASSERT_EQ(set.ranges().size(), 4u);
    EXPECT_EQ(set.ranges()[0], (AddressRange{0, 0}));
    EXPECT_EQ(ipv4Text(set.ranges()[1].first), "10.0.0.0");
    EXPECT_EQ(ipv4Text(set.ranges()[1].last), "10.0.0.17");
    for (const char* in : {"0.0.0.0", "10.0.0.0", "10.0.0.17", "10.0.0.20", "255.255.255.255"})
        EXPECT_TRUE(set.contains(std::string_view(in))) << in;
    for (const char* out :
         {"0.0.0.1", "9.255.255.255", "10.0.0.18", "10.0.0.19", "10.0.0.21", "255.255.255.254"})
        EXPECT_FALSE(set.contains(std::string_view(out))) << out;

    add("0.0.0.0/0");
    ASSERT_EQ(set.ranges().size(), 1u);
    EXPECT_TRUE(set.contains(std::string_view("123.45.67.89")));
    EXPECT_FALSE(AddressSet().contains(std::string_view("10.0.0.1")));
}

}  // namespace
}  // namespace kestrum
