#include "http/forwarded_for.h"

namespace kestrum {
namespace {

std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

}  // namespace

ForwardedClient forwardedClient(std::span<const std::string_view> values, const AddressSet& trustedProxies) {
    ForwardedClient result;
    std::optional<Ipv4Address> leftmostProxy;
    for (auto value = values.rbegin(); value != values.rend(); ++value) {
        std::string_view rest = *value;
        while (true) {
            size_t comma = rest.rfind(',');
            std::string_view entry =
                trimBlanks(comma == std::string_view::npos ? rest : rest.substr(comma + 1));
            if (!entry.empty()) {
                std::optional<Ipv4Address> address = parseIpv4(entry);
                if (!address) {
                    result.kind = ForwardedClient::Kind::kMalformed;
                    result.error = "an X-Forwarded-For entry is not an IPv4 address";
                    return result;
                }
                if (!trustedProxies.contains(*address)) {
                    result.kind = ForwardedClient::Kind::kFound;
                    result.address = ipv4Text(*address);
                    return result;
                }
                leftmostProxy = address;
            }
            if (comma == std::string_view::npos)
                break;
            rest = rest.substr(0, comma);
        }
    }
    if (leftmostProxy) {
        result.kind = ForwardedClient::Kind::kFound;
        result.address = ipv4Text(*leftmostProxy);
    }
    return result;
}

}  // namespace kestrum
