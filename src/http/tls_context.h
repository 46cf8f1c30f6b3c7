// Server TLS contexts from PEM files with an encrypted private key, and the SNI switch between two contexts.
#pragma once

#include <memory>
#include <string>

namespace asio::ssl {
class context;
}

namespace kestrum {

struct TlsFiles {
    std::string certificate;  // PEM certificate (chain)
    std::string privateKey;   // PEM private key, encrypted with `password`
    std::string password;
    std::string caFile;  // PEM CA certificates used to verify client certificates
    // 0: no client certificate; 1: a client certificate is asked for and verified when presented, not
    // required.
    int verifyMode = 0;
};

struct TlsContextResult {
    std::unique_ptr<asio::ssl::context> context;  // always set, even when loading failed
    bool ok = false;                              // every file loaded and the key matches the certificate
    std::string error;
};

TlsContextResult createTlsContext(const TlsFiles& files);

// A client that names any host (SNI) is served by `named`; one that names none keeps `fallback`. `named` must
// outlive `fallback`'s use.
void enableSniSwitch(asio::ssl::context& fallback, asio::ssl::context& named);

}  // namespace kestrum
