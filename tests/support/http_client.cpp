#include "support/http_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <random>

namespace kestrum::testing {

namespace {

using Clock = std::chrono::steady_clock;

bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

std::string HttpReply::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (equalsNoCase(key, name))
            return value;
    }
    return {};
}

bool HttpReply::hasHeader(std::string_view name) const {
    return std::any_of(headers.begin(), headers.end(),
                       [&](const auto& entry) { return equalsNoCase(entry.first, name); });
}

HttpClient::~HttpClient() {
    close();
}

bool HttpClient::finishSending() {
    return fd_ >= 0 && ssl_ == nullptr && ::shutdown(fd_, SHUT_WR) == 0;
}

void HttpClient::close() {
    if (ssl_ != nullptr) {
        SSL_free(ssl_);
        ssl_ = nullptr;
    }
    if (ctx_ != nullptr) {
        SSL_CTX_free(ctx_);
        ctx_ = nullptr;
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    buffer_.clear();
}

bool HttpClient::connect(const std::string& host, int port, Ms timeout) {
    close();
    host_ = host;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        if (host != "localhost")
            return false;
        inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    }
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0)
        return false;
    if (!source_.empty()) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (inet_pton(AF_INET, source_.c_str(), &local.sin_addr) != 1 ||
            ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
            close();
            return false;
        }
    }
    int result = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    if (result != 0 && errno == EINPROGRESS) {
        pollfd pfd{fd_, POLLOUT, 0};
        if (::poll(&pfd, 1, static_cast<int>(timeout.count())) == 1) {
            int error = 0;
            socklen_t length = sizeof(error);
            getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
            result = error == 0 ? 0 : -1;
        }
    }
    if (result != 0) {
        close();
        return false;
    }
    // Blocking from here; every read polls first with its own deadline.
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    // A server that stops reading makes a send fail after a while instead of blocking the test.
    setSendTimeout(Ms(5000));
    return true;
}

void HttpClient::setSendTimeout(Ms timeout) {
    if (fd_ < 0)
        return;
    timeval value{static_cast<time_t>(timeout.count() / 1000),
                  static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof(value));
}

bool HttpClient::connectTls(const std::string& host, int port, const TlsOptions& options, Ms timeout) {
    if (!connect(host, port, timeout))
        return false;
    // OpenSSL writes with write(): a server that closes first must end this connection, not the test.
    std::signal(SIGPIPE, SIG_IGN);
    if (!tlsPreface_.empty() && !sendRaw(tlsPreface_)) {
        close();
        return false;
    }
    ctx_ = SSL_CTX_new(TLS_client_method());
    if (ctx_ == nullptr)
        return false;
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
    if (!tls12Ciphers_.empty()) {
        SSL_CTX_set_max_proto_version(ctx_, TLS1_2_VERSION);
        // Security level 0: the client must be able to offer what the server ought to refuse.
        SSL_CTX_set_security_level(ctx_, 0);
        if (SSL_CTX_set_cipher_list(ctx_, tls12Ciphers_.c_str()) != 1) {
            ERR_clear_error();
            close();
            return false;
        }
    }
    if (!options.certificate.empty()) {
        if (SSL_CTX_use_certificate_chain_file(ctx_, options.certificate.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(ctx_, options.privateKey.c_str(), SSL_FILETYPE_PEM) != 1) {
            close();
            return false;
        }
    }
    ssl_ = SSL_new(ctx_);
    SSL_set_fd(ssl_, fd_);
    if (!options.serverName.empty())
        SSL_set_tlsext_host_name(ssl_, options.serverName.c_str());
    timeval tv{static_cast<time_t>(timeout.count() / 1000),
               static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    if (SSL_connect(ssl_) != 1) {
        ERR_clear_error();
        close();
        return false;
    }
    return true;
}

std::string HttpClient::peerCommonName() const {
    if (ssl_ == nullptr)
        return {};
    X509* certificate = SSL_get1_peer_certificate(ssl_);
    if (certificate == nullptr)
        return {};
    char name[256] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), NID_commonName, name, sizeof(name));
    X509_free(certificate);
    return name;
}

std::string HttpClient::peerSerial() const {
    if (ssl_ == nullptr)
        return {};
    X509* certificate = SSL_get1_peer_certificate(ssl_);
    if (certificate == nullptr)
        return {};
    std::string text;
    if (BIGNUM* serial = ASN1_INTEGER_to_BN(X509_get_serialNumber(certificate), nullptr)) {
        if (char* decimal = BN_bn2dec(serial)) {
            text = decimal;
            OPENSSL_free(decimal);
        }
        BN_free(serial);
    }
    X509_free(certificate);
    return text;
}

bool HttpClient::sendRaw(std::string_view bytes) {
    if (fd_ < 0)
        return false;
    while (!bytes.empty()) {
        long written;
        if (ssl_ != nullptr) {
            written = SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size()));
        } else {
            written = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        }
        if (written <= 0)
            return false;
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

