// Test support: a small blocking HTTP/1.1 client for loopback tests, plain or TLS (optional SNI host name and
// client certificate), with raw sends, keep-alive reuse and WebSocket frames. Every read has a time-out, so a
// server that never answers makes a call fail instead of hanging the test.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace kestrum::testing {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpReply {
    int status = 0;
    std::string reason;
    HttpHeaders headers;
    std::string body;

    // Value of the first header of that name (case-insensitive); empty when absent.
    std::string header(std::string_view name) const;
    bool hasHeader(std::string_view name) const;
};

struct TlsOptions {
    std::string serverName;   // SNI host name; empty sends none
    std::string certificate;  // client certificate (PEM), optional
    std::string privateKey;   // its unencrypted PEM key
};

struct WsFrameIn {
    bool fin = false;
    uint8_t rsv = 0;  // RSV1 = 4, RSV2 = 2, RSV3 = 1
    uint8_t opcode = 0;
    bool masked = false;
    std::string payload;
};

class HttpClient {
  public:
    using Ms = std::chrono::milliseconds;

    HttpClient() = default;
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Later connections leave from this local address (a loopback one such as 127.0.0.2 plays a caller
    // outside a server's whitelist); empty: the system's choice.
    void setSourceAddress(std::string address) { source_ = std::move(address); }
    bool connect(const std::string& host, int port, Ms timeout = Ms(2000));
    // TLS without verifying the server certificate (tests look at it with peerCommonName()).
    bool connectTls(const std::string& host, int port, const TlsOptions& options = {}, Ms timeout = Ms(2000));
    // The next connectTls offers only TLS 1.2 with these OpenSSL cipher names (empty: the defaults).
    void setTls12Ciphers(std::string ciphers) { tls12Ciphers_ = std::move(ciphers); }
    // The next connectTls first sends these plain bytes (a balancer's PROXY protocol header).
    void setTlsPreface(std::string bytes) { tlsPreface_ = std::move(bytes); }
    bool connected() const { return fd_ >= 0; }
    // CN of the certificate the server presented (TLS only).
    std::string peerCommonName() const;
    // Serial number of that certificate in decimal (TLS only; empty without one).
    std::string peerSerial() const;
    void close();

    // Sends block at most this long (default 5 s) before they fail.
    void setSendTimeout(Ms timeout);
    bool sendRaw(std::string_view bytes);
    // Ends the sending side (plain TCP only); answers can still be read.
    bool finishSending();
    // Adds Host and, when there is a body or the method is POST, Content-Length; "Connection: close" when
    // keepAlive is false.
    bool sendRequest(std::string_view method, std::string_view target, std::string_view body = {},
                     const HttpHeaders& headers = {}, bool keepAlive = true);
    // One response; nothing on time-out, close or a malformed answer. Bytes after it stay for the next read.
    std::optional<HttpReply> readResponse(Ms timeout = Ms(2000));
    std::optional<HttpReply> request(std::string_view method, std::string_view target,
                                     std::string_view body = {}, const HttpHeaders& headers = {},
                                     Ms timeout = Ms(2000));
    // True when the server closes the connection (end of stream or reset) within the time-out; data that
    // arrives before is discarded.
    bool waitClosed(Ms timeout = Ms(2000));

    // Sends an upgrade request with this Sec-WebSocket-Key (none when empty) and reads the answer.
    std::optional<HttpReply> webSocketHandshake(std::string_view target, std::string_view key,
                                                Ms timeout = Ms(2000));
    bool sendFrame(bool fin, uint8_t rsv, uint8_t opcode, std::string_view payload, bool masked = true);
    std::optional<WsFrameIn> readFrame(Ms timeout = Ms(2000));

  private:
    // >0 bytes read, 0 end of stream, -1 error, -2 time-out.
    int receive(char* data, size_t size, std::chrono::steady_clock::time_point deadline);
    // Makes sure buffer_ holds at least `count` bytes.
    bool fill(size_t count, std::chrono::steady_clock::time_point deadline);
    bool fillUntil(std::string_view marker, size_t& position, std::chrono::steady_clock::time_point deadline);

    int fd_ = -1;
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
    std::string host_;
    std::string source_;
    std::string buffer_;  // received, not yet consumed
    std::string tls12Ciphers_;
    std::string tlsPreface_;
};

// One request on a fresh connection.
std::optional<HttpReply> post(const std::string& host, int port, std::string_view path, std::string_view body,
                              HttpClient::Ms timeout = HttpClient::Ms(5000));
std::optional<HttpReply> get(const std::string& host, int port, std::string_view path,
                             HttpClient::Ms timeout = HttpClient::Ms(5000));

// Hex SHA-256 of a PEM certificate file's DER, as callers.ini's cert_sha256 names it; empty if unreadable.
std::string certificateSha256Hex(const std::string& pemFile);

}  // namespace kestrum::testing
