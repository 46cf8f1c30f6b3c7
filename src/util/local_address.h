// The local address: the configured one when given, else the first IPv4 address the host's own name resolves
// to.
#pragma once

#include <string>
#include <string_view>

namespace kestrum {

// Dotted IPv4 text; "127.0.0.1" when the host name resolves to no IPv4 address.
std::string localAddress(std::string_view configured = {});

}  // namespace kestrum
