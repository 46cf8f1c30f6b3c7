// One client connection: TLS handshake, reading, HTTP parsing with limits, the hand-over to the request
// callback, WebSocket frames, ordered writes and the idle timeout. Runs on its network thread.
#include "http/http_connection.h"

#include <algorithm>
#include <cstring>

namespace kestrum {

namespace {

constexpr size_t kReadChunk = 16 * 1024;
// A buffer that grew for a large WebSocket frame is given back once it is empty again.
constexpr size_t kShrinkAbove = 64 * 1024;

bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

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

HttpConnection* self(http_parser* parser) {
    return static_cast<HttpConnection*>(parser->data);
}

}  // namespace

const http_parser_settings HttpConnection::kParserSettings = [] {
    http_parser_settings settings;
    http_parser_settings_init(&settings);
    settings.on_message_begin = &HttpConnection::onMessageBegin;
    settings.on_url = &HttpConnection::onUrl;
    settings.on_header_field = &HttpConnection::onHeaderField;
    settings.on_header_value = &HttpConnection::onHeaderValue;
    settings.on_headers_complete = &HttpConnection::onHeadersComplete;
    settings.on_body = &HttpConnection::onBody;
    settings.on_message_complete = &HttpConnection::onMessageComplete;
    return settings;
}();

void HttpReply::send(std::optional<HttpResponse> response) const {
    if (context_ == nullptr)
        return;
    std::optional<std::string> bytes;
    if (response)
        bytes = serializeResponse(*response, connectionHeader(!keepAlive_, http10_));
    asio::post(*context_, [weak = connection_, sequence = sequence_, bytes = std::move(bytes),
                           keepAlive = keepAlive_]() mutable {
        if (auto connection = weak.lock())
            connection->onReply(sequence, std::move(bytes), keepAlive, false);
    });
}

void HttpReply::close() const {
    if (context_ == nullptr)
        return;
    asio::post(*context_, [weak = connection_, sequence = sequence_] {
        if (auto connection = weak.lock())
            connection->onReply(sequence, std::nullopt, false, true);
    });
}

HttpConnection::HttpConnection(HttpCore::Impl& core, NetworkThread& thread, ServerKind kind, uint64_t id,
                               asio::ip::tcp::socket socket, asio::ssl::context* tls)
    : core_(core),
      thread_(thread),
      kind_(kind),
      id_(id),
      socket_(std::move(socket)),
      idleTimer_(thread.context),
      lastActivity_(Clock::now()),
      input_(kReadChunk) {
    if (tls != nullptr)
        tls_ = std::make_unique<asio::ssl::stream<asio::ip::tcp::socket&>>(socket_, *tls);
    http_parser_init(&parser_, HTTP_REQUEST);
    parser_.data = this;
    core_.liveConnections.fetch_add(1);
}

HttpConnection::~HttpConnection() {
    core_.liveConnections.fetch_sub(1);
}

void HttpConnection::start() {
    asio::error_code ec;
    socket_.set_option(asio::ip::tcp::no_delay(true), ec);
    auto remote = socket_.remote_endpoint(ec);
    if (ec) {
        close();
        return;
    }
    remoteAddress_ = remote.address().to_string();
    lastActivity_ = Clock::now();
    if (core_.settings.idleTimeoutSeconds > 0)
        armIdleTimer(std::chrono::seconds(core_.settings.idleTimeoutSeconds));
    if (!tls_) {
        handshakeDone_ = true;
        startRead();
        return;
    }
    // The idle timer also bounds the handshake.
    tls_->async_handshake(asio::ssl::stream_base::server,
                          [self = shared_from_this()](const asio::error_code& error) {
                              if (self->closed_)
                                  return;
                              if (error) {
                                  self->close();
                                  return;
                              }
                              self->handshakeDone_ = true;
                              self->lastActivity_ = Clock::now();
                              self->startRead();
                          });
}

void HttpConnection::finish() {
    assertInThread();
    finishing_ = true;
    if (closed_ || busy())
        return;  // a request waiting for its answer closes the connection once the answer is out
    if (writing_ || !output_.empty()) {
        closeAfterWrite_ = true;
    } else {
        close();
    }
}

void HttpConnection::close() {
    if (closed_)
        return;
    auto keepAlive = shared_from_this();  // the registry may hold the last reference
    idleTimer_.cancel();
    closed_ = true;
    waitingFor_ = 0;
    asio::error_code ec;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    thread_.connections.erase(id_);
}

void HttpConnection::ensureReadSpace() {
    if (readPos_ == writePos_) {
        readPos_ = writePos_ = 0;
        if (input_.size() > kShrinkAbove)
            std::vector<char>(kReadChunk).swap(input_);
    }
    if (input_.size() - writePos_ >= kReadChunk / 2)
        return;
    if (readPos_ > 0) {
        std::memmove(input_.data(), input_.data() + readPos_, writePos_ - readPos_);
        writePos_ -= readPos_;
        readPos_ = 0;
    }
    // Only a WebSocket frame in progress can fill the buffer; its size is checked against maxBody before it
    // gets here, so growth is bounded.
    if (input_.size() - writePos_ < kReadChunk / 2)
        input_.resize(input_.size() * 2);
}

void HttpConnection::startRead() {
    if (closed_ || reading_ || peerClosed_ || finishing_ || !handshakeDone_ ||
        pendingOutput_ >= kMaxPendingOutput)
        return;
    // Reading goes on while a request waits for its answer (so the next one, or the client's end of input, is
    // noticed without another wake-up), but only a chunk's worth is buffered ahead.
    if (writePos_ - readPos_ >= kReadChunk && busy())
        return;
    ensureReadSpace();
    reading_ = true;
    auto buffer = asio::buffer(input_.data() + writePos_, input_.size() - writePos_);
    withStream([&](auto& stream) {
        stream.async_read_some(buffer,
                               [self = shared_from_this()](const asio::error_code& error, size_t bytes) {
                                   self->onRead(error, bytes);
                               });
    });
}

void HttpConnection::onRead(const asio::error_code& error, size_t bytes) {
    reading_ = false;
    if (closed_)
        return;
    if (error == asio::error::eof) {
        // The client has sent everything: what it asked for is still answered, then the connection closes.
        peerClosed_ = true;
    } else if (error) {
        close();
        return;
    }
    writePos_ += bytes;
    lastActivity_ = Clock::now();
    processInput();
}

void HttpConnection::processInput() {
    assertInThread();
    parseBuffered();
    if (closed_)
        return;
    if (peerClosed_ && !busy()) {
        // Nothing more arrives. Complete requests that wait for output room are still answered first.
        if (readPos_ < writePos_ && mode_ == Mode::kHttp && pendingOutput_ >= kMaxPendingOutput)
            return;
        if (writing_ || !output_.empty()) {
            closeAfterWrite_ = true;
        } else {
            close();
        }
        return;
    }
    startRead();
}

void HttpConnection::parseBuffered() {
    while (!closed_ && !busy() && readPos_ < writePos_ && pendingOutput_ < kMaxPendingOutput) {
        bool goOn = true;
        switch (mode_) {
            case Mode::kHttp:
                goOn = processHttp();
                break;
            case Mode::kWebSocket:
                goOn = processWebSocket();
                break;
            case Mode::kDiscard:
                readPos_ = writePos_;
                break;
        }
        if (!goOn)
            break;
    }
}

bool HttpConnection::processHttp() {
    size_t available = writePos_ - readPos_;
    size_t parsed = http_parser_execute(&parser_, &kParserSettings, input_.data() + readPos_, available);
    http_errno error = HTTP_PARSER_ERRNO(&parser_);
    if (error == HPE_PAUSED) {
        // One complete message: it is handled before a byte of the next one is looked at.
        http_parser_pause(&parser_, 0);
        readPos_ += parsed;
        if (parser_.upgrade) {
            handleUpgrade();
        } else {
            dispatchRequest();
        }
        return !closed_;
    }
    if (error != HPE_OK) {
        if (!limitExceeded_ && core_.callbacks.onParseError)
            core_.callbacks.onParseError(kind_, id_);
        close();
        return false;
    }
    readPos_ += parsed;
    return true;
}

bool HttpConnection::processWebSocket() {
    WsFrame frame;
    size_t consumed = 0;
    switch (parseWsFrame(std::string_view(input_.data() + readPos_, writePos_ - readPos_),
                         core_.settings.maxBody, frame, consumed)) {
        case WsParseResult::kNeedMore:
            return false;
        case WsParseResult::kTooLarge:
            close();
            return false;
        case WsParseResult::kFrame:
            break;
    }
    readPos_ += consumed;
    if (!core_.callbacks.onWsFrame)
        return true;
    WsReply reply = core_.callbacks.onWsFrame(kind_, id_, frame);
    if (reply.action == WsReply::Action::kDisconnect) {
        close();
        return false;
    }
    if (reply.action == WsReply::Action::kSend)
        send(std::move(reply.frame));
    return !closed_;
}

void HttpConnection::dispatchRequest() {
    request_.server = kind_;
    request_.connectionId = id_;
    request_.remoteAddress = remoteAddress_;
    request_.http10 = isHttp10();
    request_.path = urlPath(request_.url, parser_.method == HTTP_CONNECT);
    HttpRequest request = std::move(request_);
    resetRequest();
    if (core_.stopping.load()) {
        close();
        return;
    }
    HttpReply later;
    later.connection_ = weak_from_this();
    later.context_ = &thread_.context;
    later.sequence_ = ++sequence_;
    later.keepAlive_ = request.keepAlive;
    later.http10_ = request.http10;
    std::optional<HttpResponse> response;
    RequestAction action = RequestAction::kNoAnswer;
    if (core_.callbacks.onRequest) {
        try {
            action = core_.callbacks.onRequest(request, response, later);
        } catch (...) {
            // A failing handler must not take the network thread down; the request goes unanswered and its
            // connection is closed so the client does not wait for nothing.
            action = RequestAction::kClose;
        }
    }
    switch (action) {
        case RequestAction::kAnswer:
        case RequestAction::kNoAnswer: {
            // The caller's loop goes on with the next buffered request, without recursing through here.
            std::optional<std::string> bytes;
            if (action == RequestAction::kAnswer && response) {
                bytes = serializeResponse(*response,
                                          connectionHeader(!request.keepAlive || finishing_, request.http10));
            }
            deliverReply(std::move(bytes), request.keepAlive);
            return;
        }
        case RequestAction::kLater:
            waitingFor_ = later.sequence_;
            return;
        case RequestAction::kClose:
            close();
            return;
    }
}

void HttpConnection::onReply(uint64_t sequence, std::optional<std::string> bytes, bool keepAlive,
                             bool closeNow) {
    assertInThread();
    if (closed_ || sequence != waitingFor_)
        return;  // a second answer to the same request, or one for a connection that has moved on
    waitingFor_ = 0;
    if (closeNow) {
        close();
        return;
    }
    deliverReply(std::move(bytes), keepAlive);
    if (!closed_ && !closeAfterWrite_)
        processInput();
}

void HttpConnection::deliverReply(std::optional<std::string> bytes, bool keepAlive) {
    lastActivity_ = Clock::now();
    bool closeAfter = !keepAlive || finishing_;
    if (bytes) {
        if (closeAfter)
            closeAfterWrite_ = true;
        send(std::move(*bytes));
    } else if (closeAfter) {
        close();
    }
}

void HttpConnection::handleUpgrade() {
    request_.server = kind_;
    request_.connectionId = id_;
    request_.remoteAddress = remoteAddress_;
    request_.upgrade = true;
    request_.path = urlPath(request_.url, parser_.method == HTTP_CONNECT);
    HttpRequest request = std::move(request_);
    resetRequest();

    UpgradeKind kind = UpgradeKind::kOther;
    if (parser_.method == HTTP_CONNECT) {
        kind = UpgradeKind::kHttpTunnel;
    } else if (const std::string* upgrade = request.header("Upgrade");
               upgrade && equalsNoCase(*upgrade, "websocket")) {
        kind = UpgradeKind::kWebSocket;
    }
    UpgradeReply reply;
    if (core_.callbacks.onUpgrade)
        reply = core_.callbacks.onUpgrade(request, kind);
    switch (reply.action) {
        case UpgradeReply::Action::kRefuse:
            close();
            return;
        case UpgradeReply::Action::kWebSocket:
            mode_ = Mode::kWebSocket;
            send(serializeResponse(reply.response, {}));
            return;
        case UpgradeReply::Action::kTunnel:
            mode_ = Mode::kDiscard;
            closeAfterWrite_ = true;
            send(serializeResponse(reply.response, {}));
            return;
        case UpgradeReply::Action::kIgnore:
            mode_ = Mode::kDiscard;
            return;
    }
}

void HttpConnection::send(std::string bytes) {
    assertInThread();
    if (closed_)
        return;
    pendingOutput_ += bytes.size();
    output_.push_back(std::move(bytes));
    if (writing_)
        return;
    writing_ = true;
    startWrite();
}

// Writes output_.front(); writing_ is already set.
void HttpConnection::startWrite() {
    auto buffer = asio::buffer(output_.front());
    withStream([&](auto& stream) {
        asio::async_write(
            stream, buffer,
            [self = shared_from_this()](const asio::error_code& error, size_t) -> size_t {
                // Called before every partial write: each one is progress.
                self->lastActivity_ = Clock::now();
                return error ? 0 : 64 * 1024;
            },
            [self = shared_from_this()](const asio::error_code& error, size_t) { self->onWrite(error); });
    });
}

void HttpConnection::onWrite(const asio::error_code& error) {
    bool more = false;
    if (!closed_ && !error) {
        pendingOutput_ -= output_.front().size();
        output_.pop_front();
        more = !output_.empty();
    }
    writing_ = more;
    if (closed_)
        return;
    if (error) {
        close();
        return;
    }
    lastActivity_ = Clock::now();
    if (more) {
        startWrite();
        return;
    }
    if (closeAfterWrite_) {
        close();
        return;
    }
    // Reading may have paused for the output limit.
    processInput();
}

void HttpConnection::armIdleTimer(Clock::duration delay) {
    idleTimer_.expires_after(delay);
    idleTimer_.async_wait(
        [self = shared_from_this()](const asio::error_code& error) { self->onIdleTimer(error); });
}

void HttpConnection::onIdleTimer(const asio::error_code& error) {
    if (error == asio::error::operation_aborted || closed_)
        return;
    const auto timeout = std::chrono::seconds(core_.settings.idleTimeoutSeconds);
    // A request waiting for its answer is the server's turn, not idleness. A write counts as traffic only
    // while it makes progress: a client that stops reading its answers is idle too.
    if (busy()) {
        armIdleTimer(timeout);
        return;
    }
    auto idle = Clock::now() - lastActivity_;
    if (idle >= timeout) {
        close();
        return;
    }
    armIdleTimer(timeout - idle);
}

void HttpConnection::resetRequest() {
    request_ = HttpRequest();
    headerBytes_ = 0;
    lastWasValue_ = false;
}

bool HttpConnection::chargeHeaderBytes(size_t count) {
    headerBytes_ += count;
    if (headerBytes_ <= kMaxHeaderBytes)
        return true;
    limitExceeded_ = true;
    return false;
}

int HttpConnection::onMessageBegin(http_parser* parser) {
    self(parser)->resetRequest();
    return 0;
}

int HttpConnection::onUrl(http_parser* parser, const char* at, size_t length) {
    HttpConnection* connection = self(parser);
    if (!connection->chargeHeaderBytes(length))
        return -1;
    connection->request_.url.append(at, length);
    return 0;
}

int HttpConnection::onHeaderField(http_parser* parser, const char* at, size_t length) {
    HttpConnection* connection = self(parser);
    if (!connection->chargeHeaderBytes(length))
        return -1;
    auto& headers = connection->request_.headers;
    // A name may arrive in pieces; a new one starts after a value.
    if (headers.empty() || connection->lastWasValue_)
        headers.emplace_back();
    headers.back().first.append(at, length);
    connection->lastWasValue_ = false;
    return 0;
}

int HttpConnection::onHeaderValue(http_parser* parser, const char* at, size_t length) {
    HttpConnection* connection = self(parser);
    if (!connection->chargeHeaderBytes(length))
        return -1;
    auto& headers = connection->request_.headers;
    if (headers.empty())
        headers.emplace_back();
    headers.back().second.append(at, length);
    connection->lastWasValue_ = true;
    return 0;
}

int HttpConnection::onHeadersComplete(http_parser* parser) {
    HttpConnection* connection = self(parser);
    // A declared body above the limit is refused before a byte of it is buffered.
    if (parser->content_length != ULLONG_MAX && parser->content_length > connection->core_.settings.maxBody) {
        connection->limitExceeded_ = true;
        return -1;
    }
    // Clients that wait for leave to send their body (curl does for larger POSTs) get it at once.
    if (const std::string* expect = connection->request_.header("Expect");
        expect != nullptr && equalsNoCase(*expect, "100-continue") && parser->http_major == 1 &&
        parser->http_minor >= 1) {
        connection->send("HTTP/1.1 100 Continue\r\n\r\n");
    }
    return 0;
}

int HttpConnection::onBody(http_parser* parser, const char* at, size_t length) {
    HttpConnection* connection = self(parser);
    std::string& body = connection->request_.body;
    if (body.size() + length > connection->core_.settings.maxBody) {
        connection->limitExceeded_ = true;
        return -1;
    }
    body.append(at, length);
    return 0;
}

int HttpConnection::onMessageComplete(http_parser* parser) {
    HttpConnection* connection = self(parser);
    connection->request_.method = http_method_str(static_cast<http_method>(parser->method));
    connection->request_.keepAlive = http_should_keep_alive(parser) != 0;
    // Stop after this message: the next one is parsed only once this one is answered.
    http_parser_pause(parser, 1);
    return 0;
}

}  // namespace kestrum