bool HttpClient::sendRequest(std::string_view method, std::string_view target, std::string_view body,
                             const HttpHeaders& headers, bool keepAlive) {
    std::string text;
    text.append(method).append(" ").append(target).append(" HTTP/1.1\r\nHost: ").append(host_).append("\r\n");
    for (const auto& [name, value] : headers)
        text.append(name).append(": ").append(value).append("\r\n");
    if (!body.empty() || method == "POST")
        text.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n");
    if (!keepAlive)
        text.append("Connection: close\r\n");
    text.append("\r\n").append(body);
    return sendRaw(text);
}

int HttpClient::receive(char* data, size_t size, Clock::time_point deadline) {
    if (fd_ < 0)
        return -1;
    if (ssl_ == nullptr || SSL_pending(ssl_) == 0) {
        pollfd pfd{fd_, POLLIN, 0};
        int ready = ::poll(&pfd, 1, remainingMs(deadline));
        if (ready == 0)
            return -2;
        if (ready < 0)
            return -1;
    }
    if (ssl_ != nullptr) {
        int count = SSL_read(ssl_, data, static_cast<int>(size));
        if (count > 0)
            return count;
        int error = SSL_get_error(ssl_, count);
        ERR_clear_error();
        if (error == SSL_ERROR_ZERO_RETURN)
            return 0;
        if (error == SSL_ERROR_SYSCALL && errno == 0)
            return 0;
        if (error == SSL_ERROR_WANT_READ)
            return Clock::now() >= deadline ? -2 : receive(data, size, deadline);
        return -1;
    }
    ssize_t count = ::recv(fd_, data, size, 0);
    if (count < 0)
        return -1;
    return static_cast<int>(count);
}

bool HttpClient::fill(size_t count, Clock::time_point deadline) {
    char chunk[16384];
    while (buffer_.size() < count) {
        int got = receive(chunk, sizeof(chunk), deadline);
        if (got <= 0)
            return false;
        buffer_.append(chunk, static_cast<size_t>(got));
    }
    return true;
}

bool HttpClient::fillUntil(std::string_view marker, size_t& position, Clock::time_point deadline) {
    char chunk[16384];
    while ((position = buffer_.find(marker)) == std::string::npos) {
        int got = receive(chunk, sizeof(chunk), deadline);
        if (got <= 0)
            return false;
        buffer_.append(chunk, static_cast<size_t>(got));
    }
    return true;
}

std::optional<HttpReply> HttpClient::readResponse(Ms timeout) {
    const auto deadline = Clock::now() + timeout;
    size_t headEnd = 0;
    if (!fillUntil("\r\n\r\n", headEnd, deadline))
        return std::nullopt;
    std::string head = buffer_.substr(0, headEnd);
    buffer_.erase(0, headEnd + 4);

    HttpReply reply;
    size_t lineEnd = head.find("\r\n");
    std::string statusLine = head.substr(0, lineEnd);
    if (!statusLine.starts_with("HTTP/1.") || statusLine.size() < 12)
        return std::nullopt;
    reply.status = std::atoi(statusLine.substr(9, 3).c_str());
    reply.reason = statusLine.size() > 13 ? statusLine.substr(13) : std::string();
    size_t position = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
    while (position < head.size()) {
        size_t end = head.find("\r\n", position);
        if (end == std::string::npos)
            end = head.size();
        std::string line = head.substr(position, end - position);
        size_t colon = line.find(':');
        if (colon != std::string::npos) {
            size_t valueStart = line.find_first_not_of(' ', colon + 1);
            reply.headers.emplace_back(line.substr(0, colon), valueStart == std::string::npos
                                                                  ? std::string()
                                                                  : line.substr(valueStart));
        }
        position = end + 2;
    }

    if (reply.status / 100 == 1 || reply.status == 204 || reply.status == 304)
        return reply;
    if (reply.hasHeader("Content-Length")) {
        size_t length = std::stoull(reply.header("Content-Length"));
        if (!fill(length, deadline))
            return std::nullopt;
        reply.body = buffer_.substr(0, length);
        buffer_.erase(0, length);
        return reply;
    }
    if (equalsNoCase(reply.header("Transfer-Encoding"), "chunked")) {
        while (true) {
            size_t sizeEnd = 0;
            if (!fillUntil("\r\n", sizeEnd, deadline))
                return std::nullopt;
            size_t chunkSize = std::stoull(buffer_.substr(0, sizeEnd), nullptr, 16);
            buffer_.erase(0, sizeEnd + 2);
            if (!fill(chunkSize + 2, deadline))
                return std::nullopt;
            reply.body += buffer_.substr(0, chunkSize);
            buffer_.erase(0, chunkSize + 2);
            if (chunkSize == 0)
                return reply;
        }
    }
    // No length: the body runs to the end of the stream.
    char chunk[16384];
    while (true) {
        int got = receive(chunk, sizeof(chunk), deadline);
        if (got == 0)
            break;
        if (got < 0)
            return std::nullopt;
        buffer_.append(chunk, static_cast<size_t>(got));
    }
    reply.body = std::move(buffer_);
    buffer_.clear();
    return reply;
}

std::optional<HttpReply> HttpClient::request(std::string_view method, std::string_view target,
                                             std::string_view body, const HttpHeaders& headers, Ms timeout) {
    if (!sendRequest(method, target, body, headers))
        return std::nullopt;
    return readResponse(timeout);
}

