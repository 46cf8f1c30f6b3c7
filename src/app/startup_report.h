// Plain-words reasons for start-up failures, written to standard error next to the log lines the program
// keeps in its log. A new user who starts kestrum by hand sees at once which file, key or port is wrong;
// standard output stays reserved for the status texts.
#pragma once

#include <string>
#include <string_view>

namespace kestrum {

// Writes "kestrum: " + message + "\n" to standard error (message in UTF-8).
void reportToUser(std::string_view message);

// A listener port as written in config.ini: decimal digits only, no sign, no blank inside and no leading
// zero, from 1 to 65535. Returns the port, or 0 when the text is no such number (empty text included).
int readPortText(std::string_view text);
// What a port text that readPortText refuses should be; the same words for the start-up and the checker.
inline constexpr std::string_view kPortRule =
    "is not a port number (1 to 65535, digits only, no leading zero)";

// Why listening on address:port fails, found by trying it once more with a socket of its own ("port 8080 on
// 127.0.0.1 is already in use"); a generic text when the second try works.
std::string listenFailureReason(const std::string& address, int port);

// The message for a listener that did not start: `key` is "port_http" or "port_https", `portText` the value
// as read (internal encoding), `address` the local address it was to bind.
std::string listenerFailure(std::string_view key, const std::string& portText, const std::string& address);

// Reports why the servers could not be prepared (the TLS files of the second context, the process ends) on
// standard error.
void reportServerPreparationFailure(const std::string& runDir);
// Warns on standard error when the default TLS context's files are unusable (clients without SNI then fail
// their handshake); called only when HTTPS is configured.
void reportDefaultTlsProblems(const std::string& runDir);

// Why a log file could not be created at `path` (UTF-8): the folder missing, not a folder, not writable...
std::string logFileFailureReason(const std::string& path);

}  // namespace kestrum
