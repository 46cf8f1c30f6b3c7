// IPv4 addresses and CIDR ranges as configuration lists name them ("10.0.0.1, 10.0.0.0/8"), and the set that
// answers whether a client address is in such a list.
//
// Entries are strict: four dotted decimal parts 0-255 without leading zeros (010 would be octal to some
// tools), optionally "/" and a prefix length 0-32 without leading zeros; a range must not have bits set after
// its prefix ("10.0.0.1/8" is refused, naming 10.0.0.0/8), because it is not clear what was meant. The word
// "localhost" is not an entry here: a list reader reports it and its user decides which address it stands
// for.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrum {

// An IPv4 address in host byte order (10.0.0.1 is 0x0A000001).
using Ipv4Address = uint32_t;

// "a.b.c.d" -> address; nullopt for anything else (blanks, a port, a range, IPv6 ...).
std::optional<Ipv4Address> parseIpv4(std::string_view text);
// Dotted decimal text of an address.
std::string ipv4Text(Ipv4Address address);

// A closed range of addresses [first, last]. A single address is a range with first == last.
struct AddressRange {
    Ipv4Address first = 0;
    Ipv4Address last = 0;
    bool operator==(const AddressRange&) const = default;
};

// One entry of an address list: an address, a CIDR range, or what is wrong with it.
struct AddressEntry {
    enum class Kind { kAddress, kRange, kInvalid };
    Kind kind = Kind::kInvalid;
    AddressRange range;  // kAddress and kRange
    std::string error;   // kInvalid: plain words, e.g. "is neither an IPv4 address nor a CIDR range"
};
AddressEntry parseAddressEntry(std::string_view text);

// The entries of a list value (internal encoding): separated by ",", the full-width comma "，" and blanks, in
// any mix; empty pieces (doubled separators) are dropped. Multi-byte characters are kept whole, so a
// separator is never found inside one.
std::vector<std::string_view> splitAddressList(std::string_view text);

// A set of addresses and ranges. contains() is a binary search over merged, sorted ranges: no allocation, no
// lock. Build it once, then share it read-only (const member functions are safe from any thread).
class AddressSet {
  public:
    AddressSet() = default;

    void add(AddressRange range);
    bool contains(Ipv4Address address) const;
    // The text of a client address; false for text that is not an IPv4 address.
    bool contains(std::string_view addressText) const;
    bool empty() const { return ranges_.empty(); }
    // The merged, sorted, disjoint ranges.
    const std::vector<AddressRange>& ranges() const { return ranges_; }

  private:
    std::vector<AddressRange> ranges_;
};

// A list value read into a set.
struct AddressList {
    struct Bad {
        std::string entry;  // the piece as written
        std::string error;
    };
    AddressSet set;
    bool localhost = false;  // the word "localhost" was listed (not added to `set`)
    std::vector<Bad> bad;    // entries that are neither an address, a range nor "localhost" (not added)
};
AddressList parseAddressList(std::string_view text);

}  // namespace kestrum
