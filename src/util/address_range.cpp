#include "util/address_range.h"

#include <algorithm>

#include "util/text.h"

namespace kestrum {
namespace {

// A decimal number of at most `maxDigits` digits without a leading zero (but "0" itself); -1 otherwise.
int64_t strictDecimal(std::string_view text, size_t maxDigits) {
    if (text.empty() || text.size() > maxDigits || (text.size() > 1 && text.front() == '0'))
        return -1;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

// Length in bytes of the GB18030 character that starts at `pos`: 1, 2 or 4 (less at the end of the text).
size_t characterLength(std::string_view text, size_t pos) {
    unsigned char lead = static_cast<unsigned char>(text[pos]);
    if (lead < 0x81 || lead == 0xFF || pos + 1 >= text.size())
        return 1;
    unsigned char second = static_cast<unsigned char>(text[pos + 1]);
    if (second >= 0x30 && second <= 0x39)
        return std::min<size_t>(4, text.size() - pos);
    return 2;
}

}  // namespace

std::optional<Ipv4Address> parseIpv4(std::string_view text) {
    Ipv4Address address = 0;
    for (int part = 0; part < 4; ++part) {
        size_t dot = part < 3 ? text.find('.') : text.size();
        if (dot == std::string_view::npos)
            return std::nullopt;
        int64_t value = strictDecimal(text.substr(0, dot), 3);
        if (value < 0 || value > 255)
            return std::nullopt;
        address = (address << 8) | static_cast<Ipv4Address>(value);
        text.remove_prefix(part < 3 ? dot + 1 : dot);
    }
    return address;
}

std::string ipv4Text(Ipv4Address address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

AddressEntry parseAddressEntry(std::string_view text) {
    AddressEntry entry;
    size_t slash = text.find('/');
    std::optional<Ipv4Address> address = parseIpv4(text.substr(0, slash));
    if (!address) {
        entry.error = "is neither an IPv4 address nor a CIDR range (like 10.0.0.0/8)";
        return entry;
    }
    if (slash == std::string_view::npos) {
        entry.kind = AddressEntry::Kind::kAddress;
        entry.range = {*address, *address};
        return entry;
    }
    int64_t prefix = strictDecimal(text.substr(slash + 1), 2);
    if (prefix < 0 || prefix > 32) {
        entry.error = "the prefix length after \"/\" is not a number from 0 to 32";
        return entry;
    }
    // The addresses the prefix leaves free; shifting a 32-bit value by 32 is undefined, hence the 64 bits.
    const Ipv4Address hostBits = static_cast<Ipv4Address>((uint64_t{1} << (32 - prefix)) - 1);
    if ((*address & hostBits) != 0) {
        entry.error = "has bits set after the prefix length: the range would be " +
                      ipv4Text(*address & ~hostBits) + "/" + std::to_string(prefix);
        return entry;
    }
    entry.kind = AddressEntry::Kind::kRange;
    entry.range = {*address, *address | hostBits};
    return entry;
}

std::vector<std::string_view> splitAddressList(std::string_view text) {
    std::vector<std::string_view> pieces;
    size_t start = 0;
    size_t pos = 0;
    auto cut = [&](size_t end) {
        if (end > start)
            pieces.push_back(text.substr(start, end - start));
    };
    while (pos < text.size()) {
        size_t length = characterLength(text, pos);
        std::string_view character = text.substr(pos, length);
        if (character == "," || character == " " || character == "\t" || character == kFullWidthComma) {
            cut(pos);
            start = pos + length;
        }
        pos += length;
    }
    cut(text.size());
    return pieces;
}

void AddressSet::add(AddressRange range) {
    if (range.first > range.last)
        std::swap(range.first, range.last);
    // The first range that ends at or after the address before range.first: everything before it stays apart.
    auto touches = [](const AddressRange& existing, Ipv4Address first) {
        return existing.last < first && existing.last + 1 < first;
    };
    auto it = std::lower_bound(ranges_.begin(), ranges_.end(), range.first, touches);
    // Swallow every range that overlaps or adjoins the new one.
    auto end = it;
    while (end != ranges_.end() && (end->first <= range.last || end->first - 1 <= range.last)) {
        range.first = std::min(range.first, end->first);
        range.last = std::max(range.last, end->last);
        ++end;
    }
    it = ranges_.erase(it, end);
    ranges_.insert(it, range);
}

bool AddressSet::contains(Ipv4Address address) const {
    auto it = std::lower_bound(ranges_.begin(), ranges_.end(), address,
                               [](const AddressRange& range, Ipv4Address a) { return range.last < a; });
    return it != ranges_.end() && it->first <= address;
}

bool AddressSet::contains(std::string_view addressText) const {
    std::optional<Ipv4Address> address = parseIpv4(addressText);
    return address && contains(*address);
}

AddressList parseAddressList(std::string_view text) {
    AddressList list;
    for (std::string_view piece : splitAddressList(text)) {
        if (piece == "localhost") {
            list.localhost = true;
            continue;
        }
        AddressEntry entry = parseAddressEntry(piece);
        if (entry.kind == AddressEntry::Kind::kInvalid)
            list.bad.push_back({std::string(piece), std::move(entry.error)});
        else
            list.set.add(entry.range);
    }
    return list;
}

}  // namespace kestrum
