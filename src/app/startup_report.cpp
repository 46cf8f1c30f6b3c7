#include "app/startup_report.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "http/tls_context.h"
#include "util/encoding.h"

namespace kestrum {

void reportToUser(std::string_view message) {
    std::string line = "kestrum: ";
    line += message;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

int readPortText(std::string_view text) {
    if (text.empty() || text.size() > 5 || text.front() == '0')
        return 0;
    int port = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return 0;
        port = port * 10 + (c - '0');
    }
    return port <= 65535 ? port : 0;
}

std::string listenFailureReason(const std::string& address, int port) {
    const std::string where = "port " + std::to_string(port) + " on " + address;
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, address.c_str(), &endpoint.sin_addr) != 1)
        return "the listen address \"" + address + "\" is not an IPv4 address (config.ini local_ip)";
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return "cannot open a socket: " + std::string(std::strerror(errno));
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);  // the same options as the listener
    int error = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&endpoint), sizeof endpoint) != 0 || ::listen(fd, 1) != 0)
        error = errno;
    ::close(fd);
    switch (error) {
        case 0:
            return "could not listen on " + where;
        case EADDRINUSE:
            return where + " is already in use by another program";
        case EACCES:
            return where + " needs more privileges (ports below 1024 are reserved)";
        case EADDRNOTAVAIL:
            return "the address " + address + " does not belong to this machine (config.ini local_ip)";
        default:
            return "cannot listen on " + where + ": " + std::strerror(error);
    }
}

std::string listenerFailure(std::string_view key, const std::string& portText, const std::string& address) {
    std::string message = key == "port_https" ? "HTTPS" : "HTTP";
    message += " listener not started: ";
    int port = readPortText(portText);
    if (port == 0) {
        message += "config.ini [sys] " + std::string(key) + "=" + gbkToUtf8(portText) + " ";
        message += kPortRule;
    } else {
        message += listenFailureReason(address, port);
    }
    return message;
}

void reportServerPreparationFailure(const std::string& runDir) {
    std::vector<std::string> problems = tlsFilesProblems(sniTlsFiles(tlsFolder(runDir)));
    if (problems.empty()) {
        reportToUser("cannot start: the network and worker threads could not be started");
        return;
    }
    for (const std::string& problem : problems)
        reportToUser("cannot start: " + problem);
    reportToUser(
        "the TLS files server2.cer, server2.key and ca2.crt (served to clients that name a host) are needed "
        "at "
        "every start, even when port_https is empty; see README.md, \"TLS files\"");
}

void reportDefaultTlsProblems(const std::string& runDir) {
    for (const std::string& problem : tlsFilesProblems(defaultTlsFiles(tlsFolder(runDir))))
        reportToUser("warning: " + problem + "; HTTPS clients that name no host will fail their handshake");
}

std::string logFileFailureReason(const std::string& path) {
    namespace fs = std::filesystem;
    const fs::path folder = fs::path(path).parent_path();
    std::error_code ec;
    fs::file_status status = fs::status(folder, ec);
    if (!fs::exists(status))
        return "the log folder " + folder.string() + " does not exist and cannot be created";
    if (!fs::is_directory(status))
        return folder.string() + " is not a folder";
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return "the log folder " + folder.string() + " cannot be written: " + std::strerror(errno);
    return "the log file " + path + " cannot be created";
}

}  // namespace kestrum
