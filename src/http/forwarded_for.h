// The client address that a trusted balancer reports in X-Forwarded-For.
//
// Each proxy appends the address it received the request from, so the list reads "client, proxy1, proxy2";
// only the entries that trusted proxies appended can be believed: anything to their left may have been sent
// by the client itself. The client is therefore the right-most entry that is not a trusted proxy; when every
// entry is one, the left-most. Several X-Forwarded-For header lines count as one list joined in order.
//
// Entries are strict: a plain IPv4 address, with blanks or tabs around it allowed and empty entries skipped;
// an entry with a port ("192.0.2.1:5000"), an IPv6 address or anything else in the trusted part of the list
// makes the whole header unusable (kMalformed) rather than guessing. Junk to the left of the client's entry
// is never looked at.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "util/address_range.h"

namespace kestrum {

struct ForwardedClient {
    enum class Kind {
        kAbsent,     // no header or only empty entries: the request is the proxy's own
        kFound,      // `address` is the client
        kMalformed,  // an entry that is not an IPv4 address where the client was looked for; see `error`
    };
    Kind kind = Kind::kAbsent;
    std::string address;
    std::string error;  // plain words, never the header's bytes
};

// `values`: every X-Forwarded-For header value of the request, in the order received. Call it only for a
// request whose peer is a trusted proxy; from anyone else the header means nothing.
ForwardedClient forwardedClient(std::span<const std::string_view> values, const AddressSet& trustedProxies);

}  // namespace kestrum
