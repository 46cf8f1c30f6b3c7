// The http-parser callbacks and the limits around them. http-parser allocates nothing and hands over pieces
// of the caller's buffer; everything kept is appended to the request being built.
#include "http/http_request_parser.h"

#include <algorithm>
#include <climits>
#include <string>
#include <string_view>
#include <utility>

#include "util/text.h"

namespace kestrum {

namespace {

std::string urlPath(const std::string& url, bool isConnect) {
    http_parser_url parts;
    http_parser_url_init(&parts);
    if (http_parser_parse_url(url.data(), url.size(), isConnect ? 1 : 0, &parts) == 0) {
        if ((parts.field_set & (1 << UF_PATH)) == 0)
            return {};
        return url.substr(parts.field_data[UF_PATH].off, parts.field_data[UF_PATH].len);
    }
    return url.substr(0, url.find_first_of("?#"));
}

HttpRequestParser* self(http_parser* parser) {
    return static_cast<HttpRequestParser*>(parser->data);
}

}  // namespace

const http_parser_settings HttpRequestParser::kSettings = [] {
    http_parser_settings settings;
    http_parser_settings_init(&settings);
    settings.on_message_begin = &HttpRequestParser::onMessageBegin;
    settings.on_url = &HttpRequestParser::onUrl;
    settings.on_header_field = &HttpRequestParser::onHeaderField;
    settings.on_header_value = &HttpRequestParser::onHeaderValue;
    settings.on_headers_complete = &HttpRequestParser::onHeadersComplete;
    settings.on_body = &HttpRequestParser::onBody;
    settings.on_message_complete = &HttpRequestParser::onMessageComplete;
    return settings;
}();

HttpRequestParser::HttpRequestParser(size_t maxBody, size_t maxHeaderBytes)
    : maxBody_(maxBody), maxHeaderBytes_(maxHeaderBytes) {
    http_parser_init(&parser_, HTTP_REQUEST);
    parser_.data = this;
}

HttpRequestParser::Result HttpRequestParser::feed(const char* data, size_t size) {
    if (final_ != Status::kNeedMore)
        return {final_, 0};
    // http-parser reads an empty input as the end of the stream.
    if (size == 0)
        return {Status::kNeedMore, 0};
    size_t used = 0;
    http_errno error = HPE_OK;
    do {
        // http-parser hands over a header piece only where it ends or where the input does, so a limit
        // crossed early in a long name or value would be seen later, after a bad byte behind it, in one read
        // but not in many. Offering at most the remaining allowance plus one byte lets the limit be crossed
        // only at the last byte offered: the first fault in the stream wins, however the bytes arrive.
        size_t offered = size - used;
        if (!inBody_)
            offered = std::min(offered, maxHeaderBytes_ - headerBytes_ + 1);
        size_t parsed = http_parser_execute(&parser_, &kSettings, data + used, offered);
        used += parsed;
        error = HTTP_PARSER_ERRNO(&parser_);
        if (error == HPE_OK && parsed != offered)
            return {fail(Status::kMalformed), used};  // not expected: only a pause or an error stops early
    } while (error == HPE_OK && used < size);
    if (error == HPE_PAUSED) {
        // onMessageComplete paused the parser: one complete message, and not a byte of the next one taken.
        http_parser_pause(&parser_, 0);
        if (!request_->upgrade)
            return {Status::kRequest, used};
        if (parser_.method == HTTP_CONNECT) {
            upgradeKind_ = UpgradeKind::kHttpTunnel;
        } else if (const std::string* upgrade = request_->header("Upgrade");
                   upgrade != nullptr && equalsIgnoreCase(*upgrade, "websocket")) {
            upgradeKind_ = UpgradeKind::kWebSocket;
        }
        return {fail(Status::kUpgrade), used};
    }
    if (error != HPE_OK)
        return {fail(limitExceeded_ ? Status::kTooLarge : Status::kMalformed), used};
    return {Status::kNeedMore, used};
}

HttpRequestParser::Status HttpRequestParser::fail(Status status) {
    final_ = status;
    if (status != Status::kUpgrade)
        request_.reset();  // nothing of a broken stream is wanted any more
    return status;
}

HttpRequest& HttpRequestParser::request() {
    if (!request_)
        request_ = std::make_unique<HttpRequest>();
    return *request_;
}

HttpRequest HttpRequestParser::takeRequest() {
    HttpRequest request;
    if (request_)
        request = std::move(*request_);
    request_.reset();
    headerBytes_ = 0;
    lastWasValue_ = false;
    return request;
}

bool HttpRequestParser::takeContinue() {
    return std::exchange(continueWanted_, false);
}

void HttpRequestParser::resetRequest() {
    if (request_)
        *request_ = HttpRequest();
    headerBytes_ = 0;
    lastWasValue_ = false;
}

bool HttpRequestParser::chargeHeaderBytes(size_t count) {
    headerBytes_ += count;
    if (headerBytes_ <= maxHeaderBytes_)
        return true;
    limitExceeded_ = true;
    return false;
}

int HttpRequestParser::onMessageBegin(http_parser* parser) {
    self(parser)->resetRequest();
    return 0;
}

int HttpRequestParser::onUrl(http_parser* parser, const char* at, size_t length) {
    HttpRequestParser* target = self(parser);
    if (!target->chargeHeaderBytes(length))
        return -1;
    target->request().url.append(at, length);
    return 0;
}

int HttpRequestParser::onHeaderField(http_parser* parser, const char* at, size_t length) {
    HttpRequestParser* target = self(parser);
    if (!target->chargeHeaderBytes(length))
        return -1;
    HeaderList& headers = target->request().headers;
    // A name may arrive in pieces; a new one starts after a value.
    if (headers.empty() || target->lastWasValue_)
        headers.emplace_back();
    headers.back().first.append(at, length);
    target->lastWasValue_ = false;
    return 0;
}

int HttpRequestParser::onHeaderValue(http_parser* parser, const char* at, size_t length) {
    HttpRequestParser* target = self(parser);
    if (!target->chargeHeaderBytes(length))
        return -1;
    HeaderList& headers = target->request().headers;
    if (headers.empty())
        headers.emplace_back();
    headers.back().second.append(at, length);
    target->lastWasValue_ = true;
    return 0;
}

int HttpRequestParser::onHeadersComplete(http_parser* parser) {
    HttpRequestParser* target = self(parser);
    // A declared body above the limit is refused before a byte of it is buffered.
    if (parser->content_length != ULLONG_MAX && parser->content_length > target->maxBody_) {
        target->limitExceeded_ = true;
        return -1;
    }
    // Clients that wait for leave to send their body (curl does for larger POSTs): the owner decides.
    if (const std::string* expect = target->request().header("Expect");
        expect != nullptr && equalsIgnoreCase(*expect, "100-continue") && parser->http_major == 1 &&
        parser->http_minor >= 1) {
        target->continueWanted_ = true;
    }
    // Method and path are known now: the owner may judge the request before its body comes.
    HttpRequest& request = target->request();
    request.method = http_method_str(static_cast<http_method>(parser->method));
    request.path = urlPath(request.url, parser->method == HTTP_CONNECT);
    target->inBody_ = true;
    return 0;
}

int HttpRequestParser::onBody(http_parser* parser, const char* at, size_t length) {
    HttpRequestParser* target = self(parser);
    std::string& body = target->request().body;
    if (body.size() + length > target->maxBody_) {
        target->limitExceeded_ = true;
        return -1;
    }
    body.append(at, length);
    return 0;
}

int HttpRequestParser::onMessageComplete(http_parser* parser) {
    HttpRequestParser* target = self(parser);
    target->inBody_ = false;
    HttpRequest& request = target->request();
    request.keepAlive = http_should_keep_alive(parser) != 0;
    request.upgrade = parser->upgrade != 0;
    request.http10 = parser->http_major == 1 && parser->http_minor == 0;
    // Stop after this message: the next one is parsed only once this one is answered.
    http_parser_pause(parser, 1);
    return 0;
}

}  // namespace kestrum
