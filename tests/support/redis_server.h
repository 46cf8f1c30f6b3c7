// RedisServer: a private redis-server for tests and the demo, on 127.0.0.1, without persistence.
//
// start() picks a free loopback port (or uses the one asked for), runs redis-server in the foreground with
// its working directory and log in a fresh temporary directory (or a given one), and waits until it answers
// PING. killServer() / startServer() stop and start the process on the same port (a restart as clients see
// it). stop() (and the destructor) ends the server and removes the temporary directory. Nothing outside it is
// touched.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kestrum::testing {

class RedisServer {
  public:
    struct Options {
        int port = 0;                        // 0: a free port chosen by the system
        std::string password;                // requirepass when not empty
        std::string directory;               // empty: a fresh temporary directory, removed by stop()
        std::vector<std::string> extraArgs;  // more "--name value" words for redis-server
    };

    RedisServer() = default;
    ~RedisServer();
    RedisServer(const RedisServer&) = delete;
    RedisServer& operator=(const RedisServer&) = delete;

    bool start(const Options& options);
    bool start() { return start(Options{}); }
    void stop();

    bool killServer();
    bool startServer();
    bool running() const { return pid_ > 0; }

    std::string host() const { return "127.0.0.1"; }
    int port() const { return port_; }
    const std::string& directory() const { return directory_; }
    const std::string& error() const { return error_; }

  private:
    bool launch();

    Options options_;
    std::string directory_;
    bool ownsDirectory_ = false;
    int port_ = 0;
    std::string error_;
    pid_t pid_ = -1;
};

// Sends one inline command line (e.g. "PING") to a Redis server and returns the raw reply bytes read within
// `timeoutMs`; empty on connection failure. Meant for readiness checks, not for tests of replies.
std::string redisInline(const std::string& host, int port, const std::string& line, int timeoutMs = 1000);

}  // namespace kestrum::testing
