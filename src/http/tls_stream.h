// TlsStream: one server-side TLS session on a non-blocking socket, driven by the connection's own reactor
// waits (internal to src/http).
//
// asio::ssl::stream keeps about 17 KiB of input and output buffers per connection in its engine for the
// connection's whole life. Here OpenSSL reads and writes the socket itself through a small BIO (recv, and
// send with MSG_NOSIGNAL), so the only record buffers are OpenSSL's own, and SSL_MODE_RELEASE_BUFFERS gives
// those back whenever no record is in flight: an idle TLS connection holds its session state and nothing
// more.
//
// Every call is non-blocking and reports what it waits for; the caller waits for the socket to become
// readable or writable and calls again. Each call clears the thread's OpenSSL error queue first, so only its
// own errors decide its outcome. Network thread only, like the connection that owns it.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "http/credentials.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace kestrum {

enum class TlsStatus {
    kDone,       // the call did its work
    kWantRead,   // wait until the socket is readable, then call again
    kWantWrite,  // wait until the socket is writable, then call again (with the same bytes for write())
    kClosed,     // the peer ended its side (close_notify or end of stream)
    kFailed,     // protocol or socket error: the connection is unusable
};

class TlsStream {
  public:
    // `context` is the listener's context (SNI may switch it during the handshake); `fd` stays owned by the
    // caller and must outlive the stream.
    TlsStream(SSL_CTX* context, int fd);
    ~TlsStream();
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    bool valid() const { return ssl_ != nullptr; }
    TlsStatus handshake();
    // Decrypted bytes into `data`; `bytes` is set when kDone.
    TlsStatus read(char* data, size_t size, size_t& bytes);
    // Encrypts and sends a prefix of `data`; `bytes` is set when kDone (at least one byte). After kWantWrite
    // the next call must pass the same bytes again.
    TlsStatus write(const char* data, size_t size, size_t& bytes);
    // Decrypted or undecrypted input that OpenSSL already holds: read() has something without a wait.
    bool hasBufferedInput() const;
    // Sends close_notify if the socket takes it at once; never waits.
    void shutdown();
    // After the handshake: the SHA-256 of the client certificate the handshake verified; nothing when the
    // client sent none.
    std::optional<Sha256> verifiedPeerCertificate() const;

  private:
    TlsStatus status(int result);

    SSL* ssl_ = nullptr;
    bool failed_ = false;
};

}  // namespace kestrum
