// MariadbServer: a private MariaDB server for tests and the demo, on a loopback address (port 3306 unless
// another is asked for).
//
// start() creates a data directory with mariadb-install-db in a fresh temporary directory (or under a given
// directory), runs mariadbd on the first loopback address 127.0.0.2 .. 127.0.0.9 whose port is free, and
// creates a database and a user that may connect from anywhere. It works as root: the server runs with
// --user=root and root reaches it through the private Unix socket. stop() (and the destructor) shuts the
// server down and removes the temporary directory. Nothing outside that directory is touched.
#pragma once

#include <sys/types.h>

#include <string>

namespace kestrum::testing {

class MariadbServer {
  public:
    struct Options {
        std::string database = "kestrum_test";
        std::string user = "kestrum";
        std::string password = "kestrum-pass";
        // Where the data directory and socket live. Empty: a fresh temporary directory, removed by stop().
        std::string directory;
        int port = 3306;
    };

    MariadbServer() = default;
    ~MariadbServer();
    MariadbServer(const MariadbServer&) = delete;
    MariadbServer& operator=(const MariadbServer&) = delete;

    // Installs (when the data directory is new), starts and prepares the server. False with error() on
    // failure.
    bool start(const Options& options);
    bool start() { return start(Options{}); }
    // Shuts the server down and removes the temporary directory it created.
    void stop();

    // Stops only the server process (data and address are kept) and starts it again: a server restart as the
    // clients see it.
    bool killServer();
    bool startServer();
    bool running() const { return pid_ > 0; }

    const std::string& host() const { return host_; }
    int port() const { return options_.port; }
    const std::string& socketPath() const { return socket_; }
    const std::string& directory() const { return directory_; }
    const Options& options() const { return options_; }
    const std::string& error() const { return error_; }

    // Runs SQL as root through the Unix socket with the command-line client (batch mode, no column names).
    // `output` gets its standard output; false when the client failed (error() then holds its messages).
    bool execute(const std::string& sql, std::string* output = nullptr, const std::string& database = {});

  private:
    bool launch(const std::string& address);
    bool waitReady(int timeoutMs);

    Options options_;
    std::string directory_;
    bool ownsDirectory_ = false;
    std::string host_;
    std::string socket_;
    std::string error_;
    pid_t pid_ = -1;
};

}  // namespace kestrum::testing
