// One client connection: TLS handshake, reading, the hand-over of its bytes to the request parser and of
// finished requests to the request callback, WebSocket frames, ordered writes and the time-outs. Runs on its
// network thread.
#include "http/http_connection.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

#include "http/proxy_protocol.h"
#include "log/log_writer.h"
#include "util/request_meter.h"
#include "util/text.h"

namespace kestrum {

namespace {

// While a request waits for its answer, input is still read (so the client's end of input is noticed
// without another wake-up) but at most this much is kept ahead of it.
constexpr size_t kReadAhead = 16 * 1024;
// Reads per wake-up before the connection waits again and lets the loop serve the others: 256 KiB of a
// large upload, then a turn for everybody else.
constexpr int kReadsPerWakeup = 4;

#ifdef KESTRUM_FAULT_INJECTION
// Test builds only: a request with "X-Kestrum-Fault: segv|fpe|ill|bus|throw" faults (or throws) on the
// network thread before it is routed; "block" holds the network thread for three seconds, as a loop that
// stops turning would. The faults are real ones; an UndefinedBehaviorSanitizer build must not report the null
// store and the division by zero as mistakes of ours and end the process before the fault guard sees them.
__attribute__((no_sanitize("undefined"))) void injectFault(const HttpRequest& request) {
    const std::string* fault = request.header("X-Kestrum-Fault");
    if (fault == nullptr)
        return;
    if (*fault == "segv") {
        volatile int* volatile nowhere = nullptr;
        *nowhere = 1;
    } else if (*fault == "fpe") {
        volatile int zero = 0;
        volatile int seven = 7;  // not 1: a division of 1 compiles to a comparison
        volatile int quotient = seven / zero;
        (void)quotient;
    } else if (*fault == "ill") {
        __builtin_trap();
    } else if (*fault == "bus") {
        raise(SIGBUS);
    } else if (*fault == "throw") {
        throw std::runtime_error("injected");
    } else if (*fault == "block") {
        std::this_thread::sleep_for(std::chrono::seconds(3));
    }
}
#endif

}  // namespace

void HttpReply::send(std::optional<HttpResponse> response) const {
    if (!handle_ || handle_->used.load(std::memory_order_acquire))
        return;
    std::optional<std::string> bytes;
    if (response)
        bytes = serializeResponse(*response, connectionHeader(!handle_->keepAlive, handle_->http10));
    handle_->deliver(std::move(bytes), false);
}

void HttpReply::close() const {
    if (handle_)
        handle_->deliver(std::nullopt, true);
}

void HttpReply::Handle::deliver(std::optional<std::string> bytes, bool closeNow) {
    // A connection that is gone needs nothing, and its loop may be gone too.
    if (context == nullptr || used.exchange(true, std::memory_order_acq_rel) || connection.expired())
        return;
    // On the connection's own loop, once its request waits for this answer (not while the request is still
    // being dispatched), the answer goes out at once instead of one loop round later.
    if (!closeNow && context->get_executor().running_in_this_thread()) {
        if (auto owner = connection.lock(); owner && owner->awaits(sequence)) {
            owner->onReply(sequence, std::move(bytes), keepAlive, false);
            return;
        }
    }
    asio::post(*context, [weak = connection, sequence = sequence, bytes = std::move(bytes),
                          keepAlive = keepAlive, closeNow]() mutable {
        if (auto connection = weak.lock())
            connection->onReply(sequence, std::move(bytes), keepAlive, closeNow);
    });
}

HttpReply::Handle::~Handle() {
    if (!awaited.load(std::memory_order_acquire))
        return;
    try {
        deliver(std::nullopt, true);
    } catch (...) {
        // Out of memory for the close: the request time-out closes the connection instead.
    }
}

HttpConnection::HttpConnection(HttpCore::Impl& core, HttpCore::Loop& loop, ServerKind kind, uint64_t id,
                               asio::ip::tcp::socket socket, std::shared_ptr<asio::ssl::context> tls)
    : core_(core),
      loop_(loop),
      kind_(kind),
      id_(id),
      socket_(std::move(socket)),
      tlsHold_(std::move(tls)),
      timer_(loop.context),
      lastActivity_(Clock::now()),
      parser_(core.settings.maxBody) {
    if (tlsHold_)
        tlsContext_ = tlsHold_->native_handle();
    core_.liveConnections.fetch_add(1);
}

HttpConnection::~HttpConnection() {
    if (!uncounted_)
        core_.liveConnections.fetch_sub(1);
}

void HttpConnection::abandon(void* target) {
    auto* connection = static_cast<HttpConnection*>(target);
    // After a fault the event's own references are never released, so the object stays; it stops counting.
    if (!connection->uncounted_) {
        connection->uncounted_ = true;
        connection->core_.liveConnections.fetch_sub(1);
    }
    connection->close();
}

void HttpConnection::start() {
    WorkUnit work = unit();
    asio::error_code ec;
    socket_.set_option(asio::ip::tcp::no_delay(true), ec);
    // Reads and TLS records are taken only once the socket is ready, and never wait inside a call.
    socket_.non_blocking(true, ec);
    auto remote = socket_.remote_endpoint(ec);
    if (ec) {
        close();
        return;
    }
    remoteAddress_ = remote.address().to_string();
    peerAddress_ = remoteAddress_;
    lastActivity_ = Clock::now();
    if (core_.timerPeriod > Clock::duration::zero())
        armTimer(core_.timerPeriod);
    if (core_.settings.proxyProtocol) {
        // The header is held to the deadline of a request's head.
        requestStart_ = Clock::now();
        readProxyHeader();
        return;
    }
    begin();
}

void HttpConnection::readProxyHeader() {
    if (closed_)
        return;
    char peeked[kMaxProxyHeaderLength];
    const size_t room = kMaxProxyHeaderLength - proxyBytes_.size();
    const int fd = socket_.native_handle();
    ssize_t got = ::recv(fd, peeked, room, MSG_PEEK);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        waitThen(asio::socket_base::wait_read, &HttpConnection::readProxyHeader);
        return;
    }
    if (got <= 0) {
        close();
        return;
    }
    const size_t before = proxyBytes_.size();
    proxyBytes_.append(peeked, static_cast<size_t>(got));
    ProxyHeader header;
    std::string error;
    const ProxyParseStatus status = parseProxyHeader(proxyBytes_, header, error);
    if (status == ProxyParseStatus::kMalformed) {
        close();
        return;
    }
    // Unfinished: every byte seen belongs to the header. Done: only the header's own bytes are taken.
    const size_t take = status == ProxyParseStatus::kDone ? header.length - before : static_cast<size_t>(got);
    if (take > 0 && ::recv(fd, peeked, take, 0) != static_cast<ssize_t>(take)) {
        close();
        return;
    }
    if (status == ProxyParseStatus::kNeedMore) {
        readProxyHeader();  // waits for the socket: the peeked bytes are gone from it
        return;
    }
    std::string().swap(proxyBytes_);
    requestStart_ = Clock::time_point{};
    lastActivity_ = Clock::now();
    if (header.hasSource) {
        remoteAddress_ = header.sourceAddress;
        const auto& carried = core_.callbacks.carriedPeer;
        if (carried && !carried(remoteAddress_)) {
            close();
            return;
        }
    }
    begin();
}

