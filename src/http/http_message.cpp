// Serialising answers and looking up request headers.
#include "http/http_message.h"

#include "util/text.h"

namespace kestrum {

const std::string* HttpRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (equalsIgnoreCase(key, name))
            return &value;
    }
    return nullptr;
}

std::string serializeResponse(const HttpResponse& response, std::string_view connectionHeader) {
    std::string out;
    out.reserve(160 + response.body.size());
    out += "HTTP/1.1 ";
    out += std::to_string(response.status);
    out += ' ';
    out += response.reason.empty() ? reasonPhrase(response.status) : response.reason;
    out += "\r\n";
    for (const auto& [name, value] : response.headers) {
        out += name;
        out += ": ";
        out += value;
        out += "\r\n";
    }
    if (response.withContentLength) {
        out += "Content-Length: ";
        out += std::to_string(response.body.size());
        out += "\r\n";
    }
    if (!connectionHeader.empty()) {
        out += "Connection: ";
        out += connectionHeader;
        out += "\r\n";
    }
    out += "\r\n";
    out += response.body;
    return out;
}

std::string_view connectionHeader(bool closeAfter, bool http10) {
    if (closeAfter)
        return "close";
    return http10 ? "keep-alive" : "";
}

}  // namespace kestrum
