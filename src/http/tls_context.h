// Server TLS contexts from PEM files with an encrypted private key, and the SNI switch between two contexts.
#pragma once

#include <memory>
#include <string>
#include <vector>

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

// The loading step a context failed at.
enum class TlsStep { None, Context, Certificate, PrivateKey, KeyMatch, CaFile };

struct TlsContextResult {
    std::unique_ptr<asio::ssl::context> context;  // always set, even when loading failed
    bool ok = false;                              // every file loaded and the key matches the certificate
    TlsStep failedStep = TlsStep::None;
    std::string error;
};

TlsContextResult createTlsContext(const TlsFiles& files);

// The folder the TLS files are read from, ending in '/': "ssl-cert/" of the working directory when that
// folder exists, otherwise runDir + "/ssl-cert/".
std::string tlsFolder(const std::string& runDir);
// The files of the default context (client certificates verified when presented) and of the context for
// clients that name a host (SNI), in `folder`.
TlsFiles defaultTlsFiles(const std::string& folder);
TlsFiles sniTlsFiles(const std::string& folder);

// Why `files` cannot make a context, in plain words, one entry per problem, each starting with the file it is
// about ("ssl-cert/server2.key: wrong password ..."): missing or unreadable files first; when every file can
// be read, the first step of createTlsContext that failed. Empty when a context can be made.
std::vector<std::string> tlsFilesProblems(const TlsFiles& files);

// A client that names any host (SNI) is served by `named`; one that names none keeps `fallback`. `named` must
// outlive `fallback`'s use.
void enableSniSwitch(asio::ssl::context& fallback, asio::ssl::context& named);

}  // namespace kestrum
