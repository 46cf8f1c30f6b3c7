// Server TLS contexts from PEM files with an encrypted private key, and the SNI switch between two contexts.
#pragma once

#include <memory>
#include <mutex>
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

// The two server contexts of the HTTPS listener: `fallback` for clients that name no host, `named` for those
// that name one (SNI). Either may be replaced while the listener serves: a handshake takes the contexts that
// are current when it starts (the listener reads fallback() per accept, the SNI switch reads named() during
// the handshake), and a connection keeps the context it started with for as long as it lives. Any thread; the
// set must outlive every connection of the listener.
class TlsContextSet {
  public:
    using Context = std::shared_ptr<asio::ssl::context>;

    TlsContextSet() = default;
    TlsContextSet(const TlsContextSet&) = delete;
    TlsContextSet& operator=(const TlsContextSet&) = delete;

    // A fallback context gets the SNI switch to this set as it is put in.
    void setFallback(Context context);
    void setNamed(Context context);
    Context fallback() const;
    Context named() const;
    void clear();

  private:
    mutable std::mutex mutex_;
    Context fallback_;
    Context named_;
};

}  // namespace kestrum
