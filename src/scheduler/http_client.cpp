// Outgoing HTTP requests through libcurl.
//
// The request is rebuilt from urlHost, urlPort and urlObject, so the address is read the same way everywhere
// (scheme assumed, host lower-cased). libcurl has no time-outs of its own; we set a 60 s connect limit and
// give up a transfer that moves no data for 30 s. The progress callback, which libcurl calls at least once a
// second even while idle, checks the caller's abort flag so that a shutdown never waits on a slow peer.
#include "scheduler/http_client.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>
#include <vector>

#include "util/encoding.h"
#include "util/ini.h"
#include "util/text.h"

namespace kestrum {
namespace {

constexpr size_t kHeaderBlockLimit = 5000;  // a longer header block is not handed back
constexpr long kConnectTimeoutSeconds = 60;
constexpr long kNoDataTimeoutSeconds = 30;
constexpr long kMaxRedirects = 10;

bool contains(std::string_view text, std::string_view word) {
    return text.find(word) != std::string_view::npos;
}

void replaceAllIgnoreCase(std::string& text, std::string_view word, std::string_view replacement) {
    std::string lower = asciiLower(text);
    std::string lowerWord = asciiLower(word);
    std::string out;
    size_t from = 0;
    for (size_t at = lower.find(lowerWord); at != std::string::npos; at = lower.find(lowerWord, from)) {
        out.append(text, from, at - from);
        out.append(replacement);
        from = at + word.size();
    }
    out.append(text, from, std::string::npos);
    text = std::move(out);
}

std::vector<std::string> splitText(std::string_view text, std::string_view separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t at = text.find(separator, start);
        if (at == std::string_view::npos) {
            parts.emplace_back(text.substr(start));
            return parts;
        }
        parts.emplace_back(text.substr(start, at - start));
        start = at + separator.size();
    }
}

// Text between the scheme and the next '/', in lower case, with the port if one was written.
std::string hostAndPort(std::string_view url) {
    std::string text = asciiLower(url);
    if (text.empty() || text.back() != '/')
        text.push_back('/');
    std::string_view scheme = "http://";
    if (text.rfind("https://", 0) == 0) {
        scheme = "https://";
    } else if (!contains(text, "http://")) {
        text.insert(0, "http://");
    }
    size_t start = text.find(scheme) + scheme.size();
    return text.substr(start, text.find('/', start) - start);
}

bool isSecure(std::string_view url) {
    return asciiLower(url.substr(0, 8)) == "https://";
}

void ensureCurlReady() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Transfer {
    std::string body;
    std::string headers;  // header block of the latest response (a redirect or interim answer starts anew)
    bool tooLarge = false;
    const std::atomic<bool>* abort = nullptr;
};

size_t onBody(char* data, size_t size, size_t count, void* user) {
    Transfer* transfer = static_cast<Transfer*>(user);
    size_t bytes = size * count;
    if (transfer->body.size() + bytes > kMaxResponseBytes) {
        transfer->tooLarge = true;
        return 0;  // makes libcurl stop with a write error
    }
    transfer->body.append(data, bytes);
    return bytes;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    Transfer* transfer = static_cast<Transfer*>(user);
    size_t bytes = size * count;
    std::string_view line(data, bytes);
    if (line.rfind("HTTP/", 0) == 0)
        transfer->headers.clear();
    if (transfer->headers.size() + bytes <= kMaxResponseBytes)
        transfer->headers.append(line);
    return bytes;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const Transfer* transfer = static_cast<const Transfer*>(user);
    return (transfer->abort != nullptr && transfer->abort->load()) ? 1 : 0;
}

// The user agent the request is sent with (the header line itself stays among the request headers).
std::string userAgentOf(const std::string& headers) {
    if (findIgnoreCase(headers, "User-Agent:") == std::string::npos)
        return std::string(kDefaultUserAgent);
    std::string agent = trimText(textBetween(headers + "\r\n", "User-Agent:", "\r\n"));
    if (agent.empty()) {
        size_t colon = headers.find(':');
        agent = trimText(std::string_view(headers).substr(colon + 1));
    }
    // A header value never spans lines.
    return agent.substr(0, agent.find_first_of("\r\n"));
}

void completeRequestHeaders(HttpRequestOptions& options) {
    std::string& headers = options.requestHeaders;
    if (headers.empty()) {
        headers = "Accept: */*";
    } else if (!contains(headers, "Accept:")) {
        headers += "\r\nAccept: */*";
    }
    if (!contains(headers, "Referer:"))
        headers += "\r\nReferer: " + options.url;
    if (!contains(headers, "Accept-Language:"))
        headers += "\r\nAccept-Language: zh-cn";
    if (!contains(headers, "Content-Type:"))
        headers += "\r\nContent-Type: application/x-www-form-urlencoded";
    if (options.cookies && !options.cookies->empty()) {
        headers += contains(*options.cookies, "Cookie:") ? "\r\n" + *options.cookies
                                                         : "\r\nCookie: " + *options.cookies;
    }
}

std::string cookiesFromHeaders(const std::string& headers) {
    std::string cookies;
    for (const std::string& line : splitText(headers, "\r\n")) {
        if (!contains(line, "Set-Cookie"))
            continue;
        std::string cookie;
        if (contains(line, ";")) {
            cookie = textBetween(line, "Set-Cookie:", ";");
        } else {
            cookie = line;
            replaceAllIgnoreCase(cookie, "Set-Cookie:", "");
        }
        cookies += trimText(cookie) + "; ";
    }
    if (cookies.size() >= 2)
        cookies.resize(cookies.size() - 2);
    return cookies;
}

using CurlHandle = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;
using HeaderList = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;

}  // namespace

