// TLS contexts with OpenSSL behind asio::ssl::context.
#include "http/tls_context.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <asio/ssl.hpp>
#include <cstring>

namespace kestrum {

namespace {

constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

int passwordCallback(char* buffer, int size, int, void* userData) {
    const std::string* password = static_cast<const std::string*>(userData);
    if (password == nullptr || size <= 0)
        return 0;
    int length = static_cast<int>(std::min<size_t>(password->size(), static_cast<size_t>(size)));
    std::memcpy(buffer, password->data(), static_cast<size_t>(length));
    return length;
}

std::string lastSslError(const char* what) {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    char text[256] = {};
    if (code != 0)
        ERR_error_string_n(code, text, sizeof(text));
    return std::string(what) + (code != 0 ? std::string(": ") + text : std::string());
}

int switchOnServerName(SSL* ssl, int*, void* arg) {
    const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
    if (name == nullptr || *name == '\0')
        return SSL_TLSEXT_ERR_OK;
    SSL_CTX* named = static_cast<SSL_CTX*>(arg);
    SSL_set_SSL_CTX(ssl, named);
    // SSL_set_SSL_CTX swaps certificate and key only; the verify settings come along by hand.
    SSL_set_verify(ssl, SSL_CTX_get_verify_mode(named), SSL_CTX_get_verify_callback(named));
    return SSL_TLSEXT_ERR_OK;
}

}  // namespace

TlsContextResult createTlsContext(const TlsFiles& files) {
    TlsContextResult result;
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr) {
        // asio's own context creation cannot fail softly either; keep a usable object for the caller.
        result.context = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
        result.error = lastSslError("SSL_CTX_new");
        return result;
    }
    result.context = std::make_unique<asio::ssl::context>(ctx);  // owns ctx from here
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // TLS 1.2 offers only forward-secret AEAD suites (ECDHE with AES-GCM or ChaCha20-Poly1305); static-RSA
    // and CBC suites are refused. TLS 1.3 has nothing else to offer, its defaults stay.
    if (SSL_CTX_set_cipher_list(ctx, kTls12Ciphers) != 1) {
        result.error = lastSslError("cipher list");
        return result;
    }
    // Idle keep-alive connections give their TLS buffers back.
    SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);

    ERR_clear_error();
    SSL_CTX_set_default_passwd_cb(ctx, &passwordCallback);
    SSL_CTX_set_default_passwd_cb_userdata(ctx, const_cast<std::string*>(&files.password));
    bool ok = true;
    if (SSL_CTX_use_certificate_chain_file(ctx, files.certificate.c_str()) != 1) {
        result.error = lastSslError(("certificate " + files.certificate).c_str());
        ok = false;
    } else if (SSL_CTX_use_PrivateKey_file(ctx, files.privateKey.c_str(), SSL_FILETYPE_PEM) != 1) {
        result.error = lastSslError(("private key " + files.privateKey).c_str());
        ok = false;
    } else if (SSL_CTX_check_private_key(ctx) != 1) {
        result.error = lastSslError("key does not match certificate");
        ok = false;
    } else if (SSL_CTX_load_verify_locations(ctx, files.caFile.c_str(), nullptr) != 1) {
        result.error = lastSslError(("CA file " + files.caFile).c_str());
        ok = false;
    }
    // The password is needed only while the key loads; the callback must not outlive `files`.
    SSL_CTX_set_default_passwd_cb(ctx, nullptr);
    SSL_CTX_set_default_passwd_cb_userdata(ctx, nullptr);

    if (files.verifyMode == 1) {
        if (ok) {
            if (STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(files.caFile.c_str())) {
                SSL_CTX_set_client_CA_list(ctx, names);
            }
        }
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    } else {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    }
    ERR_clear_error();
    result.ok = ok;
    return result;
}

void enableSniSwitch(asio::ssl::context& fallback, asio::ssl::context& named) {
    SSL_CTX_set_tlsext_servername_callback(fallback.native_handle(), &switchOnServerName);
    SSL_CTX_set_tlsext_servername_arg(fallback.native_handle(), named.native_handle());
}

}  // namespace kestrum
