// Serialising answers and looking up request headers.
#include "http/http_message.h"

#include <time.h>

#include <cstring>
#include <ctime>

#include "util/text.h"

namespace kestrum {

namespace {

// "Sun, 06 Nov 1994 08:49:37 GMT" for `second`, written by hand: no locale, no strftime.
void formatHttpDate(std::time_t second, char (&out)[30]) {
    static constexpr const char kDays[] = "SunMonTueWedThuFriSat";
    static constexpr const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    std::tm utc{};
    gmtime_r(&second, &utc);
    auto two = [](char* at, int value) {
        at[0] = static_cast<char>('0' + value / 10 % 10);
        at[1] = static_cast<char>('0' + value % 10);
    };
    char* p = out;
    std::memcpy(p, kDays + 3 * (utc.tm_wday % 7), 3);
    p[3] = ',';
    p[4] = ' ';
    two(p + 5, utc.tm_mday);
    p[7] = ' ';
    std::memcpy(p + 8, kMonths + 3 * (utc.tm_mon % 12), 3);
    p[11] = ' ';
    const int year = utc.tm_year + 1900;
    two(p + 12, year / 100);
    two(p + 14, year % 100);
    p[16] = ' ';
    two(p + 17, utc.tm_hour);
    p[19] = ':';
    two(p + 20, utc.tm_min);
    p[22] = ':';
    two(p + 23, utc.tm_sec);
    std::memcpy(p + 25, " GMT", 4);
    p[29] = '\0';
}

}  // namespace

std::string_view httpDate(std::time_t now) {
    // One text per thread, rewritten when the second changes: answers of the same second share it.
    thread_local std::time_t cachedSecond = -1;
    thread_local char cached[30] = {};
    if (now != cachedSecond) {
        formatHttpDate(now, cached);
        cachedSecond = now;
    }
    return std::string_view(cached, 29);
}

std::string_view httpDate() {
    return httpDate(std::time(nullptr));
}

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
    out += "Date: ";
    out += httpDate();
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