std::string textBetween(std::string_view text, std::string_view left, std::string_view right, size_t start,
                        bool ignoreCase) {
    if (start > text.size())
        return {};
    std::string lowered;
    std::string_view haystack = text;
    if (ignoreCase) {
        lowered = asciiLower(text);
        haystack = lowered;
    }
    std::string leftWord = ignoreCase ? asciiLower(left) : std::string(left);
    std::string rightWord = ignoreCase ? asciiLower(right) : std::string(right);
    size_t begin = haystack.find(leftWord, start);
    if (begin == std::string_view::npos)
        return {};
    begin += leftWord.size();
    size_t end = haystack.find(rightWord, begin);
    if (end == std::string_view::npos)
        return {};
    return std::string(text.substr(begin, end - begin));
}

std::string urlHost(std::string_view url) {
    std::string host = hostAndPort(url);
    return host.substr(0, host.find(':'));
}

int urlPort(std::string_view url) {
    std::string host = hostAndPort(url);
    size_t colon = host.rfind(':');
    if (colon != std::string::npos) {
        // Digits only; anything else makes the port 0, which no connection accepts.
        int64_t port = 0;
        for (size_t i = colon + 1; i < host.size() && host[i] >= '0' && host[i] <= '9' && port <= 65535;
             ++i) {
            port = port * 10 + (host[i] - '0');
        }
        return static_cast<int>(port);
    }
    return asciiLower(url.substr(0, 5)) == "https" ? 443 : 80;
}

std::string urlObject(std::string_view url) {
    std::string host = urlHost(url);
    // Look for the host after the scheme, so a host such as "t" or "http" is not found inside "http://".
    size_t from = url.find("://");
    from = from == std::string_view::npos ? 0 : from + 3;
    size_t at = findIgnoreCase(url, host, from);
    if (at == std::string::npos)
        return "/";
    size_t slash = url.find('/', at + host.size());
    return slash == std::string_view::npos ? "/" : std::string(url.substr(slash));
}

std::string mergeCookies(std::string_view oldCookies, std::string_view newCookies) {
    auto parse = [](std::string_view text) {
        std::string compact;
        for (char c : text) {
            if (c != ' ')
                compact.push_back(c);
        }
        std::vector<std::string> cookies;
        for (std::string& cookie : splitText(compact, ";")) {
            if (!cookie.empty())
                cookies.push_back(std::move(cookie));
        }
        return cookies;
    };
    auto nameOf = [](const std::string& cookie) { return trimText(cookie.substr(0, cookie.find('='))); };

    std::vector<std::string> list = parse(newCookies);
    std::vector<std::string> newNames;
    for (const std::string& cookie : list)
        newNames.push_back(nameOf(cookie));
    for (std::string& cookie : parse(oldCookies)) {
        std::string name = nameOf(cookie);
        bool renamed = false;
        for (const std::string& other : newNames)
            renamed = renamed || other == name;
        if (!renamed)
            list.push_back(std::move(cookie));
    }

    std::vector<std::string> kept;
    for (std::string& cookie : list) {
        bool deleted = cookie.size() >= 8 && cookie.compare(cookie.size() - 8, 8, "=deleted") == 0;
        if (deleted)
            continue;
        bool repeated = false;
        for (const std::string& other : kept)
            repeated = repeated || other == cookie;
        if (!repeated)
            kept.push_back(std::move(cookie));
    }
    std::string merged;
    for (const std::string& cookie : kept) {
        if (!merged.empty())
            merged += "; ";
        merged += cookie;
    }
    return merged;
}