bool HttpClient::waitClosed(Ms timeout) {
    const auto deadline = Clock::now() + timeout;
    char chunk[16384];
    while (true) {
        int got = receive(chunk, sizeof(chunk), deadline);
        if (got == 0 || got == -1)
            return true;
        if (got == -2)
            return false;
    }
}

std::optional<HttpReply> HttpClient::webSocketHandshake(std::string_view target, std::string_view key,
                                                        Ms timeout) {
    HttpHeaders headers = {
        {"Upgrade", "websocket"}, {"Connection", "Upgrade"}, {"Sec-WebSocket-Version", "13"}};
    if (!key.empty())
        headers.emplace_back("Sec-WebSocket-Key", std::string(key));
    if (!sendRequest("GET", target, {}, headers))
        return std::nullopt;
    return readResponse(timeout);
}

bool HttpClient::sendFrame(bool fin, uint8_t rsv, uint8_t opcode, std::string_view payload, bool masked) {
    std::string frame;
    frame += static_cast<char>((fin ? 0x80 : 0) | ((rsv & 7) << 4) | (opcode & 0x0F));
    const unsigned char maskBit = masked ? 0x80 : 0;
    if (payload.size() < 126) {
        frame += static_cast<char>(maskBit | payload.size());
    } else if (payload.size() <= 0xFFFF) {
        frame += static_cast<char>(maskBit | 126);
        frame += static_cast<char>(payload.size() >> 8);
        frame += static_cast<char>(payload.size() & 0xFF);
    } else {
        frame += static_cast<char>(maskBit | 127);
        for (int shift = 56; shift >= 0; shift -= 8)
            frame += static_cast<char>((uint64_t{payload.size()} >> shift) & 0xFF);
    }
    if (!masked)
        return sendRaw(frame + std::string(payload));
    static std::mt19937 random(12345);
    char mask[4];
    for (char& byte : mask)
        byte = static_cast<char>(random() & 0xFF);
    frame.append(mask, 4);
    for (size_t i = 0; i < payload.size(); ++i)
        frame += static_cast<char>(payload[i] ^ mask[i % 4]);
    return sendRaw(frame);
}

std::optional<WsFrameIn> HttpClient::readFrame(Ms timeout) {
    const auto deadline = Clock::now() + timeout;
    if (!fill(2, deadline))
        return std::nullopt;
    auto byte = [this](size_t i) { return static_cast<unsigned char>(buffer_[i]); };
    WsFrameIn frame;
    frame.fin = (byte(0) & 0x80) != 0;
    frame.rsv = static_cast<uint8_t>((byte(0) >> 4) & 7);
    frame.opcode = static_cast<uint8_t>(byte(0) & 0x0F);
    frame.masked = (byte(1) & 0x80) != 0;
    uint64_t length = byte(1) & 0x7F;
    size_t header = 2;
    if (length == 126) {
        if (!fill(4, deadline))
            return std::nullopt;
        length = (uint64_t{byte(2)} << 8) | byte(3);
        header = 4;
    } else if (length == 127) {
        if (!fill(10, deadline))
            return std::nullopt;
        length = 0;
        for (size_t i = 2; i < 10; ++i)
            length = (length << 8) | byte(i);
        header = 10;
    }
    size_t maskAt = header;
    if (frame.masked)
        header += 4;
    if (!fill(header + length, deadline))
        return std::nullopt;
    frame.payload = buffer_.substr(header, length);
    if (frame.masked) {
        for (size_t i = 0; i < frame.payload.size(); ++i)
            frame.payload[i] ^= buffer_[maskAt + i % 4];
    }
    buffer_.erase(0, header + length);
    return frame;
}

std::optional<HttpReply> post(const std::string& host, int port, std::string_view path, std::string_view body,
                              HttpClient::Ms timeout) {
    HttpClient client;
    if (!client.connect(host, port, timeout))
        return std::nullopt;
    if (!client.sendRequest("POST", path, body, {{"Content-Type", "application/json"}}, false))
        return std::nullopt;
    return client.readResponse(timeout);
}

std::optional<HttpReply> get(const std::string& host, int port, std::string_view path,
                             HttpClient::Ms timeout) {
    HttpClient client;
    if (!client.connect(host, port, timeout))
        return std::nullopt;
    if (!client.sendRequest("GET", path, {}, {}, false))
        return std::nullopt;
    return client.readResponse(timeout);
}

std::string certificateSha256Hex(const std::string& pemFile) {
    std::FILE* file = std::fopen(pemFile.c_str(), "r");
    if (file == nullptr)
        return {};
    X509* certificate = PEM_read_X509(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    if (certificate == nullptr)
        return {};
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool ok = X509_digest(certificate, EVP_sha256(), hash, &length) == 1;
    X509_free(certificate);
    std::string hex;
    for (unsigned int i = 0; ok && i < length; ++i) {
        static const char kDigits[] = "0123456789abcdef";
        hex += kDigits[hash[i] >> 4];
        hex += kDigits[hash[i] & 15];
    }
    return hex;
}

}  // namespace kestrum::testing
