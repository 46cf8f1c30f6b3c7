// TlsStream over a socket BIO of our own: OpenSSL's record buffers are the only ones, and they are released
// while idle.
#include "http/tls_stream.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>

namespace kestrum {

namespace {

int descriptorOf(BIO* bio) {
    return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
}

// OpenSSL's socket BIO writes with write(2), which raises SIGPIPE on a reset connection; this one uses
// send(MSG_NOSIGNAL). The descriptor is the BIO's number.
int socketWrite(BIO* bio, const char* data, int size) {
    BIO_clear_retry_flags(bio);
    ssize_t written = ::send(descriptorOf(bio), data, static_cast<size_t>(size), MSG_NOSIGNAL);
    if (written < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            BIO_set_retry_write(bio);
        return -1;
    }
    return static_cast<int>(written);
}

int socketRead(BIO* bio, char* data, int size) {
    BIO_clear_retry_flags(bio);
    ssize_t got = ::recv(descriptorOf(bio), data, static_cast<size_t>(size), 0);
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            BIO_set_retry_read(bio);
        return -1;
    }
    return static_cast<int>(got);  // 0: end of stream
}

long socketControl(BIO* bio, int command, long number, void* pointer) {
    switch (command) {
        case BIO_C_SET_FD:
            BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(*static_cast<int*>(pointer))));
            BIO_set_init(bio, 1);
            (void)number;
            return 1;
        case BIO_C_GET_FD: {
            int fd = descriptorOf(bio);
            if (pointer != nullptr)
                *static_cast<int*>(pointer) = fd;
            return fd;
        }
        case BIO_CTRL_FLUSH:
            return 1;  // nothing is held back
        default:
            return 0;
    }
}

// The method table is built once and never changes afterwards.
BIO_METHOD* socketMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* created =
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "kestrum socket");
        if (created != nullptr) {
            BIO_meth_set_write(created, &socketWrite);
            BIO_meth_set_read(created, &socketRead);
            BIO_meth_set_ctrl(created, &socketControl);
        }
        return created;
    }();
    return method;
}

int clampSize(size_t size) {
    return size > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
}

}  // namespace

TlsStream::TlsStream(SSL_CTX* context, int fd) {
    BIO_METHOD* method = socketMethod();
    if (method == nullptr)
        return;
    SSL* ssl = SSL_new(context);
    if (ssl == nullptr) {
        ERR_clear_error();
        return;
    }
    BIO* bio = BIO_new(method);
    if (bio == nullptr) {
        SSL_free(ssl);
        ERR_clear_error();
        return;
    }
    BIO_set_fd(bio, fd, BIO_NOCLOSE);
    SSL_set_bio(ssl, bio, bio);  // the SSL owns the BIO from here
    SSL_set_accept_state(ssl);
    // Output stays in the connection's own queue between calls; a retried write may pass a string that
    // has moved.
    SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // A client that ends its side without close_notify is a client that is done, as with plain TCP: the
    // request framing, not the TLS close, tells whether a request was complete.
    SSL_set_options(ssl, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    // Read whole bursts at once: one recv per burst instead of two per record.
    SSL_set_read_ahead(ssl, 1);
    ssl_ = ssl;
}

TlsStream::~TlsStream() {
    if (ssl_ != nullptr)
        SSL_free(ssl_);
}

// Every call starts with an empty error queue: SSL_get_error reads the thread's queue, and an error left in
// it by anything else on this thread (another connection, a context reload) would make a call that only has
// to wait look failed.
TlsStatus TlsStream::status(int result) {
    int error = SSL_get_error(ssl_, result);
    switch (error) {
        case SSL_ERROR_WANT_READ:
            return TlsStatus::kWantRead;
        case SSL_ERROR_WANT_WRITE:
            return TlsStatus::kWantWrite;
        case SSL_ERROR_ZERO_RETURN:
            return TlsStatus::kClosed;
        default:
            // After a fatal error OpenSSL must not be asked for a close_notify.
            failed_ = true;
            ERR_clear_error();
            return TlsStatus::kFailed;
    }
}

TlsStatus TlsStream::handshake() {
    ERR_clear_error();
    int result = SSL_do_handshake(ssl_);
    return result == 1 ? TlsStatus::kDone : status(result);
}

TlsStatus TlsStream::read(char* data, size_t size, size_t& bytes) {
    ERR_clear_error();
    int result = SSL_read(ssl_, data, clampSize(size));
    if (result > 0) {
        bytes = static_cast<size_t>(result);
        return TlsStatus::kDone;
    }
    return status(result);
}

TlsStatus TlsStream::write(const char* data, size_t size, size_t& bytes) {
    ERR_clear_error();
    int result = SSL_write(ssl_, data, clampSize(size));
    if (result > 0) {
        bytes = static_cast<size_t>(result);
        return TlsStatus::kDone;
    }
    return status(result);
}

bool TlsStream::hasBufferedInput() const {
    return SSL_has_pending(ssl_) == 1;
}

void TlsStream::shutdown() {
    if (!failed_ && SSL_is_init_finished(ssl_) == 1 && SSL_shutdown(ssl_) < 0)
        ERR_clear_error();
}

std::optional<Sha256> TlsStream::verifiedPeerCertificate() const {
    if (ssl_ == nullptr || SSL_get_verify_result(ssl_) != X509_V_OK)
        return std::nullopt;
    X509* certificate = SSL_get_peer_certificate(ssl_);
    if (certificate == nullptr)
        return std::nullopt;
    std::optional<Sha256> fingerprint = certificateSha256(certificate);
    X509_free(certificate);
    return fingerprint;
}

}  // namespace kestrum
