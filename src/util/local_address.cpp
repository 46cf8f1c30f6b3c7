#include "util/local_address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <memory>

#include "util/ini.h"

namespace kestrum {

std::string localAddress(std::string_view configured) {
    std::string wanted = trimText(configured);
    if (!wanted.empty())
        return wanted;
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0)
        return "127.0.0.1";
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr)
        return "127.0.0.1";
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> guard(found, &freeaddrinfo);
    char text[INET_ADDRSTRLEN] = {};
    const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) == nullptr)
        return "127.0.0.1";
    return text;
}

}  // namespace kestrum