void HttpConnection::begin() {
    if (tlsContext_ == nullptr) {
        handshakeDone_ = true;
        startRead();
        return;
    }
    tls_ = std::make_unique<TlsStream>(tlsContext_, socket_.native_handle());
    if (!tls_->valid()) {
        close();
        return;
    }
    // The idle time-out also bounds the handshake.
    continueHandshake();
}

void HttpConnection::waitThen(asio::socket_base::wait_type what, void (HttpConnection::*next)()) {
    socket_.async_wait(what, [self = shared_from_this(), next](const asio::error_code& error) {
        if (self->closed_)
            return;
        WorkUnit work = self->unit();
        if (error) {
            self->close();
            return;
        }
        ((*self).*next)();
    });
}

void HttpConnection::continueHandshake() {
    switch (tls_->handshake()) {
        case TlsStatus::kDone:
            handshakeDone_ = true;
            clientCertificate_ = tls_->verifiedPeerCertificate();
            lastActivity_ = Clock::now();
            startRead();
            return;
        case TlsStatus::kWantRead:
            waitThen(asio::socket_base::wait_read, &HttpConnection::continueHandshake);
            return;
        case TlsStatus::kWantWrite:
            waitThen(asio::socket_base::wait_write, &HttpConnection::continueHandshake);
            return;
        case TlsStatus::kClosed:
        case TlsStatus::kFailed:
            close();
            return;
    }
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
    timer_.cancel();
    closed_ = true;
    waitingFor_ = 0;
    if (tls_ && handshakeDone_)
        tls_->shutdown();
    asio::error_code ec;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    loop_.connections.erase(id_);
}