std::string httpRequest(HttpRequestOptions& options) {
    // A line break in the address would split the header lines built from it.
    options.statusCode = 0;
    options.failure.clear();
    if (options.url.empty() || options.url.find_first_of("\r\n") != std::string::npos) {
        options.failure = "bad address";
        return {};
    }
    const int method =
        (options.method == kHttpPost || options.method == kHttpHead) ? options.method : kHttpGet;
    const bool secure = isSecure(options.url);
    const std::string target = std::string(secure ? "https://" : "http://") + urlHost(options.url) + ":" +
                               std::to_string(urlPort(options.url)) + urlObject(options.url);

    ensureCurlReady();
    CurlHandle curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl) {
        options.failure = "no transfer handle";
        return {};
    }

    const std::string agent = userAgentOf(options.requestHeaders);
    completeRequestHeaders(options);
    HeaderList headerList(nullptr, curl_slist_free_all);
    auto addHeader = [&headerList](const std::string& line) {
        curl_slist* grown = curl_slist_append(headerList.get(), line.c_str());
        if (grown != nullptr) {
            (void)headerList.release();
            headerList.reset(grown);
        }
    };
    for (const std::string& line : splitText(options.requestHeaders, "\r\n")) {
        if (!line.empty() && line.find('\0') == std::string::npos)
            addHeader(line);
    }
    addHeader("Expect:");  // send POST bodies at once, as the request says

    Transfer transfer;
    transfer.abort = options.abort;
    CURL* h = curl.get();
    curl_easy_setopt(h, CURLOPT_URL, target.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_USERAGENT, agent.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headerList.get());
    curl_easy_setopt(h, CURLOPT_PROXY, options.proxy.c_str());  // "" also ignores proxy environment variables
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, options.noRedirect ? 0L : 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, kNoDataTimeoutSeconds);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer);
    // Without the cookies option cookies are handled automatically, within this call (redirect chains).
    if (!options.cookies)
        curl_easy_setopt(h, CURLOPT_COOKIEFILE, "");

    if (method != kHttpGet && options.bodyBytes.empty())
        options.bodyBytes = options.bodyText;
    if (method == kHttpPost) {
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, options.bodyBytes.data());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(options.bodyBytes.size()));
    } else if (method == kHttpHead) {
        curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    } else {
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    }

    CURLcode result = curl_easy_perform(h);
    if (result != CURLE_OK || transfer.tooLarge) {
        options.failure = transfer.tooLarge ? "answer too large" : curl_easy_strerror(result);
        options.responseHeaders.assign(kHeaderBlockLimit, ' ');
        options.returnedCookies.clear();
        return {};
    }

    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    options.statusCode = static_cast<int>(status);
    if (transfer.headers.size() >= kHeaderBlockLimit) {
        options.responseHeaders.assign(kHeaderBlockLimit, ' ');
    } else {
        options.responseHeaders = std::move(transfer.headers);
        replaceAllIgnoreCase(options.responseHeaders, "Set-Cookie", "Set-Cookie");
    }
    options.returnedCookies = cookiesFromHeaders(options.responseHeaders);
    if (options.cookies) {
        options.returnedCookies = mergeCookies(*options.cookies, options.returnedCookies);
        options.cookies = options.returnedCookies;
    }
    return std::move(transfer.body);
}

namespace {

// A fetched page as internal text: UTF-8 pages are converted, anything else is taken as GBK already.
std::string pageText(const std::string& body) {
    bool ascii = true;
    for (char c : body)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (!ascii && isValidUtf8(body))
        return utf8BytesToGbk(body);
    return body;
}

std::string fetchPage(std::string_view url, const std::atomic<bool>* abort) {
    HttpRequestOptions options;
    options.url = std::string(url);
    options.abort = abort;
    return pageText(httpRequest(options));
}

}  // namespace

PublicAddress lookupPublicAddress(std::string_view lookupUrl, const std::atomic<bool>* abort) {
    PublicAddress address;
    if (lookupUrl.empty())
        return address;
    std::string page = fetchPage(lookupUrl, abort);
    std::string frame = textBetween(page, "<iframe src=\"", "\" rel=\"nofollow");
    if (frame.empty())
        return address;
    if (frame.rfind("//", 0) == 0) {
        frame = (isSecure(lookupUrl) ? "https:" : "http:") + frame;
    } else if (frame[0] == '/') {
        frame = std::string(isSecure(lookupUrl) ? "https://" : "http://") + urlHost(lookupUrl) + ":" +
                std::to_string(urlPort(lookupUrl)) + frame;
    }
    std::string text = fetchPage(frame, abort);
    // The markers, in the internal encoding: "来自：" and "您的IP是：[".
    address.location = textBetween(text, "\xC0\xB4\xD7\xD4\xA3\xBA", "</center>");
    address.ip = textBetween(text, "\xC4\xFA\xB5\xC4IP\xCA\xC7\xA3\xBA[", "]");
    return address;
}

}  // namespace kestrum