void HttpConnection::startRead() {
    if (closed_ || reading_ || peerClosed_ || finishing_ || !handshakeDone_ ||
        pendingOutput_ >= kMaxPendingOutput)
        return;
    if (busy() && buffered() >= kReadAhead)
        return;
    reading_ = true;
    auto self = shared_from_this();
    if (tls_ && !tlsDrained_ && tls_->hasBufferedInput()) {
        // OpenSSL already holds input (read ahead with the handshake, or records left when reading paused):
        // the socket may never become readable for it. Once a read has asked for more (tlsDrained_), what
        // it holds is an unfinished record, and only the socket can complete it.
        asio::post(loop_.context, [self] { self->onReadable({}); });
        return;
    }
    // No buffer is held while waiting: the bytes are taken once they are there.
    socket_.async_wait(asio::socket_base::wait_read,
                       [self](const asio::error_code& error) { self->onReadable(error); });
}

HttpConnection::ReadResult HttpConnection::readSome(char* data, size_t size, size_t& bytes) {
    if (tls_) {
        TlsStatus status = tls_->read(data, size, bytes);
        tlsDrained_ = status == TlsStatus::kWantRead;
        switch (status) {
            case TlsStatus::kDone:
                return ReadResult::kData;
            case TlsStatus::kWantRead:
                return ReadResult::kWouldBlock;
            case TlsStatus::kWantWrite:
                return ReadResult::kWantWrite;
            case TlsStatus::kClosed:
                return ReadResult::kEnd;
            case TlsStatus::kFailed:
                return ReadResult::kError;
        }
        return ReadResult::kError;
    }
    ssize_t got = ::recv(socket_.native_handle(), data, size, 0);
    if (got > 0) {
        bytes = static_cast<size_t>(got);
        return ReadResult::kData;
    }
    if (got == 0)
        return ReadResult::kEnd;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? ReadResult::kWouldBlock
                                                                     : ReadResult::kError;
}

void HttpConnection::onReadable(const asio::error_code& error) {
    reading_ = false;
    if (closed_)
        return;
    WorkUnit work = unit();
    if (error) {
        close();
        return;
    }
    std::vector<char>& buffer = loop_.readBuffer;
    for (int round = 0; round < kReadsPerWakeup; ++round) {
        if (pendingOutput_ >= kMaxPendingOutput || finishing_)
            break;
        size_t room = buffer.size();
        if (busy()) {
            if (buffered() >= kReadAhead)
                break;
            room = std::min(room, kReadAhead - buffered());
        }
        size_t bytes = 0;
        ReadResult result = readSome(buffer.data(), room, bytes);
        if (result == ReadResult::kWouldBlock)
            break;
        if (result == ReadResult::kWantWrite) {
            // A TLS record the session must answer first (a key update) waits for room to write.
            reading_ = true;
            socket_.async_wait(asio::socket_base::wait_write,
                               [self = shared_from_this()](const asio::error_code& waitError) {
                                   self->onReadable(waitError);
                               });
            return;
        }
        if (result == ReadResult::kEnd) {
            // The client has sent everything: what it asked for is still answered, then the connection
            // closes.
            peerClosed_ = true;
            break;
        }
        if (result == ReadResult::kError) {
            close();
            return;
        }
        // Bytes thrown away after an unknown protocol switch are no traffic: they cannot hold the
        // connection open.
        if (mode_ != Mode::kDiscard)
            lastActivity_ = Clock::now();
        consume(buffer.data(), bytes);
        if (closed_)
            return;
        // A short read drained the socket (or OpenSSL holds nothing more); if more came in meanwhile the next
        // wait sees it at once.
        if (bytes < room && !(tls_ && tls_->hasBufferedInput()))
            break;
    }
    processInput();
}

void HttpConnection::consume(const char* data, size_t size) {
    if (buffered() > 0) {
        keepInput(data, size);
        parseBuffered();
        return;
    }
    size_t used = parse(data, size);
    if (!closed_ && used < size)
        keepInput(data + used, size - used);
}

void HttpConnection::keepInput(const char* data, size_t size) {
    if (buffered() == 0)
        readPos_ = writePos_ = 0;
    if (input_.size() - writePos_ < size && readPos_ > 0) {
        std::memmove(input_.data(), input_.data() + readPos_, buffered());
        writePos_ -= readPos_;
        readPos_ = 0;
    }
    // Bounded: HTTP input is kept only while a request waits (kReadAhead plus one read) or the output is
    // full (reading stops), a WebSocket frame only up to maxBody (parseWsFrame refuses larger ones).
    if (input_.size() - writePos_ < size)
        input_.resize(std::max(writePos_ + size, input_.size() * 2));
    std::memcpy(input_.data() + writePos_, data, size);
    writePos_ += size;
}

void HttpConnection::processInput() {
    assertInThread();
    parseBuffered();
    if (closed_)
        return;
    if (peerClosed_ && !busy()) {
        // Nothing more arrives. Complete requests that wait for output room are still answered first.
        if (buffered() > 0 && mode_ == Mode::kHttp && pendingOutput_ >= kMaxPendingOutput)
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
    if (buffered() == 0)
        return;
    size_t used = parse(input_.data() + readPos_, buffered());
    if (closed_)
        return;
    readPos_ += used;
    if (readPos_ == writePos_) {
        // Nothing waits any more: the storage goes back.
        std::vector<char>().swap(input_);
        readPos_ = writePos_ = 0;
    }
}

size_t HttpConnection::parse(const char* data, size_t size) {
    size_t position = 0;
    while (!closed_ && !busy() && position < size && pendingOutput_ < kMaxPendingOutput) {
        bool goOn = true;
        size_t used = 0;
        switch (mode_) {
            case Mode::kHttp:
                goOn = processHttp(data + position, size - position, used);
                break;
            case Mode::kWebSocket:
                goOn = processWebSocket(data + position, size - position, used);
                break;
            case Mode::kDiscard:
                used = size - position;
                break;
        }
        position += used;
        if (!goOn)
            break;
    }
    return position;
}

bool HttpConnection::processHttp(const char* data, size_t size, size_t& used) {
    // The head's clock starts with its first byte (blank lines before a request line count too: they cannot
    // hold a connection open either), the body's when the head is complete.
    if (requestStart_ == Clock::time_point{})
        requestStart_ = Clock::now();
    HttpRequestParser::Result result = parser_.feed(data, size);
    used = result.used;
    if (result.status == HttpRequestParser::Status::kNeedMore && bodyStart_ == Clock::time_point{} &&
        parser_.headComplete())
        bodyStart_ = Clock::now();
    if (parser_.takeContinue()) {
        // Leave to send the body is given only for a request that will be handled.
        HttpRequest& head = parser_.head();
        head.server = kind_;
        head.connectionId = id_;
        head.remoteAddress = remoteAddress_;
        head.peerAddress = peerAddress_;
        head.clientCertificate = clientCertificate_;
        head.session = &session_;
        if (!core_.callbacks.onContinue || core_.callbacks.onContinue(head))
            send("HTTP/1.1 100 Continue\r\n\r\n");
    }
    switch (result.status) {
        case HttpRequestParser::Status::kNeedMore:
            return true;
        case HttpRequestParser::Status::kRequest:
            requestStart_ = bodyStart_ = Clock::time_point{};
            dispatchRequest();
            return !closed_;
        case HttpRequestParser::Status::kUpgrade:
            requestStart_ = bodyStart_ = Clock::time_point{};
            handleUpgrade();
            return !closed_;
        case HttpRequestParser::Status::kMalformed:
            if (core_.callbacks.onParseError)
                core_.callbacks.onParseError(kind_, id_);
            close();
            return false;
        case HttpRequestParser::Status::kTooLarge:
            if (core_.settings.meter != nullptr)
                core_.settings.meter->refused(RefusalReason::Limits);
            close();
            return false;
    }
    return false;
}

bool HttpConnection::processWebSocket(const char* data, size_t size, size_t& used) {
    WsFrame frame;
    size_t consumed = 0;
    used = 0;
    switch (parseWsFrame(std::string_view(data, size), core_.settings.maxBody, frame, consumed)) {
        case WsParseResult::kNeedMore:
            return false;
        case WsParseResult::kTooLarge:
            if (core_.settings.meter != nullptr)
                core_.settings.meter->refused(RefusalReason::Limits);
            close();
            return false;
        case WsParseResult::kFrame:
            break;
    }
    used = consumed;
    if (!core_.callbacks.onWsFrame)
        return true;
    WsReply reply = core_.callbacks.onWsFrame(kind_, id_, frame);
    if (reply.action == WsReply::Action::kDisconnect) {
        close();
        return false;
    }
    if (reply.action == WsReply::Action::kSendAndClose) {
        mode_ = Mode::kDiscard;
        closeAfterWrite_ = true;
    }
    if (reply.action == WsReply::Action::kSend || reply.action == WsReply::Action::kSendAndClose)
        send(std::move(reply.frame));
    return !closed_;
}

HttpRequest HttpConnection::takeRequest() {
    HttpRequest request = parser_.takeRequest();
    request.server = kind_;
    request.connectionId = id_;
    request.remoteAddress = remoteAddress_;
    request.peerAddress = peerAddress_;
    request.clientCertificate = clientCertificate_;
    request.session = &session_;
    if (core_.settings.meter != nullptr)  // only the metrics page wants the time
        request.completedAt = std::chrono::steady_clock::now();
    return request;
}

void HttpConnection::dispatchRequest() {
    HttpRequest request = takeRequest();
    if (core_.stopping.load()) {
        close();
        return;
    }
    HttpReply later;
    later.handle_ = std::make_shared<HttpReply::Handle>();
    HttpReply::Handle& handle = *later.handle_;
    handle.connection = weak_from_this();
    handle.context = &loop_.context;
    handle.sequence = ++sequence_;
    handle.keepAlive = request.keepAlive;
    handle.http10 = request.http10;
    std::optional<HttpResponse> response;
    RequestAction action = RequestAction::kNoAnswer;
#ifdef KESTRUM_FAULT_INJECTION
    injectFault(request);
#endif
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
            waitingFor_ = handle.sequence;
            busySince_ = Clock::now();
            // From here on, the last copy of the handle that goes unsent closes the connection (this one may
            // be it).
            handle.awaited.store(true, std::memory_order_release);
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
    WorkUnit work = unit();
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
    HttpRequest request = takeRequest();
    UpgradeKind kind = parser_.upgradeKind();
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
    if (!writing_ && !tls_ && !closeAfterWrite_) {
        // Nothing queued: an answer usually fits the socket at once, without waiting for the loop. Only what
        // it did not take is queued. (Closing after the answer is left to the queued path: send() may run
        // inside the parser.)
        const ssize_t sent = ::send(socket_.native_handle(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        // A failed send is left to the queued write, which meets the same error and closes the connection.
        if (sent > 0) {
            lastActivity_ = Clock::now();
            if (size_t(sent) == bytes.size())
                return;
            bytes.erase(0, size_t(sent));
        }
    }
    pendingOutput_ += bytes.size();
    output_.push_back(std::move(bytes));
    if (writing_)
        return;
    writing_ = true;
    startWrite();
}

// Writes everything queued in one go; writing_ is already set.
void HttpConnection::startWrite() {
    inFlight_.swap(output_);
    if (tls_) {
        tlsIndex_ = 0;
        tlsOffset_ = 0;
        continueTlsWrite();
        return;
    }
    gather_.clear();
    for (const std::string& bytes : inFlight_)
        gather_.push_back(asio::buffer(bytes));
    asio::async_write(
        socket_, gather_,
        [self = shared_from_this()](const asio::error_code& error, size_t) -> size_t {
            // Called before every partial write: each one is progress.
            self->lastActivity_ = Clock::now();
            return error ? 0 : 64 * 1024;
        },
        [self = shared_from_this()](const asio::error_code& error, size_t) { self->onWrite(error); });
}

// Hands inFlight_ to OpenSSL until it is all out or the socket is full. The completion is posted, never
// called from here: send() may run inside the parser.
void HttpConnection::continueTlsWrite() {
    auto self = shared_from_this();
    while (tlsIndex_ < inFlight_.size()) {
        const std::string& bytes = inFlight_[tlsIndex_];
        size_t written = 0;
        switch (tls_->write(bytes.data() + tlsOffset_, bytes.size() - tlsOffset_, written)) {
            case TlsStatus::kDone:
                lastActivity_ = Clock::now();
                tlsOffset_ += written;
                if (tlsOffset_ == bytes.size()) {
                    ++tlsIndex_;
                    tlsOffset_ = 0;
                }
                continue;
            case TlsStatus::kWantWrite:
                socket_.async_wait(asio::socket_base::wait_write, [self](const asio::error_code& error) {
                    if (self->closed_)
                        return;
                    WorkUnit work = self->unit();
                    if (error) {
                        self->onWrite(error);
                        return;
                    }
                    self->continueTlsWrite();
                });
                return;
            case TlsStatus::kWantRead:
            case TlsStatus::kClosed:
            case TlsStatus::kFailed:
                asio::post(loop_.context, [self] { self->onWrite(asio::error::broken_pipe); });
                return;
        }
    }
    asio::post(loop_.context, [self] { self->onWrite({}); });
}

void HttpConnection::onWrite(const asio::error_code& error) {
    bool more = false;
    if (!closed_ && !error) {
        for (const std::string& bytes : inFlight_)
            pendingOutput_ -= bytes.size();
        more = !output_.empty();
    }
    // Written answers are given back at once, the queue's storage too: an idle connection keeps none.
    std::vector<std::string>().swap(inFlight_);
    gather_ = {};
    writing_ = more;
    if (closed_)
        return;
    WorkUnit work = unit();
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

void HttpConnection::armTimer(Clock::duration delay) {
    timer_.expires_after(delay);
    timer_.async_wait([self = shared_from_this()](const asio::error_code& error) { self->onTimer(error); });
}

void HttpConnection::onTimer(const asio::error_code& error) {
    if (error == asio::error::operation_aborted || closed_)
        return;
    WorkUnit work = unit();
    const HttpCoreSettings& settings = core_.settings;
    const auto now = Clock::now();
    // A request waiting for its answer is the server's turn: only the request time-out runs, and the next
    // request's clocks start when its bytes are taken up. A write counts as traffic only while it makes
    // progress: a client that stops reading its answers is idle too.
    if (busy()) {
        if (settings.requestTimeoutSeconds <= 0) {
            armTimer(core_.timerPeriod);
            return;
        }
        const auto limit = busySince_ + std::chrono::seconds(settings.requestTimeoutSeconds);
        if (now >= limit) {
            logLine(kind_ == ServerKind::Http ? "server/http" : "server/https",
                    std::string("request time out") + kFullWidthColon + "id(" + std::to_string(id_) +
                        "),seconds(" + std::to_string(settings.requestTimeoutSeconds) + ").");
            close();
            return;
        }
        armTimer(std::min<Clock::duration>(limit - now, core_.timerPeriod));
        return;
    }
    auto due = Clock::time_point::max();
    if (settings.idleTimeoutSeconds > 0)
        due = lastActivity_ + std::chrono::seconds(settings.idleTimeoutSeconds);
    if (mode_ == Mode::kHttp) {
        if (bodyStart_ != Clock::time_point{}) {
            if (settings.bodyTimeoutSeconds > 0)
                due = std::min(due, bodyStart_ + std::chrono::seconds(settings.bodyTimeoutSeconds));
        } else if (requestStart_ != Clock::time_point{} && settings.headerTimeoutSeconds > 0) {
            due = std::min(due, requestStart_ + std::chrono::seconds(settings.headerTimeoutSeconds));
        }
    }
    if (now >= due) {
        close();
        return;
    }
    // Looked at again by the nearest deadline, and within timerPeriod anyway: a deadline that starts
    // meanwhile lies at least that far ahead.
    armTimer(std::min<Clock::duration>(due - now, core_.timerPeriod));
}

}  // namespace kestrum
